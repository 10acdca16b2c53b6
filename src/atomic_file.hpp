// Writing a file so that readers see the old contents or the new, never a mix: a regular file (or
// a new one) is replaced atomically, the old file staying intact until the new one is complete and
// synced. A path naming a symbolic link replaces the file it points to; one naming something else
// that exists, such as a FIFO or a device, can only be written in place.
#pragma once

#include <functional>
#include <string>

#include "byte_io.hpp"

namespace quilane {

// Writes what body writes to path, as above. IoError on failure, with no temporary file left.
void write_file(const std::string& path, const std::function<void(Writer&)>& body);

// Fails with "file name contained an unexpected NUL byte" when the path holds a '\0', which the
// system would silently take as its end.
void check_path(const std::string& path);

}  // namespace quilane
