// The two index file formats: "QLIX" for a GyrelIndex, "QLIM" for an IdMapIndex. Little-endian,
// unpadded: magic, version 2, core (bits, rotation tag + 2, dim, n, codes, norms), seed, and for
// QLIM the ids in position order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "id_map.hpp"
#include "lib.hpp"

namespace quilane {

// A failed file operation. The text is what the caller sees: "{strerror} (os error N)" for a
// system error, "failed to fill whole buffer" for a short file, or a format message.
struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writers replace a regular file atomically: the old file stays intact until the new one is
// complete and synced. A path naming a symbolic link replaces the file it points to; one naming
// something else that exists, such as a FIFO or a device, is written in place.
void write_index(const std::string& path, const GyrelIndex& index);
void write_id_map(const std::string& path, const IdMapIndex& index);

GyrelIndex read_index(const std::string& path);
IdMapIndex read_id_map(const std::string& path);

// The same formats in memory, with every check of the file functions: what write_index and
// write_id_map would store, and indexes loaded from such bytes.
std::vector<uint8_t> index_file_bytes(const GyrelIndex& index);
std::vector<uint8_t> id_map_file_bytes(const IdMapIndex& index);
GyrelIndex index_from_bytes(std::span<const uint8_t> bytes);
IdMapIndex id_map_from_bytes(std::span<const uint8_t> bytes);

// What the first 15 bytes of an index file declare, with every check a reader makes before it
// allocates: the magic (either format), the version, the parameters, and, where the size of the
// source is known, that it holds everything the header declares. Reads nothing else, so it lets
// a caller refuse a file by its dim or n before loading it. The ids of a QLIM file are not read,
// so a repeated id is left for the reader to find.
struct FileHeader {
    std::string magic;  // "QLIX" or "QLIM"
    uint8_t version = 0;
    uint64_t bits = 0;
    Rotation rotation = Rotation::Rotor3;
    uint64_t dim = 0;
    uint64_t n = 0;
};

FileHeader read_file_header(const std::string& path);
FileHeader file_header_from_bytes(std::span<const uint8_t> bytes);

// Fails with "file name contained an unexpected NUL byte" when the path holds a '\0', which the
// system would silently take as its end.
void check_path(const std::string& path);

inline constexpr size_t kIoBufferSize = 8192;

// Buffers small writes to a borrowed descriptor, or appends them to sink when that is set; large
// pieces go straight through.
struct Writer {
    int fd = -1;
    std::vector<uint8_t>* sink = nullptr;
    std::array<uint8_t, kIoBufferSize> buffer{};
    size_t used = 0;
};

void write_bytes(Writer& writer, std::span<const uint8_t> bytes);
void flush(Writer& writer);

// Buffers reads from a borrowed descriptor (or, when fd is -1, from memory) and counts what callers
// have taken, so that sizes a header declares can be checked against the bytes the file really
// holds.
struct Reader {
    int fd = -1;
    std::span<const uint8_t> memory;  // what is still unread when there is no descriptor
    std::array<uint8_t, kIoBufferSize> buffer{};
    size_t begin = 0;                   // next unread byte of buffer
    size_t end = 0;                     // bytes of buffer filled
    uint64_t consumed = 0;              // bytes handed to callers so far
    std::optional<uint64_t> file_size;  // known for regular files; streams have none
};

Reader make_reader(int fd);
Reader make_memory_reader(std::span<const uint8_t> bytes);
// Fills bytes completely or fails with "failed to fill whole buffer".
void read_exact(Reader& reader, std::span<uint8_t> bytes);

// The fields of the core section as an index holds them.
struct Core {
    std::vector<uint8_t> codes;
    uint64_t bits = 0;
    uint64_t dim = 0;
    uint64_t n = 0;
    Rotation kind = Rotation::Rotor3;
    std::vector<float> norms;
};

// Refuses (as an IoError) a dim or n that the 32-bit header fields cannot hold.
void check_fits_file(uint64_t dim, uint64_t n);

void write_core(Writer& writer, uint64_t bits, Rotation kind, uint64_t dim, uint64_t n,
                std::span<const uint8_t> codes, std::span<const float> norms);
// Refuses an unknown rotation tag and parameters no index can have, and never allocates more
// than the file holds.
Core read_core(Reader& reader);
// Reads the 4-byte magic (which is also the format's name in messages) and the version byte.
void expect_magic(Reader& reader, std::string_view magic);

// The system calls of file I/O that a test build can make fail.
enum class SysCall : uint8_t { Open, Read, Write, Fsync, Close, Rename };

#if QUILANE_FAULT_INJECTION
// Test hooks: the system call of the given kind made after `skip` further calls of that kind
// fails with err (a write with err 0 writes nothing). One fault is armed at a time.
void inject_fault(SysCall call, int skip, int err);
void clear_fault();
#endif

}  // namespace quilane
