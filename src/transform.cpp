#include "transform.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>

#include "checked_size.hpp"
#include "error.hpp"
#include "random_stream.hpp"

namespace quilane {

namespace {

// Rotation matrix of the unit quaternion (w, x, y, z), written into a 3x3 row-major block.
void write_rotor3(float w, float x, float y, float z, float* m) {
    m[0] = ((z * z + w * w) - x * x) - y * y;
    m[1] = 2.0f * (w * x - y * z);
    m[2] = 2.0f * (w * y + x * z);
    m[3] = -2.0f * (w * x + y * z);
    m[4] = ((w * w + y * y) - x * x) - z * z;
    m[5] = 2.0f * (z * w - x * y);
    m[6] = 2.0f * (x * z - w * y);
    m[7] = -2.0f * (x * y + z * w);
    m[8] = ((w * w + x * x) - y * y) - z * z;
}

// Left multiplication by the unit quaternion (a, b, c, d), as a 4x4 row-major block.
void write_iso4(float a, float b, float c, float d, float* m) {
    const float rows[16] = {a, -b, -c, -d, b, a, -d, c, c, d, a, -b, d, -c, b, a};
    std::copy(rows, rows + 16, m);
}

void write_planar2(ChaChaStream& stream, float* m) {
    constexpr float kTwoPi = 6.2831855f;
    const float theta = uniform_f32(stream) * kTwoPi;
    const float s = std::sin(theta);
    const float c = std::cos(theta);
    m[0] = c;
    m[1] = -s;
    m[2] = s;
    m[3] = c;
}

// Four deviates scaled to a unit quaternion; all-zero draws give a zero quaternion, not NaN.
std::array<float, 4> random_unit_quaternion(ChaChaStream& stream) {
    const float g1 = gauss(stream);
    const float g2 = gauss(stream);
    const float g3 = gauss(stream);
    const float g4 = gauss(stream);
    const float norm = std::max(std::sqrt(((g1 * g1 + g2 * g2) + g3 * g3) + g4 * g4), 1e-30f);
    return {g1 / norm, g2 / norm, g3 / norm, g4 / norm};
}

void write_identity(size_t k, float* m) {
    for (size_t i = 0; i < k; ++i) {
        m[i * k + i] = 1.0f;
    }
}

void write_random_block(ChaChaStream& stream, Rotation kind, float* m) {
    switch (kind) {
        case Rotation::Planar2:
            write_planar2(stream, m);
            return;
        case Rotation::Rotor3:
        case Rotation::WalshRotor3: {
            const auto [w, x, y, z] = random_unit_quaternion(stream);
            write_rotor3(w, x, y, z, m);
            return;
        }
        case Rotation::Iso4: {
            const auto [a, b, c, d] = random_unit_quaternion(stream);
            write_iso4(a, b, c, d, m);
            return;
        }
    }
}

// Passes in increasing h; each butterfly of a pass touches its own pair of entries.
void walsh_hadamard(float* x, size_t dim) {
    for (size_t h = 1; h < dim; h *= 2) {
        for (size_t i = 0; i < dim; i += 2 * h) {
            for (size_t j = i; j < i + h; ++j) {
                const float a = x[j];
                const float b = x[j + h];
                x[j] = a + b;
                x[j + h] = a - b;
            }
        }
    }
}

}  // namespace

BlockMatrices precompute_block_matrices(size_t dim, Rotation kind, uint64_t seed) {
    const size_t k = block_size(kind);
    const size_t full = dim / k;
    const bool partial = dim % k != 0;
    BlockMatrices result;
    result.blocks = full + (partial ? 1 : 0);
    result.padded_dim = checked_mul(result.blocks, k);
    result.matrices.assign(checked_mul(result.padded_dim, k), 0.0f);
    ChaChaStream stream = make_stream(seed);
    for (size_t b = 0; b < result.blocks; ++b) {
        float* m = result.matrices.data() + b * k * k;
        if (b == full) {
            // Only reached when dim leaves a partial block: its coordinates pass unchanged.
            write_identity(k, m);
        } else {
            write_random_block(stream, kind, m);
        }
    }
    return result;
}

std::vector<float> make_sign_vector(size_t dim, uint64_t seed) {
    ChaChaStream stream = make_stream(seed);
    std::vector<float> signs(dim);
    for (float& sign : signs) {
        sign = (next_u32(stream) & 0x80000000u) != 0 ? 1.0f : -1.0f;
    }
    return signs;
}

void wht_inplace(std::span<float> x, std::span<const float> signs, size_t dim) {
    // A butterfly partner would otherwise lie outside dim or outside the row.
    if (!is_power_of_two(dim)) {
        fail("internal error: Walsh-Hadamard transform needs a power-of-two dim (got " +
             std::to_string(dim) + ")");
    }
    if (dim > x.size()) {
        fail("internal error: Walsh-Hadamard dim " + std::to_string(dim) +
             " exceeds the row length " + std::to_string(x.size()));
    }
    const size_t flipped = std::min(signs.size(), dim);
    for (size_t j = 0; j < flipped; ++j) {
        x[j] *= signs[j];
    }
    walsh_hadamard(x.data(), dim);
    const float scale = 1.0f / std::sqrt(static_cast<float>(dim));
    for (size_t j = 0; j < dim; ++j) {
        x[j] *= scale;
    }
}

bool is_power_of_two(uint64_t value) {
    return std::has_single_bit(value);
}

namespace {

// x <- M x (or M^T x when Transposed) for each k-block of x, each output a single-precision sum
// of products in increasing column order.
template <bool Transposed>
void multiply_blocks(std::span<const float> matrices, size_t k, std::span<float> x) {
    const size_t blocks = std::min(matrices.size() / (k * k), x.size() / k);
    std::array<float, 4> scratch{};
    for (size_t b = 0; b < blocks; ++b) {
        const float* m = matrices.data() + b * k * k;
        float* v = x.data() + b * k;
        for (size_t r = 0; r < k; ++r) {
            float sum = 0.0f;
            for (size_t c = 0; c < k; ++c) {
                sum += (Transposed ? m[c * k + r] : m[r * k + c]) * v[c];
            }
            scratch[r] = sum;
        }
        std::copy_n(scratch.begin(), k, v);
    }
}

// The inverse of rotate_inplace, as its blocks are orthogonal.
void rotate_back_inplace(std::span<const float> matrices, size_t k, std::span<float> x) {
    multiply_blocks<true>(matrices, k, x);
}

}  // namespace

void rotate_inplace(std::span<const float> matrices, size_t k, std::span<float> x) {
    if (k < 1 || k > 4) {
        fail("internal error: rotation block size " + std::to_string(k) + " is outside 1..4");
    }
    multiply_blocks<false>(matrices, k, x);
}

void inverse_transform_row(const Transform& transform, size_t dim, std::span<float> row) {
    rotate_back_inplace(transform.matrices, transform.block, row.first(transform.padded_dim));
    if (transform.has_signs) {
        // The Walsh-Hadamard stage is (1/sqrt(dim)) H D, whose inverse is D (1/sqrt(dim)) H.
        wht_inplace(row, {}, dim);
        for (size_t j = 0; j < dim; ++j) {
            row[j] *= transform.signs[j];
        }
    }
}

void transform_row(const Transform& transform, size_t dim, std::span<float> row) {
    if (transform.has_signs) {
        wht_inplace(row, transform.signs, dim);
    }
    rotate_inplace(transform.matrices, transform.block, row.first(transform.padded_dim));
}

}  // namespace quilane
