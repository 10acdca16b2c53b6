#include "candidates.hpp"

#include <algorithm>
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
        scores[r] = buffer.items[r].score;
        positions[r] = static_cast<int64_t>(buffer.items[r].position);
    }
}

}  // namespace quilane
