// The scan's first pass: per query, small integer tables looked up a byte at a time give every
// stored vector an integer sum, and with it bounds of its exact float score that prove most
// vectors unable to enter the best k. Only what can still win is scored exactly.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "isa.hpp"

namespace quilane {

// A block's rows (16 bytes, byte v of lane v) are taken four at a time. For each such chunk a
// query has 128 bytes of tables: 4 tables of 16 entries for the low half bytes of its rows, then
// 4 for the high half bytes. The two tables of a row add up to at most 255, so that the entries
// of one byte add up without carry in 8 bits.
inline constexpr size_t kChunkTableBytes = 128;

inline size_t first_pass_chunks(size_t rows) {
    return (rows + 3) / 4;
}

// Where the table of half byte `high` of row `row` starts within one query's tables, given how
// far apart its chunks of 4 rows are.
inline size_t table_offset(size_t row, size_t high, size_t stride) {
    return row / 4 * stride + high * 64 + row % 4 * 16;
}

// The bound that goes with one query's tables.
struct QuantisedQuery {
    // False when the bound would not hold (non-finite or overflowing tables, a step of zero, a
    // dim too large for the rounding bound): every vector of this query is scored exactly.
    bool usable = false;
    // The exact float sum of a vector whose integer sum is Q lies in
    // [low_base + step * Q, high_base + step * Q], those computed in double.
    double step = 0.0;
    double low_base = 0.0;
    double high_base = 0.0;
};

// t: the transformed query row; centroids: 2^bits levels. Writes the query's tables for chunk c
// at tables + c * stride (zero bytes, left zero when the query is not usable), so that the
// tables of a group of queries can interleave chunk by chunk. The same on every instruction set.
QuantisedQuery quantise_query(const float* t, const float* centroids, size_t dim, size_t bits,
                              uint8_t* tables, size_t stride, Isa isa);

// The 16 values V[x] of one table (first_pass.cpp, step 1): given as doubles, or, where its half
// byte holds whole codes, formed by the kernel as first * first_levels[x] plus, when
// second_levels is set, second * second_levels[x], each float product widened to double.
struct TableValues {
    const double* values;
    float first;
    const float* first_levels;
    float second;
    const float* second_levels;
};

// The 16 entries of one table: entry x is min(s[x], cap) rounded toward zero, s[x] =
// (V[x] - low) * inverse, each value at least low, cap at most 255. Returns the largest
// s[x] - entry[x], which times the step bounds the table's residuals (first_pass.cpp, step 1).
using EntryKernel = double (*)(const TableValues& table, double low, double inverse, double cap,
                               uint8_t* entries);

EntryKernel entry_kernel(Isa isa);

// The largest of `count` norms, or NaN when one is NaN or negative (-0 too, which at worst skips
// nothing): the block test then never skips, and the lanes are judged one by one. The same on
// every instruction set.
float largest_norm(const float* norms, size_t count, Isa isa);

// The most queries one first-pass kernel call takes: as many as keep their sums in registers.
inline constexpr size_t kMaxFirstPassGroup = 8;

inline size_t first_pass_group_limit(Isa isa) {
    return isa == Isa::Avx512 ? kMaxFirstPassGroup : 4;
}

// One kernel call: the integer sums of the 16 lanes of consecutive blocks for `count` queries.
struct FirstPassJob {
    const uint8_t* block;  // the first; the others follow, 16 * rows bytes apart
    size_t blocks;
    size_t rows;  // record bytes of one vector: bits * dim / 8
    // Chunk c of query q at c * chunk_stride + q * kChunkTableBytes. A block of 2-bit codes may
    // end in half a chunk; the tables of its missing rows must be zero, as quantise_query leaves
    // them, since a kernel may add their entry 0.
    const uint8_t* tables;
    size_t chunk_stride;  // at least count * kChunkTableBytes
    // Block i of query q has its 16 sums at sums + (q * stride + i) * 16 and the largest of them
    // at largest_sums[q * stride + i].
    uint32_t* sums;
    uint32_t* largest_sums;
    size_t stride;  // at least blocks
};

using FirstPassKernel = void (*)(const FirstPassJob&);

// A kernel for `count` queries at once (1 to first_pass_group_limit(isa)).
FirstPassKernel first_pass_kernel(Isa isa, size_t count);

// What a score must beat to enter a full buffer of candidates: a vector whose score is at most
// `tau`, the float just below the buffer's worst score, cannot (first_pass.cpp, step 4).
// Disarmed while the buffer is not full or its worst score is NaN: then nothing is skipped.
struct Bar {
    double tau = 0.0;
    bool armed = false;
};

// The bar of a full buffer whose worst score is `worst`.
Bar bar_below(float worst);

// True when the product bound of step 4 stays at or below tau.
inline bool product_below(double bound, double norm, double tau) {
    const double p = bound * norm;
    return p + 0x1p-52 * std::fabs(p) <= tau;
}

// True when no vector with an integer sum in [0, largest_sum] and a norm in [0, largest_norm]
// can clear an armed bar. Over such norms and sums the largest product is the high end of
// largest_sum times 0 or largest_norm; the low ends give no more, norms not being negative.
inline bool block_cannot_reach(const QuantisedQuery& query, const Bar& bar, uint32_t largest_sum,
                               float largest_norm) {
    const double high = query.high_base + query.step * largest_sum;
    return bar.armed && query.usable && std::isfinite(largest_norm) && largest_norm >= 0.0f &&
           product_below(high, largest_norm, bar.tau) && product_below(high, 0.0, bar.tau);
}

// The same for one vector of any norm.
inline bool lane_cannot_reach(const QuantisedQuery& query, const Bar& bar, uint32_t sum,
                              float norm) {
    return bar.armed && query.usable && std::isfinite(norm) &&
           product_below(query.low_base + query.step * sum, norm, bar.tau) &&
           product_below(query.high_base + query.step * sum, norm, bar.tau);
}

// A largest sum up to which block_cannot_reach holds for every block whose norms lie in
// [0, largest_norm], or -1. The test is monotone, true for (S, W) making it true for every
// smaller sum and every smaller non-negative largest norm (first_pass.cpp, step 5), so a block
// whose largest sum is at most this limit is skipped with one integer comparison. `most` is the
// largest sum a vector can have.
int64_t sum_limit(const QuantisedQuery& query, const Bar& bar, float largest_norm, uint32_t most);

}  // namespace quilane
