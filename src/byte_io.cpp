#include "byte_io.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "error.hpp"
#include "interrupt.hpp"
#include "system_calls.hpp"

namespace quilane {

namespace {

void write_all(Writer& writer, const uint8_t* data, size_t size) {
    if (writer.fd < 0) {
        if (size > writer.memory.size()) {
            fail("internal error: " + std::to_string(size) + " bytes written to a buffer of " +
                 std::to_string(writer.memory.size()));
        }
        std::copy_n(data, size, writer.memory.begin());
        writer.memory = writer.memory.subspan(size);
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

}  // namespace

std::optional<uint64_t> bytes_left(const Reader& reader) {
    if (!reader.file_size) {
        return std::nullopt;
    }
    return *reader.file_size - std::min(*reader.file_size, reader.consumed);
}

void fail_short_read() {
    throw IoError("failed to fill whole buffer");
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

}  // namespace quilane
