// The vectors an index scores against, in the caller's coordinates.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib.hpp"

namespace quilane {

// Row i (dim floats) is norm * T^T c for the vector at positions[i], c holding the centroids of
// its codes and T the index's orthogonal transform. A search scores norm * <T q, c> = <q, row>,
// so the row's inner product with a query is the search score up to float rounding. Fails with
// "index {} out of bounds" for a position >= len.
std::vector<float> reconstruct(GyrelIndex& index, std::span<const uint64_t> positions);

}  // namespace quilane
