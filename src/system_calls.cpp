#include "system_calls.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "error.hpp"
#include "interrupt.hpp"

namespace quilane {

namespace {

#if QUILANE_FAULT_INJECTION
struct ArmedFault {
    bool armed = false;
    SysCall call = SysCall::Open;
    int skip = 0;
    int err = 0;
};

ArmedFault armed_fault;

std::optional<int> injected_error(SysCall call) {
    if (!armed_fault.armed || armed_fault.call != call) {
        return std::nullopt;
    }
    if (armed_fault.skip > 0) {
        --armed_fault.skip;
        return std::nullopt;
    }
    armed_fault.armed = false;
    return armed_fault.err;
}
#else
constexpr std::optional<int> injected_error(SysCall) {
    return std::nullopt;
}
#endif

// The result of a system call that the armed fault replaces: nothing done (err 0) or -1 with errno.
int injected_result(int err) {
    errno = err;
    return err == 0 ? 0 : -1;
}

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one (fills the buffer).
[[maybe_unused]] const char* error_text(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

}  // namespace

#if QUILANE_FAULT_INJECTION
void inject_fault(SysCall call, int skip, int err) {
    armed_fault = {true, call, skip, err};
}
void clear_fault() {
    armed_fault = {};
}
#endif

int sys_open(const char* path, int flags, mode_t mode) {
    if (const auto err = injected_error(SysCall::Open)) {
        return injected_result(*err);
    }
    return ::open(path, flags, mode);
}

ssize_t sys_read(int fd, void* data, size_t size) {
    if (const auto err = injected_error(SysCall::Read)) {
        return injected_result(*err);
    }
    return ::read(fd, data, size);
}

ssize_t sys_write(int fd, const void* data, size_t size) {
    if (const auto err = injected_error(SysCall::Write)) {
        return injected_result(*err);
    }
    return ::write(fd, data, size);
}

int sys_fsync(int fd) {
    if (const auto err = injected_error(SysCall::Fsync)) {
        return injected_result(*err);
    }
    return ::fsync(fd);
}

// A descriptor is released by close even when close reports an error, so a faked failure
// closes it too.
int sys_close(int fd) {
    if (const auto err = injected_error(SysCall::Close)) {
        ::close(fd);
        return injected_result(*err);
    }
    return ::close(fd);
}

int sys_rename(const char* from, const char* to) {
    if (const auto err = injected_error(SysCall::Rename)) {
        return injected_result(*err);
    }
    return ::rename(from, to);
}

[[noreturn]] void fail_os(int err) {
    char buffer[256];
    const std::string text = error_text(strerror_r(err, buffer, sizeof buffer), buffer);
    throw IoError(text + " (os error " + std::to_string(err) + ")");
}

void stop_if_interrupted_after_signal() {
    const int saved = errno;
    stop_if_interrupted();
    errno = saved;
}

void FileHandle::close_checked() {
    const int descriptor = fd;
    fd = -1;
    if (sys_close(descriptor) != 0) {
        fail_os(errno);
    }
}

FileHandle open_or_fail(const std::string& path, int flags, mode_t mode) {
    int fd;
    for (;;) {
        fd = sys_open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EINTR) {
            break;
        }
        stop_if_interrupted_after_signal();
    }
    if (fd < 0) {
        fail_os(errno);
    }
    return FileHandle(fd);
}

}  // namespace quilane
