#include "candidates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quilane {

void reset(CandidateBuffer& buffer, size_t k) {
    buffer.items.clear();
    buffer.items.reserve(k);
    buffer.k = k;
}

void offer(CandidateBuffer& buffer, Candidate candidate) {
    std::vector<Candidate>& items = buffer.items;
    if (items.size() < buffer.k) {
        items.push_back(candidate);
        if (items.size() == buffer.k && buffer.k >= 2) {
            std::sort(items.begin(), items.end(), ranks_below);
        }
        return;
    }
    if (!ranks_above(candidate, items.front())) {
        return;
    }
    items.front() = candidate;
    for (size_t i = 0; i + 1 < items.size() && ranks_above(items[i], items[i + 1]); ++i) {
        std::swap(items[i], items[i + 1]);
    }
}

void write_best_first(CandidateBuffer& buffer, float* scores, int64_t* positions) {
    std::sort(buffer.items.begin(), buffer.items.end(), ranks_above);
    for (size_t r = 0; r < buffer.items.size(); ++r) {
        // Where two NaNs meet, the processor passes on one of them, and which one depends on how
        // a kernel orders its operands: every NaN score is reported as the one quiet NaN, so
        // that the bits of a result do not depend on the path or the split of the scan.
        const float score = buffer.items[r].score;
        scores[r] = std::isnan(score) ? std::numeric_limits<float>::quiet_NaN() : score;
        positions[r] = static_cast<int64_t>(buffer.items[r].position);
    }
}

}  // namespace quilane
