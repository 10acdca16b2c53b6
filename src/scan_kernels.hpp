// The exact block kernels: one block of the block store (pack.hpp) scored against a few queries,
// bit for bit the score the plain rule gives each of its 16 stored vectors, on each instruction
// set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "isa.hpp"
#include "pack.hpp"

namespace quilane {

// Entries of one coordinate's float table: every code of up to 4 bits indexes it directly.
inline constexpr size_t kTableWidth = 16;
// The most queries one kernel call scores together, and the most blocks one call scores for a
// single query: either interleaves independent sums, which a single sum's chain of additions
// leaves the processor idle for.
inline constexpr size_t kMaxExactGroup = 4;
inline constexpr size_t kMaxExactBlocks = 4;

// One kernel call: `blocks` blocks against `queries` queries, one of the two being 1.
struct BlockJob {
    const uint8_t* const* blocks;  // the blocks ...
    const float* const* norms;     // ... and their kBlockVectors norms each
    size_t groups;                 // dim / 8
    // One table of dim * kTableWidth floats per query, table_stride floats apart.
    const float* tables;
    size_t table_stride;
    float* scores;  // kBlockVectors scores of block b against query q at (b * queries + q) * 16
};

using BlockKernel = void (*)(const BlockJob&);

// The kernel for codes of `bits` bits scoring one block against `queries` queries (1 to
// kMaxExactGroup) with their tables, on `isa`.
BlockKernel block_kernel(Isa isa, size_t bits, size_t queries);

// The kernel scoring `blocks` blocks (1 to kMaxExactBlocks) against one query with its table:
// for the scattered blocks a first pass leaves.
BlockKernel blocks_kernel(Isa isa, size_t bits, size_t blocks);

// One query's table: table[j * 16 + e] = t[j] * centroid[e mod 2^bits], the products the plain
// rule forms.
void build_table(const float* t, std::span<const float> centroids, size_t dim, size_t bits,
                 float* table);

// Where some lanes of one block go in a gathered block: position v takes lane lanes[v] of `block`
// for each bit v of `positions`.
struct LaneSource {
    const uint8_t* block;
    uint32_t positions = 0;
    std::array<uint8_t, kBlockVectors> lanes{};
};

// Copies lanes of blocks of `rows` rows into the block `out`, each to the positions its source
// names, row by row: a block's row holds byte v of lane v at every width, so a copied lane scores
// exactly as in its own block. Positions no source names keep their bytes.
void gather_lanes(std::span<const LaneSource> sources, size_t rows, uint8_t* out, Isa isa);

}  // namespace quilane
