// The candidates of one query during a search or a re-ranking, and the one order every ranking
// of this engine uses.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quilane {

struct Candidate {
    float score;
    uint64_t position;
};

// The one order of every ranking: higher score first, NaN below every number (also below -inf),
// and among equal scores the lower position first. Positions are distinct, so this is a strict
// total order: sorts are deterministic, and the k best of a scan do not depend on how the stored
// vectors were visited or split.
inline bool ranks_above(const Candidate& a, const Candidate& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) {
        return b_nan;
    }
    if (!a_nan && a.score != b.score) {
        return a.score > b.score;
    }
    return a.position < b.position;
}

inline bool ranks_below(const Candidate& a, const Candidate& b) {
    return ranks_above(b, a);
}

// The best k candidates of one query. Once full it is kept worst first, so that a candidate that
// does not belong costs one comparison.
struct CandidateBuffer {
    std::vector<Candidate> items;
    size_t k = 0;
};

void reset(CandidateBuffer& buffer, size_t k);

// Candidates may arrive in any order: the order is total, so the buffer ends with the same k
// best whatever the order. Once full, a candidate enters only if it ranks above the worst.
void offer(CandidateBuffer& buffer, Candidate candidate);

// Writes the buffer best first into one row of the outputs, every NaN score as the quiet NaN.
void write_best_first(CandidateBuffer& buffer, float* scores, int64_t* positions);

}  // namespace quilane
