#include "io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

#include "error.hpp"
#include "interrupt.hpp"
#include "pack.hpp"

namespace quilane {

// Codes, norms and ids move between memory and file as raw bytes.
static_assert(std::endian::native == std::endian::little, "index files are little-endian");

namespace {

constexpr uint8_t kVersion = 2;
constexpr uint8_t kTagOffset = 2;
constexpr size_t kCoreHeaderSize = 10;
// Without a file size to check against, arrays grow by this much per read, so that memory
// follows the bytes that really arrive rather than what a header claims.
constexpr uint64_t kStreamChunk = 1 << 20;
constexpr int kMaxLinkHops = 40;
constexpr int kTempNameAttempts = 64;
constexpr size_t kTempNameStemLimit = 128;
// Records converted from the block store per write.
constexpr size_t kWriteChunkBytes = 1 << 20;

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

int sys_open(const char* path, int flags, mode_t mode = 0) {
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

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one (fills the buffer).
[[maybe_unused]] const char* error_text(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

[[noreturn]] void fail_os(int err) {
    char buffer[256];
    const std::string text = error_text(strerror_r(err, buffer, sizeof buffer), buffer);
    throw IoError(text + " (os error " + std::to_string(err) + ")");
}

[[noreturn]] void fail_short_read() {
    throw IoError("failed to fill whole buffer");
}

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
    void close_checked() {
        const int descriptor = fd;
        fd = -1;
        if (sys_close(descriptor) != 0) {
            fail_os(errno);
        }
    }
};

// A system call interrupted by a signal is retried, unless the host wants the call to stop for
// it (Ctrl-C while a FIFO has no other end, say). Keeps errno for the caller's retry test.
void stop_if_interrupted_after_signal() {
    const int saved = errno;
    stop_if_interrupted();
    errno = saved;
}

FileHandle open_or_fail(const std::string& path, int flags, mode_t mode = 0) {
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

void write_all(Writer& writer, const uint8_t* data, size_t size) {
    if (writer.sink != nullptr) {
        writer.sink->insert(writer.sink->end(), data, data + size);
        return;
    }
    while (size > 0) {
        const ssize_t written = sys_write(writer.fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                stop_if_interrupted_after_signal();
                continue;
            }
            fail_os(errno);
        }
        if (written == 0) {
            throw IoError("failed to write whole buffer");
        }
        data += written;
        size -= static_cast<size_t>(written);
        // A signal that arrives after part of the data is written cuts the write short without
        // EINTR; the next write may block for good.
        if (size > 0) {
            stop_if_interrupted();
        }
    }
}

// One read of at most size bytes from the reader's source: its descriptor or its memory.
ssize_t pull(Reader& reader, uint8_t* data, size_t size) {
    if (reader.fd >= 0) {
        return sys_read(reader.fd, data, size);
    }
    const size_t take = std::min(size, reader.memory.size());
    std::copy_n(reader.memory.begin(), take, data);
    reader.memory = reader.memory.subspan(take);
    return static_cast<ssize_t>(take);
}

// Reads until size bytes have arrived; returns how many did before the end of the file.
size_t read_up_to(Reader& reader, uint8_t* data, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        const ssize_t got = pull(reader, data + filled, size - filled);
        if (got < 0) {
            if (errno == EINTR) {
                stop_if_interrupted_after_signal();
                continue;
            }
            fail_os(errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<size_t>(got);
        // As for a write cut short: the next read may block for good.
        if (filled < size) {
            stop_if_interrupted();
        }
    }
    return filled;
}

// Reads whatever one call delivers into the empty buffer.
void refill(Reader& reader) {
    ssize_t got;
    for (;;) {
        got = pull(reader, reader.buffer.data(), reader.buffer.size());
        if (got >= 0 || errno != EINTR) {
            break;
        }
        stop_if_interrupted_after_signal();
    }
    if (got < 0) {
        fail_os(errno);
    }
    if (got == 0) {
        fail_short_read();
    }
    reader.begin = 0;
    reader.end = static_cast<size_t>(got);
}

std::optional<uint64_t> bytes_left(const Reader& reader) {
    if (!reader.file_size) {
        return std::nullopt;
    }
    return *reader.file_size - std::min(*reader.file_size, reader.consumed);
}

template <class T>
std::span<uint8_t> as_writable_bytes(std::vector<T>& values, size_t from, size_t count) {
    return {reinterpret_cast<uint8_t*>(values.data() + from), count * sizeof(T)};
}

template <class T>
std::span<const uint8_t> as_bytes_of(std::span<const T> values) {
    return {reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes()};
}

// Reads count values that the file stores back to back. A regular file must hold them all
// before anything is allocated; a stream is read chunk by chunk. The array is given room for
// at least `room` values, so that a caller who grows it in place needs no second allocation.
template <class T>
std::vector<T> read_array(Reader& reader, uint64_t count, uint64_t room = 0) {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, sizeof(T), &bytes)) {
        fail_short_read();
    }
    if (const auto left = bytes_left(reader)) {
        if (bytes > *left) {
            fail_short_read();
        }
        std::vector<T> values;
        values.reserve(std::max(count, room));
        values.resize(count);
        read_exact(reader, as_writable_bytes(values, 0, count));
        return values;
    }
    std::vector<T> values;
    while (values.size() < count) {
        const size_t from = values.size();
        const size_t step = std::min<uint64_t>(count - from, kStreamChunk / sizeof(T));
        values.resize(from + step);
        read_exact(reader, as_writable_bytes(values, from, step));
    }
    return values;
}

uint32_t load_u32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t read_u64(Reader& reader) {
    std::array<uint8_t, 8> bytes;
    read_exact(reader, bytes);
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    }
    return value;
}

void store_u32(uint8_t* bytes, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void write_u64(Writer& writer, uint64_t value) {
    std::array<uint8_t, 8> bytes;
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    write_bytes(writer, bytes);
}

void write_header(Writer& writer, std::string_view magic) {
    write_bytes(writer, {reinterpret_cast<const uint8_t*>(magic.data()), magic.size()});
    write_bytes(writer, std::span<const uint8_t>(&kVersion, 1));
}

// Applies the rules an index is constructed under, so that a loaded index is as safe to use as
// a built one.
void check_core_parameters(uint64_t bits, uint64_t dim, Rotation kind) {
    if (bits < 2 || bits > 4) {
        throw IoError("invalid bits in index file: " + std::to_string(bits));
    }
    if (dim == 0 || dim % 8 != 0) {
        throw IoError("invalid dim in index file: " + std::to_string(dim) +
                      " (must be a positive multiple of 8)");
    }
    if (kind == Rotation::WalshRotor3 && !std::has_single_bit(dim)) {
        throw IoError("invalid dim in index file: " + std::to_string(dim) +
                      " (walshrotor3 needs a power of 2)");
    }
}

// Checks the magic and reads the core and the seed into a plain index.
GyrelIndex parse_plain_part(Reader& reader, std::string_view magic) {
    expect_magic(reader, magic);
    Core core = read_core(reader);
    const uint64_t seed = read_u64(reader);
    // Nothing to convert: the conversion's block buffer alone would be sized by a dim that
    // nothing in a 23-byte file bounds.
    if (core.n == 0) {
        return GyrelIndex(core.dim, core.bits, core.kind, seed);
    }
    return GyrelIndex::from_parts(core.dim, core.bits, core.kind, seed, core.n,
                                  std::move(core.codes), std::move(core.norms));
}

GyrelIndex parse_index(Reader& reader) {
    return parse_plain_part(reader, "QLIX");
}

IdMapIndex parse_id_map(Reader& reader) {
    GyrelIndex index = parse_plain_part(reader, "QLIM");
    std::vector<uint64_t> ids = read_array<uint64_t>(reader, index.len());
    try {
        return IdMapIndex::from_parts(std::move(index), std::move(ids));
    } catch (const Error& error) {
        // The only failure left once the file has been read is a repeated id.
        throw IoError(error.what());
    }
}

template <class Parse>
auto read_file(const std::string& path, Parse parse) {
    check_path(path);
    FileHandle file = open_or_fail(path, O_RDONLY);
    Reader reader = make_reader(file.fd);
    return parse(reader);
}

// --- Replacing a file ---

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

template <class Body>
void write_in_place(const std::string& path, Body& body) {
    FileHandle file = open_or_fail(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    Writer writer;
    writer.fd = file.fd;
    body(writer);
    flush(writer);
    file.close_checked();
}

template <class Body>
void write_replacing(const std::string& target, const struct stat* existing, Body& body) {
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

// Regular files (and new ones) are replaced atomically; anything else that exists at the path,
// such as a FIFO or a device, can only be written in place.
template <class Body>
void write_file(const std::string& path, Body body) {
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

}  // namespace

#if QUILANE_FAULT_INJECTION
void inject_fault(SysCall call, int skip, int err) {
    armed_fault = {true, call, skip, err};
}
void clear_fault() {
    armed_fault = {};
}
#endif

void check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        throw IoError("file name contained an unexpected NUL byte");
    }
}

void write_bytes(Writer& writer, std::span<const uint8_t> bytes) {
    if (bytes.size() > writer.buffer.size() - writer.used) {
        flush(writer);
    }
    if (bytes.size() >= writer.buffer.size()) {
        write_all(writer, bytes.data(), bytes.size());
        return;
    }
    std::copy(bytes.begin(), bytes.end(), writer.buffer.begin() + writer.used);
    writer.used += bytes.size();
}

void flush(Writer& writer) {
    const size_t used = writer.used;
    writer.used = 0;
    write_all(writer, writer.buffer.data(), used);
}

Reader make_memory_reader(std::span<const uint8_t> bytes) {
    Reader reader;
    reader.memory = bytes;
    reader.file_size = bytes.size();
    return reader;
}

Reader make_reader(int fd) {
    Reader reader;
    reader.fd = fd;
    struct stat status;
    // A size of 0 says nothing for files the kernel generates on reading.
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        reader.file_size = static_cast<uint64_t>(status.st_size);
    }
    return reader;
}

void read_exact(Reader& reader, std::span<uint8_t> bytes) {
    size_t filled = 0;
    while (filled < bytes.size()) {
        if (reader.begin == reader.end) {
            // Large pieces skip the buffer.
            if (bytes.size() - filled >= reader.buffer.size()) {
                const size_t wanted = bytes.size() - filled;
                if (read_up_to(reader, bytes.data() + filled, wanted) != wanted) {
                    fail_short_read();
                }
                break;
            }
            refill(reader);
        }
        const size_t take = std::min(bytes.size() - filled, reader.end - reader.begin);
        std::copy_n(reader.buffer.begin() + reader.begin, take, bytes.begin() + filled);
        reader.begin += take;
        filled += take;
    }
    reader.consumed += bytes.size();
}

void check_fits_file(uint64_t dim, uint64_t n) {
    constexpr uint64_t kMax = UINT32_MAX;
    if (dim > kMax) {
        throw IoError("cannot write index: dim " + std::to_string(dim) +
                      " does not fit in 32 bits");
    }
    if (n > kMax) {
        throw IoError("cannot write index: " + std::to_string(n) +
                      " vectors do not fit in 32 bits");
    }
}

namespace {

void write_core_header(Writer& writer, uint64_t bits, Rotation kind, uint64_t dim, uint64_t n,
                       std::span<const float> norms) {
    check_fits_file(dim, n);
    if (norms.size() != n) {
        fail_assert_eq(norms.size(), n, "norms of the core");
    }
    std::array<uint8_t, kCoreHeaderSize> header;
    header[0] = static_cast<uint8_t>(bits);
    header[1] = static_cast<uint8_t>(static_cast<uint8_t>(kind) + kTagOffset);
    store_u32(&header[2], static_cast<uint32_t>(dim));
    store_u32(&header[6], static_cast<uint32_t>(n));
    write_bytes(writer, header);
}

// The core of an index, whose codes are a block store: turned back into records a chunk at a
// time, so that writing needs no copy of the whole store.
void write_index_core(Writer& writer, const GyrelIndex& index) {
    const uint64_t n = index.len();
    const size_t record = index.record_size();
    write_core_header(writer, index.bits(), index.rotation(), index.dim(), n, index.norms());
    const size_t chunk = std::max<size_t>(1, kWriteChunkBytes / std::max<size_t>(1, record));
    std::vector<uint8_t> records(std::min<uint64_t>(chunk, n) * record);
    for (uint64_t first = 0; first < n; first += chunk) {
        const size_t count = std::min<uint64_t>(chunk, n - first);
        blocks_to_records(index.block_codes().data(), first, count, index.dim(), index.bits(),
                          records.data());
        write_bytes(writer, std::span<const uint8_t>(records).first(count * record));
    }
    write_bytes(writer, as_bytes_of(index.norms()));
}

}  // namespace

void write_core(Writer& writer, uint64_t bits, Rotation kind, uint64_t dim, uint64_t n,
                std::span<const uint8_t> codes, std::span<const float> norms) {
    check_fits_file(dim, n);
    const size_t code_bytes = checked_mul(record_bytes(bits, dim), n);
    if (codes.size() != code_bytes) {
        fail_assert_eq(codes.size(), code_bytes, "code bytes of the core");
    }
    write_core_header(writer, bits, kind, dim, n, norms);
    write_bytes(writer, codes);
    write_bytes(writer, as_bytes_of(norms));
}

namespace {

// The checked fields of a core header; code_bytes is what its codes take.
struct CoreHeader {
    uint64_t bits = 0;
    Rotation kind = Rotation::Rotor3;
    uint64_t dim = 0;
    uint64_t n = 0;
    uint64_t code_bytes = 0;
};

CoreHeader read_core_header(Reader& reader) {
    std::array<uint8_t, kCoreHeaderSize> header;
    read_exact(reader, header);
    const uint8_t tag = header[1];
    const std::optional<Rotation> kind = rotation_from_tag(static_cast<uint8_t>(tag - kTagOffset));
    if (!kind) {
        throw IoError("unknown rotation kind tag: " + std::to_string(tag));
    }
    CoreHeader core;
    core.bits = header[0];
    core.kind = *kind;
    core.dim = load_u32(&header[2]);
    core.n = load_u32(&header[6]);
    check_core_parameters(core.bits, core.dim, core.kind);
    // No file holds more bytes than a 64-bit size counts.
    if (__builtin_mul_overflow(core.bits * (core.dim / 8), core.n, &core.code_bytes)) {
        fail_short_read();
    }
    return core;
}

void expect_version(Reader& reader, std::string_view magic) {
    std::array<uint8_t, 1> version;
    read_exact(reader, version);
    if (version[0] != kVersion) {
        throw IoError("unsupported " + std::string(magic) +
                      " version: " + std::to_string(version[0]));
    }
}

// The bytes after the core header that a file of this magic declares: codes, norms, seed and,
// for QLIM, the ids. Fails as a short file when the sum cannot be counted.
uint64_t declared_body_bytes(std::string_view magic, const CoreHeader& core) {
    const uint64_t per_vector = magic == "QLIM" ? sizeof(float) + sizeof(uint64_t) : sizeof(float);
    uint64_t total;
    if (__builtin_mul_overflow(per_vector, core.n, &total) ||
        __builtin_add_overflow(total, core.code_bytes, &total) ||
        __builtin_add_overflow(total, uint64_t{8}, &total)) {
        fail_short_read();
    }
    return total;
}

FileHeader parse_file_header(Reader& reader) {
    std::array<uint8_t, 4> found;
    read_exact(reader, found);
    FileHeader header;
    header.magic.assign(found.begin(), found.end());
    if (header.magic != "QLIX" && header.magic != "QLIM") {
        throw IoError("not a QLIX or QLIM file: wrong magic");
    }
    expect_version(reader, header.magic);
    const CoreHeader core = read_core_header(reader);
    if (const auto left = bytes_left(reader)) {
        if (declared_body_bytes(header.magic, core) > *left) {
            fail_short_read();
        }
    }
    header.version = kVersion;
    header.bits = core.bits;
    header.rotation = core.kind;
    header.dim = core.dim;
    header.n = core.n;
    return header;
}

}  // namespace

Core read_core(Reader& reader) {
    const CoreHeader header = read_core_header(reader);
    Core core;
    core.bits = header.bits;
    core.kind = header.kind;
    core.dim = header.dim;
    core.n = header.n;
    // The index turns the records into its block store in place, which rounds n up to a block.
    core.codes = read_array<uint8_t>(reader, header.code_bytes,
                                     block_store_bytes(core.bits, core.dim, core.n));
    core.norms = read_array<float>(reader, core.n);
    return core;
}

void expect_magic(Reader& reader, std::string_view magic) {
    std::array<uint8_t, 4> found;
    read_exact(reader, found);
    if (!std::equal(found.begin(), found.end(), magic.begin(), magic.end())) {
        throw IoError("not a " + std::string(magic) + " file: wrong magic");
    }
    expect_version(reader, magic);
}

namespace {

// Both checks run before anything is opened or written.
void check_id_map_writable(const IdMapIndex& index) {
    if (index.ids().size() != index.inner().len()) {
        fail_assert_eq(index.ids().size(), index.inner().len(), "one id per stored vector");
    }
    check_fits_file(index.inner().dim(), index.inner().len());
}

void emit_index(Writer& writer, const GyrelIndex& index) {
    write_header(writer, "QLIX");
    write_index_core(writer, index);
    write_u64(writer, index.seed());
}

void emit_id_map(Writer& writer, const IdMapIndex& index) {
    const GyrelIndex& inner = index.inner();
    write_header(writer, "QLIM");
    write_index_core(writer, inner);
    write_u64(writer, inner.seed());
    write_bytes(writer, as_bytes_of(index.ids()));
}

}  // namespace

void write_index(const std::string& path, const GyrelIndex& index) {
    check_fits_file(index.dim(), index.len());
    write_file(path, [&](Writer& writer) { emit_index(writer, index); });
}

void write_id_map(const std::string& path, const IdMapIndex& index) {
    check_id_map_writable(index);
    write_file(path, [&](Writer& writer) { emit_id_map(writer, index); });
}

GyrelIndex read_index(const std::string& path) {
    return read_file(path, parse_index);
}

IdMapIndex read_id_map(const std::string& path) {
    return read_file(path, parse_id_map);
}

GyrelIndex index_from_bytes(std::span<const uint8_t> bytes) {
    Reader reader = make_memory_reader(bytes);
    return parse_index(reader);
}

IdMapIndex id_map_from_bytes(std::span<const uint8_t> bytes) {
    Reader reader = make_memory_reader(bytes);
    return parse_id_map(reader);
}

FileHeader read_file_header(const std::string& path) {
    return read_file(path, parse_file_header);
}

FileHeader file_header_from_bytes(std::span<const uint8_t> bytes) {
    Reader reader = make_memory_reader(bytes);
    return parse_file_header(reader);
}

std::vector<uint8_t> index_file_bytes(const GyrelIndex& index) {
    check_fits_file(index.dim(), index.len());
    std::vector<uint8_t> bytes;
    Writer writer;
    writer.sink = &bytes;
    emit_index(writer, index);
    flush(writer);
    return bytes;
}

std::vector<uint8_t> id_map_file_bytes(const IdMapIndex& index) {
    check_id_map_writable(index);
    std::vector<uint8_t> bytes;
    Writer writer;
    writer.sink = &bytes;
    emit_id_map(writer, index);
    flush(writer);
    return bytes;
}

}  // namespace quilane
