#include "rerank.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "candidates.hpp"
#include "error.hpp"

namespace quilane {

namespace {

constexpr size_t kPartialSums = 16;

void check_input(const RerankInput& input) {
    // The sizes come from arrays held in memory, so the products cannot overflow.
    const bool sizes_ok = input.queries.size() >= input.nq * input.dim &&
                          input.candidates.size() >= input.nq * input.columns &&
                          input.vectors.size() >= input.rows * input.dim;
    if (!sizes_ok) {
        fail("internal error: rerank given inconsistent inputs");
    }
    for (const uint64_t candidate : input.candidates.first(input.nq * input.columns)) {
        if (candidate != kNoCandidate && candidate >= input.rows) {
            fail("candidate " + std::to_string(candidate) + " out of range for " +
                 std::to_string(input.rows) + " vectors");
        }
    }
}

void rerank_row(const RerankInput& input, size_t q, size_t k, std::vector<Candidate>& scored,
                float* scores, uint64_t* candidates) {
    const float* query = input.queries.data() + q * input.dim;
    scored.clear();
    for (size_t c = 0; c < input.columns; ++c) {
        const uint64_t candidate = input.candidates[q * input.columns + c];
        if (candidate != kNoCandidate) {
            const float* vector = input.vectors.data() + candidate * input.dim;
            scored.push_back({exact_inner_product(query, vector, input.dim), candidate});
        }
    }
    std::sort(scored.begin(), scored.end(), ranks_above);
    // A repeated candidate has the same score, so its copies are neighbours.
    const auto last = std::unique(
        scored.begin(), scored.end(),
        [](const Candidate& a, const Candidate& b) { return a.position == b.position; });
    const size_t kept = std::min<size_t>(k, static_cast<size_t>(last - scored.begin()));
    for (size_t r = 0; r < kept; ++r) {
        scores[r] = scored[r].score;
        candidates[r] = scored[r].position;
    }
}

}  // namespace

float exact_inner_product(const float* a, const float* b, size_t dim) {
    std::array<float, kPartialSums> partial{};
    size_t j = 0;
    for (; j + kPartialSums <= dim; j += kPartialSums) {
        for (size_t l = 0; l < kPartialSums; ++l) {
            partial[l] = partial[l] + a[j + l] * b[j + l];
        }
    }
    for (size_t l = 0; j + l < dim; ++l) {
        partial[l] = partial[l] + a[j + l] * b[j + l];
    }
    // Pairwise, in a fixed order.
    for (size_t width = kPartialSums / 2; width >= 1; width /= 2) {
        for (size_t l = 0; l < width; ++l) {
            partial[l] = partial[l] + partial[l + width];
        }
    }
    return partial[0];
}

RerankResults rerank(const RerankInput& input, size_t k) {
    check_input(input);
    RerankResults results;
    results.k = std::max<size_t>(1, std::min(k, input.columns));
    results.scores.assign(input.nq * results.k, -std::numeric_limits<float>::infinity());
    results.candidates.assign(input.nq * results.k, kNoCandidate);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, input.nq), [&](const auto& range) {
        std::vector<Candidate> scored;
        scored.reserve(input.columns);
        for (size_t q = range.begin(); q < range.end(); ++q) {
            rerank_row(input, q, results.k, scored, results.scores.data() + q * results.k,
                       results.candidates.data() + q * results.k);
        }
    });
    return results;
}

}  // namespace quilane
