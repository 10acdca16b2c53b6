// The scan's first pass: per query, small integer tables looked up a byte at a time give every
// stored vector an integer sum, and with it bounds of its exact float score that prove most
// vectors unable to enter the best k. Only what can still win is scored exactly.
#pragma once

#include <algorithm>
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
// The most the two entries of one row add up to: a byte.
inline constexpr uint32_t kRowCeiling = 255;

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

// Sums over a query's tables or coordinates: term i adds to partial sum i % 8, and the partial
// sums fold in one fixed order, so that a vector kernel adding 8 terms at a time gives the same
// double as a plain loop. Any order keeps the bound (first_pass.cpp, step 1).
struct LaneSums {
    static constexpr size_t kLanes = 8;
    double lanes[kLanes] = {};

    void add(size_t i, double term) { lanes[i % kLanes] += term; }
    double total() const {
        return ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) +
               ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
    }
};

// The least and the largest product t[j] * levels[e] of each coordinate, folded over e in order
// from e = 0, and B (first_pass.cpp, step 2): the sum over coordinates of the larger magnitude,
// infinite when a product is not finite.
using RangeKernel = double (*)(const float* t, const float* levels, size_t level_count, size_t dim,
                               float* least, float* largest);

RangeKernel range_kernel(Isa isa);

// What one table adds to the sums of step 1, and its largest entry.
struct TableTerms {
    double low = 0.0;               // m
    double largest_residual = 0.0;  // its least is 0, at the least value
    double magnitude = 0.0;         // max |V| + |m| + R
    uint32_t largest_entry = 0;
};

// The terms of a table whose values span [least, largest], whose code parts leave a residual R
// of `residual`, and whose entries, none above `cap`, leave the largest s[x] - entry[x] `beyond`.
// Entries grow with V, so the largest entry is that of the largest value.
inline TableTerms table_terms(double least, double largest, double residual, double step,
                              double inverse, double cap, double beyond) {
    TableTerms terms;
    terms.low = least;
    // Not negative, so truncation is the floor.
    terms.largest_entry = static_cast<uint32_t>(std::min((largest - least) * inverse, cap));
    terms.largest_residual = step * beyond + residual;
    terms.magnitude = std::max(std::fabs(least), std::fabs(largest)) + std::fabs(least) + residual;
    return terms;
}

// The sums of step 1 over a query's tables, each as LaneSums adds them, table 2 row + high
// being term 2 row + high.
struct TableSums {
    double base = 0.0;        // M
    double residuals = 0.0;   // U
    double magnitudes = 0.0;  // sum max |V| + sum |m| + sum R
};

// The tables of a query of whole codes (2 and 4 bits), every half byte holding 4 / bits codes:
// the one of half byte `high` of row `row` has the values of TableValues with first = t[j],
// first_levels = levels and, at 2 bits, second = t[j + 1], second_levels = second_levels, j =
// (8 row + 4 high) / bits, and spans [least[j], largest[j]], or at 2 bits the double sums of
// those of j and j + 1. The two tables of a row share a cap of 255: the high one's is 255 less
// the low one's largest entry.
struct WholeCodeJob {
    const float* t;
    const float* levels;         // 16: level x mod 2^bits
    const float* second_levels;  // 16: level x >> 2, read at 2 bits
    const float* least;          // per coordinate
    const float* largest;
    size_t bits;
    size_t rows;
    double step;
    double inverse;
    uint8_t* tables;  // as quantise_query writes them
    size_t stride;
};

using WholeCodeKernel = TableSums (*)(const WholeCodeJob& job);

WholeCodeKernel whole_code_kernel(Isa isa);

// One table's values and what else its terms take.
struct TableSource {
    TableValues values;
    double least;
    double largest;
    double residual;  // R: 0 unless it holds the high bits of a split code
};

// Writes the tables of `rows` rows one at a time through `entries`, table_of(row, high) giving
// each table's source, and sums their terms.
template <typename TableOf>
TableSums quantise_one_by_one(size_t rows, TableOf table_of, double step, double inverse,
                              uint8_t* tables, size_t stride, EntryKernel entries) {
    LaneSums base;
    LaneSums residuals;
    LaneSums magnitudes;
    for (size_t row = 0; row < rows; ++row) {
        uint32_t ceiling = kRowCeiling;
        for (size_t high = 0; high < 2; ++high) {
            const TableSource table = table_of(row, high);
            const double cap = static_cast<double>(ceiling);
            const double beyond = entries(table.values, table.least, inverse, cap,
                                          tables + table_offset(row, high, stride));
            const TableTerms terms =
                table_terms(table.least, table.largest, table.residual, step, inverse, cap, beyond);
            ceiling -= terms.largest_entry;
            base.add(2 * row + high, terms.low);
            residuals.add(2 * row + high, terms.largest_residual);
            magnitudes.add(2 * row + high, terms.magnitude);
        }
    }
    return TableSums{base.total(), residuals.total(), magnitudes.total()};
}

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
