// The scan: every query against every stored record, best k per query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encode.hpp"
#include "isa.hpp"

namespace quilane {

struct SearchResults {
    std::vector<float> scores;       // nq * k, row-major by query, best first
    std::vector<int64_t> positions;  // same shape; -1 marks an empty slot
    uint64_t nq = 0;
    uint64_t k = 0;
    // (query, stored vector) pairs the scan scored exactly; what the first pass did not skip.
    uint64_t scored_exactly = 0;
};

// What the scan reads of one index.
struct ScanInput {
    // search: a compact block store (pack.hpp); search_reference: packed records
    std::span<const uint8_t> codes;
    std::span<const float> centroids;
    std::span<const float> norms;
    size_t dim = 0;
    size_t bits = 0;
    size_t n = 0;
    // The positions a search may return, bit p % 64 of word p / 64; empty allows every position.
    // The result is that of an index holding only the allowed vectors in their position order,
    // reported with their positions here; k must not exceed the number allowed.
    std::span<const uint64_t> allowed;
};

// How many positions below n a bitmap as in ScanInput::allowed allows (n when it is empty; it
// must hold at least ceil(n / 64) words otherwise).
size_t count_allowed(std::span<const uint64_t> allowed, size_t n);

// Whether the scan runs its first pass (first_pass.hpp) before scoring exactly. It never changes
// a result, only which vectors are scored exactly; ByShape decides by the shape of the search.
enum class FirstPass : uint8_t { Off, On, ByShape };

// Scores nq queries (row-major in queries) against all n stored vectors (index.codes a block
// store) and keeps the best k of each, 1 <= k <= n. Results are ordered by descending score,
// equal scores by ascending position, and a NaN score ranks below every number (also below
// -inf). Candidate buffers use this same order, a strict total order, so a later equal score
// never displaces an earlier one, a number always displaces a buffered NaN, and the k best do not
// depend on how the stored vectors are split between workers. Inconsistent inputs throw Error.
// Runs on the process-wide pool, split over stored vectors and queries alike, on active_isa();
// the result does not depend on the number of workers.
SearchResults search(std::span<const float> queries, size_t nq, const Transform& transform,
                     const ScanInput& index, size_t k);

// The same on a chosen instruction set, which must be supported (else Error), and with the first
// pass chosen, so that tests can compare every path this processor runs.
SearchResults search_with(Isa isa, FirstPass first_pass, std::span<const float> queries, size_t nq,
                          const Transform& transform, const ScanInput& index, size_t k);

// A plain sequential scan over packed records (index.codes n records), the oracle for every
// faster path.
SearchResults search_reference(std::span<const float> queries, size_t nq,
                               const Transform& transform, const ScanInput& index, size_t k);

}  // namespace quilane
