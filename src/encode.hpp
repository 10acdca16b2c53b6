// Turning raw vectors into norms and packed codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "isa.hpp"
#include "transform.hpp"

namespace quilane {

struct Encoded {
    std::vector<uint8_t> codes;  // n packed records
    std::vector<float> norms;    // n norms
};

// Encodes n vectors of dim floats (row-major, vectors.size() >= n * dim). Every record depends on
// its own vector only, so the batch is worked through 16 vectors at a time, side by side, and a
// huge batch needs no work matrix of its own size.
Encoded encode(std::span<const float> vectors, size_t n, size_t dim, const Transform& transform,
               std::span<const float> boundaries, size_t bits);

// The same straight into a block store (pack.hpp): vector i goes to position first + i of store
// and its norm to norms[i]. Every lane it writes is written whole.
void encode_into_blocks(std::span<const float> vectors, size_t n, size_t dim,
                        const Transform& transform, std::span<const float> boundaries, size_t bits,
                        std::span<uint8_t> store, size_t first, std::span<float> norms);

// encode_into_blocks on a chosen instruction set, which must be supported (else Error), so that
// tests can compare every set this processor runs. Every set gives the same bytes.
void encode_into_blocks_on_isa(Isa isa, std::span<const float> vectors, size_t n, size_t dim,
                               const Transform& transform, std::span<const float> boundaries,
                               size_t bits, std::span<uint8_t> store, size_t first,
                               std::span<float> norms);

// The same, with every step written out as plainly as possible: the reference that faster
// paths of encode are tested against.
Encoded encode_reference(std::span<const float> vectors, size_t n, size_t dim,
                         const Transform& transform, std::span<const float> boundaries,
                         size_t bits);

}  // namespace quilane
