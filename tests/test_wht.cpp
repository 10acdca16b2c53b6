#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "reference_data.hpp"
#include "rotor.hpp"
#include "wht.hpp"

namespace quilane {
namespace {

constexpr uint64_t kSeed = 117900524;

std::vector<float> random_row(size_t length, uint64_t seed) {
    ChaChaStream stream = make_stream(seed);
    std::vector<float> row(length);
    for (float& v : row) {
        v = gauss(stream);
    }
    return row;
}

TEST(Wht, UnitVectorsBecomeHadamardRows) {
    const std::vector<float> plus(8, 1.0f);
    const float c = 1.0f / std::sqrt(8.0f);

    std::vector<float> e0(8, 0.0f);
    e0[0] = 1.0f;
    wht_inplace(e0, plus, 8);
    EXPECT_EQ(e0, std::vector<float>(8, c));

    std::vector<float> e1(8, 0.0f);
    e1[1] = 1.0f;
    wht_inplace(e1, plus, 8);
    EXPECT_EQ(e1, (std::vector<float>{c, -c, c, -c, c, -c, c, -c}));
}

// The stage is (1/sqrt(dim)) H diag(s) with H[r][c] = (-1)^popcount(r & c).
TEST(Wht, MatchesTheScaledSignedHadamardMatrix) {
    const size_t dim = 32;
    const std::vector<float> signs = make_sign_vector(dim, 5);
    const std::vector<float> input = random_row(dim, 6);
    std::vector<float> row = input;
    wht_inplace(row, signs, dim);
    for (size_t r = 0; r < dim; ++r) {
        double expected = 0.0;
        for (size_t c = 0; c < dim; ++c) {
            const double h = std::popcount(r & c) % 2 == 0 ? 1.0 : -1.0;
            expected += h * signs[c] * input[c];
        }
        expected /= std::sqrt(static_cast<double>(dim));
        EXPECT_NEAR(row[r], expected, 1e-5) << "row " << r;
    }
}

TEST(Wht, PreservesTheNorm) {
    for (const size_t dim : {size_t{8}, size_t{1024}, size_t{65536}}) {
        const std::vector<float> signs = make_sign_vector(dim, kSeed + kSignSeedOffset);
        std::vector<float> row = random_row(dim, dim);
        double before = 0.0;
        for (const float v : row) {
            before += double{v} * v;
        }
        wht_inplace(row, signs, dim);
        double after = 0.0;
        for (const float v : row) {
            after += double{v} * v;
        }
        EXPECT_NEAR(after, before, 1e-5 * before) << "dim " << dim;
    }
}

TEST(Wht, LeavesPaddingAlone) {
    const std::vector<float> signs = make_sign_vector(16, 3);
    std::vector<float> row = random_row(18, 4);
    row[16] = 7.5f;
    row[17] = -2.25f;
    wht_inplace(row, signs, 16);
    EXPECT_EQ(row[16], 7.5f);
    EXPECT_EQ(row[17], -2.25f);

    // A sign vector shorter than dim flips only the entries it covers.
    std::vector<float> flipped(8, 1.0f);
    wht_inplace(flipped, std::vector<float>{-1.0f}, 8);
    std::vector<float> expected(8, 0.0f);
    expected[0] = -1.0f;
    for (size_t i = 1; i < 8; ++i) {
        expected[i] = 1.0f;
    }
    wht_inplace(expected, std::vector<float>(8, 1.0f), 8);
    EXPECT_EQ(flipped, expected);
}

TEST(Wht, RefusesSizesItCannotTransform) {
    const std::vector<float> signs(64, 1.0f);
    std::vector<float> row(64, 1.0f);
    const auto expect_internal_error = [&](size_t dim, size_t length) {
        try {
            wht_inplace(std::span<float>(row).first(length), signs, dim);
            ADD_FAILURE() << "dim " << dim << " on a row of " << length << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("internal error: ", 0), 0u) << e.what();
        }
    };
    expect_internal_error(0, 64);
    expect_internal_error(24, 64);
    expect_internal_error(12, 64);
    expect_internal_error(64, 32);
    EXPECT_EQ(row, std::vector<float>(64, 1.0f));
}

TEST(SignVector, TopBitOfEachWordGivesPlusOne) {
    const std::vector<uint64_t> words =
        test::reference_array(test::read_reference_file("chacha8_seed_117900524.json"), "next_u32");
    const std::vector<float> signs = make_sign_vector(words.size(), kSeed);
    ASSERT_EQ(signs.size(), words.size());
    for (size_t j = 0; j < words.size(); ++j) {
        EXPECT_EQ(signs[j], (words[j] >> 31) != 0 ? 1.0f : -1.0f) << "entry " << j;
    }
}

TEST(SignVector, DependsOnlyOnSeedAndIsAPrefixAcrossDims) {
    const std::vector<float> large = make_sign_vector(4096, kSeed);
    const std::vector<float> small = make_sign_vector(64, kSeed);
    EXPECT_EQ(small, std::vector<float>(large.begin(), large.begin() + 64));
    EXPECT_EQ(make_sign_vector(4096, kSeed), large);
    EXPECT_NE(make_sign_vector(64, kSeed + 1), small);
    EXPECT_TRUE(make_sign_vector(0, kSeed).empty());
}

TEST(PowerOfTwo, ZeroIsNotOne) {
    EXPECT_FALSE(is_power_of_two(0));
    EXPECT_TRUE(is_power_of_two(1));
    EXPECT_TRUE(is_power_of_two(8));
    EXPECT_TRUE(is_power_of_two(uint64_t{1} << 63));
    EXPECT_FALSE(is_power_of_two(24));
    EXPECT_FALSE(is_power_of_two(40));
    EXPECT_FALSE(is_power_of_two(~uint64_t{0}));
}

}  // namespace
}  // namespace quilane
