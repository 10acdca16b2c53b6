// Buffered reading and writing of bytes, to a descriptor or to memory, that counts what it has
// read so that a reader can check what a header declares against what the file really holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quilane {

inline constexpr size_t kIoBufferSize = 8192;

// Buffers small writes to a borrowed descriptor, or (when fd is -1) fills memory from its front;
// large pieces go straight through.
struct Writer {
    int fd = -1;
    std::span<uint8_t> memory;  // what is still unwritten when there is no descriptor
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

// Bytes a regular file still holds past what was read; nothing for a stream.
std::optional<uint64_t> bytes_left(const Reader& reader);

// Throws IoError "failed to fill whole buffer": a file shorter than what it declares.
[[noreturn]] void fail_short_read();

}  // namespace quilane
