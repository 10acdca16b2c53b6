// The seeded orthogonal transform of an index: the random-sign Walsh-Hadamard stage (walshrotor3
// only) followed by the block rotation. Regenerated from the seed, bit for bit, wherever an index
// is loaded; encoding and search both apply it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rotation.hpp"

namespace quilane {

struct BlockMatrices {
    std::vector<float> matrices;  // blocks * k * k values, block after block, each row-major
    size_t blocks = 0;
    size_t padded_dim = 0;  // blocks * k
};

BlockMatrices precompute_block_matrices(size_t dim, Rotation kind, uint64_t seed);

// Multiplies each consecutive k-block of x by the matching k x k row-major matrix, in place.
// Processes min(matrices.size() / (k * k), x.size() / k) blocks; later entries are untouched.
// Each output is a single-precision sum of products taken in increasing column order.
void rotate_inplace(std::span<const float> matrices, size_t k, std::span<float> x);

// Added (wrapping) to the index seed so that the sign stream differs from the block stream.
inline constexpr uint64_t kSignSeedOffset = 5720148;

// dim entries of +1 or -1: one 32-bit draw each, +1 when its top bit is set.
std::vector<float> make_sign_vector(size_t dim, uint64_t seed);

// Sign flip, unnormalised fast Walsh-Hadamard transform and scaling by 1/sqrt(dim) of x[0, dim).
// dim must be a power of two no larger than x.size(); entries from dim on are untouched.
void wht_inplace(std::span<float> x, std::span<const float> signs, size_t dim);

bool is_power_of_two(uint64_t value);

// The transform of one index, borrowed from its caches.
struct Transform {
    std::span<const float> signs;  // Walsh-Hadamard sign vector; empty when the kind has none
    bool has_signs = false;
    std::span<const float> matrices;  // block matrices
    size_t block = 0;                 // block size of the kind
    size_t padded_dim = 0;            // row length while transforming
};

// Applies the Walsh-Hadamard stage (when the transform has one) to x[0, dim) and then the block
// rotation to the whole row of padded_dim entries (row.size() >= padded_dim).
void transform_row(const Transform& transform, size_t dim, std::span<float> row);

// The inverse of transform_row (the transform is orthogonal), up to float rounding.
void inverse_transform_row(const Transform& transform, size_t dim, std::span<float> row);

}  // namespace quilane
