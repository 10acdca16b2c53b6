// The encoder's path written out with AVX-512 intrinsics: 16 vectors side by side, one register
// per coordinate, the codes assembled in registers straight into the block layout. Every lane
// performs the operations of the plain rule in the plain order, so the bytes are those of
// encode_reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "transform.hpp"

namespace quilane {

// Encodes the first whole groups of 16 of the n vectors into positions first, first + 1, ... of a
// block store (and their norms), and returns how many it encoded: a multiple of 16, or 0 where
// this path does not apply (fewer than 16 vectors, a dim too wide for its gathers, boundaries
// that are not ascending or hold a NaN). The processor must have AVX-512.
size_t encode_groups_avx512(std::span<const float> vectors, size_t n, size_t dim,
                            const Transform& transform, std::span<const float> boundaries,
                            size_t bits, std::span<uint8_t> store, size_t first,
                            std::span<float> norms);

}  // namespace quilane
