// The engine's error types: Error for fatal errors, IoError for failed file operations. A violated
// precondition abandons the call with a fixed message; every check runs before the first change, so
// the record the call was made on is left as it was.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quilane {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) {
    throw Error(message);
}

// A failed file operation, kept apart from Error because callers see it as an OSError. The text
// is what the caller sees.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Renders a failed equality check the way callers read it:
//   assertion `left == right` failed[: message]
//     left: <left>
//    right: <right>
[[noreturn]] inline void fail_assert_eq(uint64_t left, uint64_t right,
                                        std::string_view message = {}) {
    std::string text = "assertion `left == right` failed";
    if (!message.empty()) {
        text += ": ";
        text += message;
    }
    text += "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
    throw Error(text);
}

}  // namespace quilane
