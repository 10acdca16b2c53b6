// The scan: every query against every stored record, best k per query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encode.hpp"

namespace quilane {

struct SearchResults {
    std::vector<float> scores;       // nq * k, row-major by query, best first
    std::vector<int64_t> positions;  // same shape; -1 marks an empty slot
    uint64_t nq = 0;
    uint64_t k = 0;
};

// What the scan reads of one index.
struct ScanInput {
    std::span<const uint8_t> codes;  // n packed records
    std::span<const float> centroids;
    std::span<const float> norms;
    size_t dim = 0;
    size_t bits = 0;
    size_t n = 0;
};

// Scores nq queries (row-major in queries) against all n records and keeps the best k of each,
// 1 <= k <= n. Results are ordered by descending score, equal scores by ascending position,
// and a NaN score ranks below every number (also below -inf). The candidate buffer uses this
// same order, so a later equal score never displaces an earlier one and a number always
// displaces a buffered NaN. Inconsistent inputs throw Error.
// Runs on the process-wide pool; the result does not depend on the number of workers.
SearchResults search(std::span<const float> queries, size_t nq, const Transform& transform,
                     const ScanInput& index, size_t k);

// A plain sequential scan, the oracle for every faster path.
SearchResults search_reference(std::span<const float> queries, size_t nq,
                               const Transform& transform, const ScanInput& index, size_t k);

}  // namespace quilane
