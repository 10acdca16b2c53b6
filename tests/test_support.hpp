// What several engine test files share: NaN and infinity, seeded random data, the transform of an
// index, and the bit-for-bit comparison of two search results.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "isa.hpp"
#include "lib.hpp"
#include "search.hpp"

namespace quilane::test {

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

// The message of the Error a call throws, or "no error".
inline std::string error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

// Every instruction set this processor runs, the plainest first.
inline std::vector<Isa> runnable_isas() {
    std::vector<Isa> isas;
    for (const Isa isa : kAllIsas) {
        if (isa_supported(isa)) {
            isas.push_back(isa);
        }
    }
    return isas;
}

// count standard normal floats from a seeded generator.
inline std::vector<float> random_floats(size_t count, uint32_t seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<float> normal;
    std::vector<float> values(count);
    for (float& value : values) {
        value = normal(engine);
    }
    return values;
}

// Same shape, positions and scores, the scores by bit pattern so that NaN payloads and the sign
// of zero count too. Use as ASSERT_TRUE(identical(got, want)).
inline testing::AssertionResult identical(const SearchResults& got, const SearchResults& want) {
    if (got.nq != want.nq || got.k != want.k) {
        return testing::AssertionFailure()
               << "shape " << got.nq << " x " << got.k << ", wanted " << want.nq << " x " << want.k;
    }
    if (got.positions.size() != want.positions.size() || got.scores.size() != want.scores.size()) {
        return testing::AssertionFailure() << "result sizes differ";
    }
    for (size_t e = 0; e < got.positions.size(); ++e) {
        const uint32_t got_bits = std::bit_cast<uint32_t>(got.scores[e]);
        const uint32_t want_bits = std::bit_cast<uint32_t>(want.scores[e]);
        if (got.positions[e] != want.positions[e] || got_bits != want_bits) {
            return testing::AssertionFailure()
                   << "entry " << e << " (query " << e / got.k << "): position " << got.positions[e]
                   << " score " << got.scores[e] << ", wanted position " << want.positions[e]
                   << " score " << want.scores[e];
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace quilane::test
