// The packed code record: bits planes of dim/8 bytes; in each plane coordinate j is bit 7 - j % 8
// of byte j / 8, and plane p holds bit p of every code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "checked_size.hpp"

namespace quilane {

inline size_t record_bytes(size_t bits, size_t dim) {
    return checked_mul(bits, dim / 8);
}

// Packs an n x dim row-major matrix of codes (one per byte) into n concatenated records.
// Code bits at or above `bits` are ignored.
std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, size_t n, size_t dim, size_t bits);

// The same into a caller's buffer of at least n records, which must be zero: bits are only set.
// Lets a batch be packed in pieces straight into its final place.
void pack_codes_into(std::span<const uint8_t> codes, size_t n, size_t dim, size_t bits,
                     std::span<uint8_t> out);

// Decodes one record into dim codes, the inverse of pack_codes.
void unpack_record(const uint8_t* record, size_t dim, size_t bits, uint8_t* codes);

// The layout an index keeps its codes in while it is in memory, made for scanning 16 vectors at
// once with the same bytes per vector. Vectors are grouped in blocks of kBlockVectors; a block
// holds, for each group of 8 coordinates, every vector's 8 codes as one little-endian string of
// 8 * bits bits (the code of coordinate 8g + b at bits [b * bits, b * bits + bits)), stored as
// `bits` rows of 16 bytes: row r holds byte r of the string of each of the 16 vectors in turn.
// The lanes of a last, partial block past the stored vectors are zero.
inline constexpr size_t kBlockVectors = 16;

inline size_t block_count(size_t n) {
    return n / kBlockVectors + (n % kBlockVectors != 0 ? 1 : 0);
}

inline size_t block_bytes(size_t bits, size_t dim) {
    return checked_mul(kBlockVectors, record_bytes(bits, dim));
}

// Bytes of a block store holding n vectors.
inline size_t block_store_bytes(size_t bits, size_t dim, size_t n) {
    return checked_mul(block_count(n), block_bytes(bits, dim));
}

// Writes the records of count vectors (packed as above) to positions first, first + 1, ... of a
// block store that is large enough.
void records_to_blocks(const uint8_t* records, size_t count, size_t dim, size_t bits,
                       uint8_t* store, size_t first);

// Reads positions first ... first + count - 1 of a block store back into packed records.
void blocks_to_records(const uint8_t* store, size_t first, size_t count, size_t dim, size_t bits,
                       uint8_t* records);

// Puts count vectors of codes (one per byte, count x dim row-major) at positions first, ... of a
// block store.
void codes_to_blocks(const uint8_t* codes, size_t count, size_t dim, size_t bits, uint8_t* store,
                     size_t first);

// Puts lanes 0 ... count - 1 of one block (count <= kBlockVectors) at positions first, ... of a
// block store; first need not start a block.
void block_lanes_to_store(const uint8_t* block, size_t count, size_t dim, size_t bits,
                          uint8_t* store, size_t first);

// Turns n packed records into a block store in the same buffer: each block covers the bytes of
// its own 16 records, so only the last, partial block grows the buffer.
void records_to_blocks_in_place(std::vector<uint8_t>& codes, size_t n, size_t dim, size_t bits);

// Sets the codes of one position of a block store to zero.
void clear_block_lane(uint8_t* store, size_t position, size_t dim, size_t bits);

}  // namespace quilane
