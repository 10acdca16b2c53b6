// The scan's first pass: per query, small integer tables looked up a byte at a time give every
// stored vector an integer sum, and with it bounds of its exact float score that prove most
// vectors unable to enter the best k. Only what can still win is scored exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "isa.hpp"

namespace quilane {

// Widths whose codes never straddle a half byte of the block layout (pack.hpp), so that every
// half byte is one table index: one code of 4 bits or two codes of 2 bits.
inline bool first_pass_fits(size_t bits) {
    return bits == 2 || bits == 4;
}

// One query's tables and the bound that goes with them. A block's rows (16 bytes, byte v of
// lane v) are taken four at a time; for each such chunk the tables hold 4 tables of 16 entries
// for the low half bytes of its rows, then 4 for the high half bytes. Every entry is at most
// 127, so the two entries of one byte add up without carry in 8 bits.
struct QuantisedQuery {
    std::vector<uint8_t> tables;
    // False when the bound would not hold (non-finite or overflowing tables, a step of zero, a
    // dim too large for the rounding bound): every vector of this query is scored exactly.
    bool usable = false;
    // The exact float sum of a vector whose integer sum is Q lies in
    // [low_base + step * Q, high_base + step * Q], those computed in double.
    double step = 0.0;
    double low_base = 0.0;
    double high_base = 0.0;
};

// Bytes of tables per query for a block of `rows` rows of 16 bytes.
inline size_t first_pass_table_bytes(size_t rows) {
    return (rows + 3) / 4 * 128;
}

// t: the transformed query row; centroids: 2^bits levels.
QuantisedQuery quantise_query(const float* t, const float* centroids, size_t dim, size_t bits);

// One kernel call: the integer sums of the 16 lanes of one block for `count` queries.
struct FirstPassJob {
    const uint8_t* block;
    size_t rows;                   // record bytes of one vector: bits * dim / 8
    const uint8_t* const* tables;  // count tables
    uint32_t* sums;                // count x 16
};

using FirstPassKernel = void (*)(const FirstPassJob&);

// A kernel for `count` queries at once (1 to 4) on the chosen instruction set.
FirstPassKernel first_pass_kernel(Isa isa, size_t count);

// True when no vector with an integer sum in [0, max_sum] and a norm in [0, max_norm] can rank
// above `worst` (a number: the worst of a full buffer).
bool block_cannot_reach(const QuantisedQuery& query, uint32_t max_sum, float max_norm, float worst);
// The same for one vector of any norm.
bool lane_cannot_reach(const QuantisedQuery& query, uint32_t sum, float norm, float worst);

}  // namespace quilane
