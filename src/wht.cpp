#include "wht.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "error.hpp"
#include "rotor.hpp"

namespace quilane {

std::vector<float> make_sign_vector(size_t dim, uint64_t seed) {
    ChaChaStream stream = make_stream(seed);
    std::vector<float> signs(dim);
    for (float& sign : signs) {
        sign = (next_u32(stream) & 0x80000000u) != 0 ? 1.0f : -1.0f;
    }
    return signs;
}

namespace {

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

}  // namespace quilane
