// Re-ranking candidates from a compressed search by exact float32 inner products.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace quilane {

// A candidate slot holding this value is empty (the -1 of a position, read as unsigned).
inline constexpr uint64_t kNoCandidate = std::numeric_limits<uint64_t>::max();

struct RerankInput {
    std::span<const float> queries;        // nq x dim, row-major
    std::span<const uint64_t> candidates;  // nq x columns: row numbers of vectors, or empty
    std::span<const float> vectors;        // rows x dim, row-major
    size_t nq = 0;
    size_t columns = 0;
    size_t rows = 0;
    size_t dim = 0;
};

struct RerankResults {
    std::vector<float> scores;         // nq x k, best first; -inf in unfilled slots
    std::vector<uint64_t> candidates;  // same shape; kNoCandidate in unfilled slots
    size_t k = 0;
};

// The exact inner product of a query row with a vector row: sixteen partial sums over the
// coordinates in a fixed order, added in a fixed order, so the value is the same on every
// processor and instruction set.
float exact_inner_product(const float* a, const float* b, size_t dim);

// For each query, its candidates scored by exact_inner_product and ordered as a search orders
// its results (higher score first, NaN below every number, equal scores by lower candidate); a
// candidate repeated in a row counts once. Keeps k' = max(1, min(k, columns)) per row; a row with
// fewer distinct candidates is filled with -inf and kNoCandidate. Fails (Error) for a candidate
// that is neither empty nor below rows, or inputs that do not hold the shapes given.
RerankResults rerank(const RerankInput& input, size_t k);

}  // namespace quilane
