#include "reconstruct.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "checked_size.hpp"
#include "error.hpp"
#include "pack.hpp"
#include "transform.hpp"

namespace quilane {

std::vector<float> reconstruct(GyrelIndex& index, std::span<const uint64_t> positions) {
    for (const uint64_t position : positions) {
        if (position >= index.len()) {
            fail("index " + std::to_string(position) + " out of bounds");
        }
    }
    const size_t dim = index.dim();
    const Transform transform = index.transform();
    const std::vector<float>& centroids = index.centroids();

    std::vector<float> out(checked_mul(positions.size(), dim));
    std::vector<uint8_t> record(index.record_size());
    std::vector<uint8_t> codes(dim);
    // Coordinates from dim on lie in the identity block and stay zero, as they are for queries.
    std::vector<float> row(transform.padded_dim);
    for (size_t i = 0; i < positions.size(); ++i) {
        index.copy_records(positions[i], 1, record.data());
        unpack_record(record.data(), dim, index.bits(), codes.data());
        std::fill(row.begin(), row.end(), 0.0f);
        for (size_t j = 0; j < dim; ++j) {
            row[j] = centroids[codes[j]];
        }
        inverse_transform_row(transform, dim, row);
        const float norm = index.norms()[positions[i]];
        float* target = out.data() + i * dim;
        for (size_t j = 0; j < dim; ++j) {
            target[j] = row[j] * norm;
        }
    }
    return out;
}

}  // namespace quilane
