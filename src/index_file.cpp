#include "index_file.hpp"

#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "atomic_file.hpp"
#include "byte_io.hpp"
#include "checked_size.hpp"
#include "error.hpp"
#include "pack.hpp"
#include "system_calls.hpp"

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
// Records converted from the block store per write.
constexpr size_t kWriteChunkBytes = 1 << 20;

template <class T>
std::span<uint8_t> as_writable_bytes(std::vector<T>& values, size_t from, size_t count) {
    return {reinterpret_cast<uint8_t*>(values.data() + from), count * sizeof(T)};
}

template <class T>
std::span<const uint8_t> as_bytes_of(std::span<const T> values) {
    return {reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes()};
}

// Reads count values that the file stores back to back. A regular file must hold them all
// before anything is allocated; a stream is read chunk by chunk.
template <class T>
std::vector<T> read_array(Reader& reader, uint64_t count) {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, sizeof(T), &bytes)) {
        fail_short_read();
    }
    if (const auto left = bytes_left(reader)) {
        if (bytes > *left) {
            fail_short_read();
        }
        std::vector<T> values;
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

// The fields of the core section as an index holds them.
struct Core {
    std::vector<uint8_t> codes;
    uint64_t bits = 0;
    uint64_t dim = 0;
    uint64_t n = 0;
    Rotation kind = Rotation::Rotor3;
    std::vector<float> norms;
};

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
        index.copy_records(first, count, records.data());
        write_bytes(writer, std::span<const uint8_t>(records).first(count * record));
    }
    write_bytes(writer, as_bytes_of(index.norms()));
}

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

Core read_core(Reader& reader) {
    const CoreHeader header = read_core_header(reader);
    Core core;
    core.bits = header.bits;
    core.kind = header.kind;
    core.dim = header.dim;
    core.n = header.n;
    // The index turns the records into its compact block store in place, in the same bytes.
    core.codes = read_array<uint8_t>(reader, header.code_bytes);
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

}  // namespace

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

namespace {

// Everything but the ids: magic and version, core header, records, norms, seed.
uint64_t plain_file_size(const GyrelIndex& index) {
    const uint64_t per_vector = checked_add(index.record_size(), sizeof(float));
    return checked_add(4 + 1 + kCoreHeaderSize + sizeof(uint64_t),
                       checked_mul(index.len(), per_vector));
}

template <class Emit>
void write_into(std::span<uint8_t> out, uint64_t size, Emit emit) {
    if (out.size() != size) {
        fail_assert_eq(out.size(), size, "buffer for the file bytes");
    }
    Writer writer;
    writer.memory = out;
    emit(writer);
    flush(writer);
    if (!writer.memory.empty()) {
        fail("internal error: " + std::to_string(writer.memory.size()) + " bytes left unwritten");
    }
}

}  // namespace

uint64_t index_file_size(const GyrelIndex& index) {
    check_fits_file(index.dim(), index.len());
    return plain_file_size(index);
}

uint64_t id_map_file_size(const IdMapIndex& index) {
    check_id_map_writable(index);
    return checked_add(plain_file_size(index.inner()), checked_mul(index.len(), sizeof(uint64_t)));
}

void write_index_bytes(const GyrelIndex& index, std::span<uint8_t> out) {
    write_into(out, index_file_size(index), [&](Writer& writer) { emit_index(writer, index); });
}

void write_id_map_bytes(const IdMapIndex& index, std::span<uint8_t> out) {
    write_into(out, id_map_file_size(index), [&](Writer& writer) { emit_id_map(writer, index); });
}

std::vector<uint8_t> index_file_bytes(const GyrelIndex& index) {
    std::vector<uint8_t> bytes(index_file_size(index));
    write_index_bytes(index, bytes);
    return bytes;
}

std::vector<uint8_t> id_map_file_bytes(const IdMapIndex& index) {
    std::vector<uint8_t> bytes(id_map_file_size(index));
    write_id_map_bytes(index, bytes);
    return bytes;
}

}  // namespace quilane
