// The rotation keywords that the constructors accept.
#pragma once

#include <string_view>

#include "rotation.hpp"

namespace quilane {

// The kind named by text, ASCII case ignored, aliases included; ValueError (a Python exception,
// thrown as PythonErrorSet) for anything else.
Rotation parse_rotation(std::string_view text);

}  // namespace quilane
