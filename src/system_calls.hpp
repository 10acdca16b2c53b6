// The system calls of file I/O, in one place so that a test build can make any of them fail, and
// the descriptor and error handling every file operation shares.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quilane {

// The system calls of file I/O that a test build can make fail.
enum class SysCall : uint8_t { Open, Read, Write, Fsync, Close, Rename };

#if QUILANE_FAULT_INJECTION
// Test hooks: the system call of the given kind made after `skip` further calls of that kind
// fails with err (a write with err 0 writes nothing). One fault is armed at a time.
void inject_fault(SysCall call, int skip, int err);
void clear_fault();
#endif

int sys_open(const char* path, int flags, mode_t mode = 0);
ssize_t sys_read(int fd, void* data, size_t size);
ssize_t sys_write(int fd, const void* data, size_t size);
int sys_fsync(int fd);
int sys_close(int fd);
int sys_rename(const char* from, const char* to);

// Throws IoError "{strerror} (os error N)".
[[noreturn]] void fail_os(int err);

// Owns a descriptor and closes it on every path out of the function that opened it.
struct FileHandle {
    int fd = -1;

    explicit FileHandle(int descriptor) : fd(descriptor) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (fd >= 0) {
            sys_close(fd);
        }
    }

    // Closes now and reports the error, which the destructor would have to swallow.
    void close_checked();
};

// A system call interrupted by a signal is retried, unless the host wants the call to stop for
// it (Ctrl-C while a FIFO has no other end, say). Keeps errno for the caller's retry test.
void stop_if_interrupted_after_signal();

// Opens path (close-on-exec), retrying after signals; IoError on failure.
FileHandle open_or_fail(const std::string& path, int flags, mode_t mode = 0);

}  // namespace quilane
