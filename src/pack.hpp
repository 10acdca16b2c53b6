// The packed code record: bits planes of dim/8 bytes; in each plane coordinate j is bit 7 - j % 8
// of byte j / 8, and plane p holds bit p of every code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quilane {

inline size_t record_bytes(size_t bits, size_t dim) {
    return bits * (dim / 8);
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

}  // namespace quilane
