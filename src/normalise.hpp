// A vector's norm and direction, the first step of encoding, on every path of the encoder.
#pragma once

#include <cstddef>
#include <span>

namespace quilane {

// A vector whose norm is not above this is stored as the zero direction. Compared in single
// precision, like everything else on the vector path.
constexpr float kMinNorm = 1e-10f;

bool all_finite(std::span<const float> x);

// The squares of coordinates above about 1.8e19 overflow single precision although the vector is
// finite: this path scales by a power of two first, exactly. Writes the direction to
// row[0, x.size()) and returns the norm.
float normalise_scaled(std::span<const float> x, std::span<float> row);

// Writes x / |x| to row[0, x.size()) and returns |x|: squares summed in single precision in index
// order, multiplied by the reciprocal of the norm, the zero direction for a tiny norm.
float normalise_into(std::span<const float> x, std::span<float> row);

// For the lane encoders, which hold `lanes` vectors transposed in x (entry j of lane l at
// x[j * lanes + l]): a finite vector among the first `count` whose norm overflowed (norms[l]
// infinite) takes the exact power-of-two path on its own, its norm and direction replaced.
void rescale_overflowed_lanes(const float* vectors, size_t count, size_t dim, size_t lanes,
                              float* norms, float* x);

}  // namespace quilane
