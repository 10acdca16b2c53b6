#include "normalise.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quilane {

bool all_finite(std::span<const float> x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

// The squares of coordinates above about 1.8e19 overflow single precision although the vector is
// finite. Scaling by the power of two of the largest coordinate is exact, so the direction comes
// out as it would for a smaller multiple of the vector, and the norm is finite whenever it fits.
float normalise_scaled(std::span<const float> x, std::span<float> row) {
    float largest = 0.0f;
    for (const float v : x) {
        largest = std::max(largest, std::fabs(v));
    }
    int exponent = 0;
    std::frexp(largest, &exponent);
    float sum = 0.0f;
    for (const float v : x) {
        const float scaled = std::ldexp(v, -exponent);
        sum = sum + scaled * scaled;
    }
    const float scaled_norm = std::sqrt(sum);
    const float scale = 1.0f / scaled_norm;
    for (size_t j = 0; j < x.size(); ++j) {
        row[j] = std::ldexp(x[j], -exponent) * scale;
    }
    return std::ldexp(scaled_norm, exponent);
}

// Writes x / |x| to row[0, x.size()) and returns |x|: squares summed in single precision in index
// order, multiplied by the reciprocal of the norm, the zero direction for a tiny norm.
float normalise_into(std::span<const float> x, std::span<float> row) {
    float sum = 0.0f;
    for (const float v : x) {
        sum = sum + v * v;
    }
    if (std::isinf(sum) && all_finite(x)) {
        return normalise_scaled(x, row);
    }
    const float norm = std::sqrt(sum);
    const float scale = norm > kMinNorm ? 1.0f / norm : 0.0f;
    for (size_t j = 0; j < x.size(); ++j) {
        row[j] = x[j] * scale;
    }
    return norm;
}

void rescale_overflowed_lanes(const float* vectors, size_t count, size_t dim, size_t lanes,
                              float* norms, float* x) {
    for (size_t l = 0; l < count; ++l) {
        const std::span<const float> v(vectors + l * dim, dim);
        if (std::isinf(norms[l]) && all_finite(v)) {
            std::vector<float> row(dim);
            norms[l] = normalise_scaled(v, row);
            for (size_t j = 0; j < dim; ++j) {
                x[j * lanes + l] = row[j];
            }
        }
    }
}

}  // namespace quilane
