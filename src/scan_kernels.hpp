// The exact block kernels: one block of the block store (pack.hpp) scored against a few queries,
// bit for bit the score the plain rule gives each of its 16 stored vectors, on each instruction
// set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "isa.hpp"

namespace quilane {

// Entries of one coordinate's float table: every code of up to 4 bits indexes it directly.
inline constexpr size_t kTableWidth = 16;
// The most queries one kernel call scores together.
inline constexpr size_t kMaxExactGroup = 4;

// One kernel call: one block against `group` queries.
struct BlockJob {
    const uint8_t* block;
    size_t groups;        // dim / 8
    const float* tables;  // one table of dim * kTableWidth floats per query ...
    size_t table_stride;  // ... this many floats apart
    const float* norms;   // kBlockVectors norms
    float* scores;        // group x kBlockVectors scores
};

using BlockKernel = void (*)(const BlockJob&);

// The kernel for codes of `bits` bits and `group` queries (1 to kMaxExactGroup) on `isa`.
BlockKernel block_kernel(Isa isa, size_t bits, size_t group);

// One query's table: table[j * 16 + e] = t[j] * centroid[e mod 2^bits], the products the plain
// rule forms.
void build_table(const float* t, std::span<const float> centroids, size_t dim, size_t bits,
                 float* table);

}  // namespace quilane
