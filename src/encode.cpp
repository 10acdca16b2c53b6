#include "encode.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "error.hpp"
#include "pack.hpp"
#include "rotation.hpp"
#include "wht.hpp"

namespace quilane {

namespace {

// A vector whose norm is not above this is stored as the zero direction. Compared in single
// precision, like everything else on the vector path.
constexpr float kMinNorm = 1e-10f;

// Bound on the float work matrix of one encode step (1 MiB).
constexpr size_t kChunkFloats = size_t{1} << 18;

void check_encode_inputs(std::span<const float> vectors, size_t n, size_t dim,
                         const Transform& transform, std::span<const float> boundaries,
                         size_t bits) {
    if (bits < 2 || bits > 4 || dim == 0 || dim % 8 != 0 || transform.padded_dim < dim ||
        boundaries.size() != (size_t{1} << bits) - 1 || vectors.size() / dim < n) {
        fail("internal error: encode given inconsistent inputs (n " + std::to_string(n) + ", dim " +
             std::to_string(dim) + ", bits " + std::to_string(bits) + ")");
    }
}

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

// The number of boundaries v lies strictly above; NaN lies above none.
uint8_t quantise(float v, std::span<const float> boundaries) {
    uint8_t code = 0;
    for (const float b : boundaries) {
        if (v > b) {
            ++code;
        }
    }
    return code;
}

}  // namespace

void transform_row(const Transform& transform, size_t dim, std::span<float> row) {
    if (transform.has_signs) {
        wht_inplace(row, transform.signs, dim);
    }
    rotate_inplace(transform.matrices, transform.block, row.first(transform.padded_dim));
}

size_t encode_chunk_rows(size_t padded_dim) {
    return std::max<size_t>(1, kChunkFloats / std::max<size_t>(1, padded_dim));
}

namespace {

// Encodes the batch in chunks of rows and hands each chunk's codes (one per byte) to store(codes,
// first row, rows), so that no buffer grows with the batch.
template <class Store>
void encode_chunks(std::span<const float> vectors, size_t n, size_t dim, const Transform& transform,
                   std::span<const float> boundaries, std::span<float> norms, Store store) {
    const size_t padded = transform.padded_dim;
    const size_t chunk = std::min(n, encode_chunk_rows(padded));
    std::vector<float> work(chunk * padded);
    std::vector<uint8_t> codes(chunk * dim);
    for (size_t first = 0; first < n; first += chunk) {
        const size_t rows = std::min(chunk, n - first);
        // Padding entries must enter the rotation as zeros.
        std::fill(work.begin(), work.end(), 0.0f);
        for (size_t r = 0; r < rows; ++r) {
            const std::span<float> row(work.data() + r * padded, padded);
            norms[first + r] = normalise_into(vectors.subspan((first + r) * dim, dim), row);
            transform_row(transform, dim, row);
        }
        for (size_t r = 0; r < rows; ++r) {
            for (size_t j = 0; j < dim; ++j) {
                codes[r * dim + j] = quantise(work[r * padded + j], boundaries);
            }
        }
        store(codes.data(), first, rows);
    }
}

}  // namespace

Encoded encode(std::span<const float> vectors, size_t n, size_t dim, const Transform& transform,
               std::span<const float> boundaries, size_t bits) {
    check_encode_inputs(vectors, n, dim, transform, boundaries, bits);
    const size_t record = record_bytes(bits, dim);
    Encoded out;
    out.codes.assign(n * record, 0);
    out.norms.resize(n);
    encode_chunks(vectors, n, dim, transform, boundaries, out.norms,
                  [&](const uint8_t* codes, size_t first, size_t rows) {
                      pack_codes_into(
                          std::span<const uint8_t>(codes, rows * dim), rows, dim, bits,
                          std::span<uint8_t>(out.codes).subspan(first * record, rows * record));
                  });
    return out;
}

void encode_into_blocks(std::span<const float> vectors, size_t n, size_t dim,
                        const Transform& transform, std::span<const float> boundaries, size_t bits,
                        std::span<uint8_t> store, size_t first, std::span<float> norms) {
    check_encode_inputs(vectors, n, dim, transform, boundaries, bits);
    if (norms.size() < n || store.size() < block_store_bytes(bits, dim, first + n)) {
        fail("internal error: encode given a store too small for " + std::to_string(n) +
             " vectors");
    }
    encode_chunks(vectors, n, dim, transform, boundaries, norms,
                  [&](const uint8_t* codes, size_t row, size_t rows) {
                      codes_to_blocks(codes, rows, dim, bits, store.data(), first + row);
                  });
}

Encoded encode_reference(std::span<const float> vectors, size_t n, size_t dim,
                         const Transform& transform, std::span<const float> boundaries,
                         size_t bits) {
    check_encode_inputs(vectors, n, dim, transform, boundaries, bits);
    const size_t padded = transform.padded_dim;
    Encoded out;
    out.norms.resize(n);

    std::vector<float> work(n * padded, 0.0f);
    for (size_t i = 0; i < n; ++i) {
        const std::span<float> row(work.data() + i * padded, padded);
        out.norms[i] = normalise_into(vectors.subspan(i * dim, dim), row);
        if (transform.has_signs) {
            wht_inplace(row, transform.signs, dim);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        rotate_inplace(transform.matrices, transform.block,
                       std::span<float>(work.data() + i * padded, padded));
    }

    std::vector<uint8_t> codes(n * dim);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < dim; ++j) {
            const float v = work[i * padded + j];
            uint8_t code = 0;
            for (const float b : boundaries) {
                if (v > b) {
                    ++code;
                }
            }
            codes[i * dim + j] = code;
        }
    }
    out.codes = pack_codes(codes, n, dim, bits);
    return out;
}

}  // namespace quilane
