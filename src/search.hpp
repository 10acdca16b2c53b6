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
    std::span<const uint8_t> codes;  // search: a block store (pack.hpp); search_reference: records
    std::span<const float> centroids;
    std::span<const float> norms;
    size_t dim = 0;
    size_t bits = 0;
    size_t n = 0;
};

// The instruction sets the scan has a kernel for. Every path gives bit-identical results.
enum class ScanPath : uint8_t { Scalar, Avx2, Avx512 };

bool scan_path_supported(ScanPath path);
// The fastest path this processor runs.
ScanPath best_scan_path();

// Scores nq queries (row-major in queries) against all n stored vectors (index.codes a block
// store) and keeps the best k of each, 1 <= k <= n. Results are ordered by descending score,
// equal scores by ascending position, and a NaN score ranks below every number (also below
// -inf). Candidate buffers use this same order, a strict total order, so a later equal score
// never displaces an earlier one, a number always displaces a buffered NaN, and the k best do not
// depend on how the stored vectors are split between workers. Inconsistent inputs throw Error.
// Runs on the process-wide pool, split over stored vectors and queries alike; the result does
// not depend on the number of workers.
SearchResults search(std::span<const float> queries, size_t nq, const Transform& transform,
                     const ScanInput& index, size_t k);

// The same on a chosen path, which must be supported (else Error), so that tests can compare
// every path this processor runs.
SearchResults search_on_path(ScanPath path, std::span<const float> queries, size_t nq,
                             const Transform& transform, const ScanInput& index, size_t k);

// A plain sequential scan over packed records (index.codes n records), the oracle for every
// faster path.
SearchResults search_reference(std::span<const float> queries, size_t nq,
                               const Transform& transform, const ScanInput& index, size_t k);

}  // namespace quilane
