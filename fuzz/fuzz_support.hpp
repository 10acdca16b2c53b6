// What the harnesses share: taking typed values from the fuzzer's bytes, the reference search as
// the oracle for an index, and the checks every search result must pass.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <vector>

#include "lib.hpp"
#include "search.hpp"

namespace quilane::fuzz {

// A failed property is a finding: stop so that the fuzzer saves the input.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

// Reads values from the input front to back; once it is used up every value is 0.
struct Input {
    std::span<const uint8_t> bytes;

    bool empty() const { return bytes.empty(); }
    uint8_t u8() {
        if (bytes.empty()) {
            return 0;
        }
        const uint8_t value = bytes[0];
        bytes = bytes.subspan(1);
        return value;
    }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<uint32_t>(u8()) << (8 * i);
        }
        return value;
    }
    uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
    // Any bit pattern, NaNs and infinities included.
    float raw_float() { return std::bit_cast<float>(u32()); }
    // Small multiples of 1/16, so that most vectors are ordinary ones.
    float small_float() { return static_cast<float>(static_cast<int8_t>(u8())) / 16.0f; }
    // A count in [0, limit].
    size_t count(size_t limit) { return u8() % (limit + 1); }
    std::vector<float> floats(size_t count, bool raw) {
        std::vector<float> values(count);
        for (float& value : values) {
            value = raw ? raw_float() : small_float();
        }
        return values;
    }
};

inline constexpr uint64_t kDims[] = {8, 24, 32};

// One of the dims above that the kind accepts (walshrotor3 only takes powers of two).
inline uint64_t pick_dim(Input& input, Rotation kind) {
    uint64_t dim = kDims[input.u8() % std::size(kDims)];
    if (kind == Rotation::WalshRotor3 && !std::has_single_bit(dim)) {
        dim = 32;
    }
    return dim;
}

// The parameters of an index, drawn in the order every harness's corpus was made with.
struct Shape {
    Rotation kind;
    uint64_t bits;
    uint64_t dim;
};

inline Shape pick_shape(Input& input) {
    const Rotation kind = static_cast<Rotation>(input.u8() % kRotationCount);
    const uint64_t bits = 2 + input.u8() % 3;
    return {kind, bits, pick_dim(input, kind)};
}

// What index.search(queries, k) must return, computed by the plain sequential scan over
// the given records and norms (n of each): the effective k is min(n, k) but at least 1, and an
// empty index answers -inf at position -1.
inline SearchResults reference_search(GyrelIndex& index, std::span<const uint8_t> records,
                                      std::span<const float> norms, std::span<const float> queries,
                                      uint64_t k) {
    const uint64_t n = norms.size();
    const uint64_t nq = queries.size() / index.dim();
    const uint64_t effective_k = std::max<uint64_t>(1, std::min(n, k));
    SearchResults want;
    if (n == 0) {
        want.scores.assign(nq * effective_k, -std::numeric_limits<float>::infinity());
        want.positions.assign(nq * effective_k, -1);
    } else {
        const ScanInput input{records, index.centroids(), norms, index.dim(), index.bits(), n, {}};
        want = search_reference(queries, nq, index.transform(), input, effective_k);
    }
    want.nq = nq;
    want.k = effective_k;
    return want;
}

// Floats compared by bit pattern, so that the sign of zero counts too; any NaN equals any other,
// since which operand's payload an addition passes on is the compiler's choice of operand order.
inline bool same_bits(std::span<const float> a, std::span<const float> b) {
    return std::ranges::equal(a, b, [](float x, float y) {
        return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y) ||
               (std::isnan(x) && std::isnan(y));
    });
}

inline bool identical(const SearchResults& a, const SearchResults& b) {
    return a.nq == b.nq && a.k == b.k && a.positions == b.positions &&
           same_bits(a.scores, b.scores);
}

// Ranks as the scan does: higher score first, equal scores by position, NaN last.
inline bool ranks_before(float score_a, int64_t pos_a, float score_b, int64_t pos_b) {
    if (std::isnan(score_a) || std::isnan(score_b)) {
        return !std::isnan(score_a) || (std::isnan(score_b) && pos_a < pos_b);
    }
    return score_a > score_b || (score_a == score_b && pos_a < pos_b);
}

// Every row holds k distinct positions of the n stored vectors, best first; an empty index has
// the single placeholder.
inline void require_well_formed(const SearchResults& results, uint64_t n) {
    require(results.scores.size() == results.nq * results.k, "scores are nq x k");
    require(results.positions.size() == results.nq * results.k, "positions are nq x k");
    for (uint64_t row = 0; row < results.nq; ++row) {
        const float* scores = &results.scores[row * results.k];
        const int64_t* positions = &results.positions[row * results.k];
        for (uint64_t j = 0; j < results.k; ++j) {
            if (n == 0) {
                require(positions[j] == -1 && scores[j] == -INFINITY, "empty-index placeholder");
                continue;
            }
            require(positions[j] >= 0 && static_cast<uint64_t>(positions[j]) < n,
                    "position in range");
            if (j > 0) {
                require(ranks_before(scores[j - 1], positions[j - 1], scores[j], positions[j]),
                        "row ordered best first, without repeats");
            }
        }
    }
}

}  // namespace quilane::fuzz
