#include "reconstruct.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "error.hpp"
#include "pack.hpp"
#include "wht.hpp"

namespace quilane {

namespace {

// x <- M^T x for each k-block of x: the inverse of rotate_inplace, as its blocks are orthogonal.
void rotate_back_inplace(std::span<const float> matrices, size_t k, std::span<float> x) {
    const size_t blocks = std::min(matrices.size() / (k * k), x.size() / k);
    std::array<float, 4> scratch{};
    for (size_t b = 0; b < blocks; ++b) {
        const float* m = matrices.data() + b * k * k;
        float* v = x.data() + b * k;
        for (size_t c = 0; c < k; ++c) {
            float sum = 0.0f;
            for (size_t r = 0; r < k; ++r) {
                sum += m[r * k + c] * v[r];
            }
            scratch[c] = sum;
        }
        std::copy_n(scratch.begin(), k, v);
    }
}

}  // namespace

std::vector<float> reconstruct(GyrelIndex& index, std::span<const uint64_t> positions) {
    for (const uint64_t position : positions) {
        if (position >= index.len()) {
            fail("index " + std::to_string(position) + " out of bounds");
        }
    }
    const size_t dim = index.dim();
    const BlockMatrices& blocks = index.block_matrices();
    const std::vector<float>& centroids = index.centroids();
    const std::optional<std::vector<float>>& signs = index.sign_vector();
    const size_t k = block_size(index.rotation());

    std::vector<float> out(positions.size() * dim);
    std::vector<uint8_t> record(index.record_size());
    std::vector<uint8_t> codes(dim);
    // Coordinates from dim on lie in the identity block and stay zero, as they are for queries.
    std::vector<float> row(blocks.padded_dim);
    for (size_t i = 0; i < positions.size(); ++i) {
        index.copy_records(positions[i], 1, record.data());
        unpack_record(record.data(), dim, index.bits(), codes.data());
        std::fill(row.begin(), row.end(), 0.0f);
        for (size_t j = 0; j < dim; ++j) {
            row[j] = centroids[codes[j]];
        }
        rotate_back_inplace(blocks.matrices, k, row);
        if (signs) {
            // The Walsh-Hadamard stage is (1/sqrt(dim)) H D, whose inverse is D (1/sqrt(dim)) H.
            wht_inplace(row, {}, dim);
            for (size_t j = 0; j < dim; ++j) {
                row[j] *= (*signs)[j];
            }
        }
        const float norm = index.norms()[positions[i]];
        float* target = out.data() + i * dim;
        for (size_t j = 0; j < dim; ++j) {
            target[j] = row[j] * norm;
        }
    }
    return out;
}

}  // namespace quilane
