#include "atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>
#include <string>

#include "error.hpp"
#include "system_calls.hpp"

namespace quilane {

namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kTempNameAttempts = 64;
constexpr size_t kTempNameStemLimit = 128;

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links in the last component, so that writing through a link replaces the
// file it points to and the link stays. A dangling link yields the path it would create.
std::string resolve_final_links(std::string path) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        std::array<char, PATH_MAX> target;
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            fail_os(errno);
        }
        if (static_cast<size_t>(length) == target.size()) {
            fail_os(ENAMETOOLONG);
        }
        std::string next(target.data(), static_cast<size_t>(length));
        path = next.starts_with('/') ? next : directory_of(path) + "/" + next;
    }
    fail_os(ELOOP);
}

std::string random_hex(std::random_device& device) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int word = 0; word < 2; ++word) {
        uint32_t bits = device();
        for (int digit = 0; digit < 8; ++digit) {
            text += kDigits[bits & 0xf];
            bits >>= 4;
        }
    }
    return text;
}

// A new file beside the target, removed again unless it was renamed over the target.
struct TempFile {
    std::string path;
    FileHandle file{-1};
    bool renamed = false;

    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!renamed && !path.empty()) {
            ::unlink(path.c_str());
        }
    }
};

// Created with mode 0666 so that the process's umask (and a default ACL of the directory)
// applies as it would to the target itself.
void create_temp_beside(TempFile& temp, const std::string& target) {
    const std::string stem =
        directory_of(target) + "/." + name_of(target).substr(0, kTempNameStemLimit) + ".";
    std::random_device device;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        std::string candidate = stem + random_hex(device) + ".tmp";
        const int fd = sys_open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Nothing may allocate between creating the file and handing it to its owner, or a
            // failure would leave both the file and its descriptor behind.
            temp.file.fd = fd;
            temp.path = std::move(candidate);
            return;
        }
        if (errno != EEXIST && errno != EINTR) {
            fail_os(errno);
        }
        if (errno == EINTR) {
            stop_if_interrupted_after_signal();
        }
    }
    fail_os(EEXIST);
}

// The replacement keeps the owner (where the process may set it) and the permission bits of the
// file it replaces. Owner first: changing it can clear the set-id bits.
void copy_ownership_and_mode(int fd, const struct stat& original) {
    struct stat created;
    if (::fstat(fd, &created) != 0) {
        fail_os(errno);
    }
    if (created.st_uid != original.st_uid || created.st_gid != original.st_gid) {
        // Only a privileged process may give a file away; others own what they write, as with
        // any new file.
        [[maybe_unused]] const int ignored = ::fchown(fd, original.st_uid, original.st_gid);
    }
    if (::fchmod(fd, original.st_mode & 07777) != 0) {
        fail_os(errno);
    }
}

// Makes the rename itself durable. A directory that cannot be opened or synced (EINVAL: the
// file system has no such operation) leaves the rename done but undurable, as a write in place
// always was.
void sync_directory(const std::string& directory) {
    const int fd = sys_open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    FileHandle handle(fd);
    if (sys_fsync(fd) != 0 && errno != EINVAL) {
        fail_os(errno);
    }
}

void write_in_place(const std::string& path, const std::function<void(Writer&)>& body) {
    FileHandle file = open_or_fail(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    Writer writer;
    writer.fd = file.fd;
    body(writer);
    flush(writer);
    file.close_checked();
}

void write_replacing(const std::string& target, const struct stat* existing,
                     const std::function<void(Writer&)>& body) {
    // Replacing needs only a writable directory, but a file its owner made read-only must stay
    // as protected as when it was opened for writing.
    if (existing && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        fail_os(errno);
    }
    TempFile temp;
    create_temp_beside(temp, target);
    if (existing) {
        copy_ownership_and_mode(temp.file.fd, *existing);
    }
    Writer writer;
    writer.fd = temp.file.fd;
    body(writer);
    flush(writer);
    if (sys_fsync(temp.file.fd) != 0) {
        fail_os(errno);
    }
    temp.file.close_checked();
    if (sys_rename(temp.path.c_str(), target.c_str()) != 0) {
        fail_os(errno);
    }
    temp.renamed = true;
    sync_directory(directory_of(target));
}

}  // namespace

void write_file(const std::string& path, const std::function<void(Writer&)>& body) {
    check_path(path);
    const std::string target = resolve_final_links(path);
    struct stat status;
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if ((exists && !S_ISREG(status.st_mode)) || name_of(target).empty()) {
        write_in_place(target, body);
        return;
    }
    write_replacing(target, exists ? &status : nullptr, body);
}

void check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        throw IoError("file name contained an unexpected NUL byte");
    }
}

}  // namespace quilane
