// The transform: block matrices drawn from the stream, the block rotation and the Walsh-Hadamard
// stage.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "random_stream.hpp"
#include "reference_data.hpp"
#include "rotation.hpp"
#include "transform.hpp"

namespace quilane {
namespace {

using test::reference_deviates;
using test::stream_array;

constexpr uint64_t kSeed = 117900524;

std::vector<float> random_row(size_t length, uint64_t seed) {
    ChaChaStream stream = make_stream(seed);
    std::vector<float> row(length);
    for (float& v : row) {
        v = gauss(stream);
    }
    return row;
}

using Block = std::vector<float>;

Block block_of(const BlockMatrices& set, size_t k, size_t b) {
    return Block(set.matrices.begin() + b * k * k, set.matrices.begin() + (b + 1) * k * k);
}

Block identity(size_t k) {
    Block m(k * k, 0.0f);
    for (size_t i = 0; i < k; ++i) {
        m[i * k + i] = 1.0f;
    }
    return m;
}

void expect_orthogonal(const Block& m, size_t k) {
    for (size_t r = 0; r < k; ++r) {
        for (size_t s = 0; s < k; ++s) {
            double dot = 0.0;
            for (size_t c = 0; c < k; ++c) {
                dot += static_cast<double>(m[r * k + c]) * m[s * k + c];
            }
            EXPECT_NEAR(dot, r == s ? 1.0 : 0.0, 1e-6);
        }
    }
}

double determinant3(const Block& m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
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

TEST(BlockMatrices, Planar2TakesOneWordPerBlock) {
    const std::vector<uint64_t> words = stream_array("next_u32");
    const BlockMatrices set = precompute_block_matrices(8, Rotation::Planar2, kSeed);
    ASSERT_EQ(set.blocks, 4u);
    ASSERT_EQ(set.padded_dim, 8u);
    ASSERT_EQ(set.matrices.size(), 16u);
    for (size_t b = 0; b < 4; ++b) {
        const float theta = static_cast<float>(words[b] >> 8) * 0x1p-24f * 6.2831855f;
        const float s = std::sin(theta);
        const float c = std::cos(theta);
        EXPECT_EQ(block_of(set, 2, b), (Block{c, -s, s, c})) << "block " << b;
    }
}

TEST(BlockMatrices, Iso4TakesFourDeviatesPerBlock) {
    const std::vector<float> g = reference_deviates();
    const BlockMatrices set = precompute_block_matrices(8, Rotation::Iso4, kSeed);
    ASSERT_EQ(set.blocks, 2u);
    ASSERT_EQ(set.padded_dim, 8u);
    for (size_t b = 0; b < 2; ++b) {
        const float* q = g.data() + 4 * b;
        const float n = std::sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3]);
        const float a = q[0] / n, bb = q[1] / n, c = q[2] / n, d = q[3] / n;
        const Block expected = {a, -bb, -c, -d, bb, a, -d, c, c, d, a, -bb, d, -c, bb, a};
        EXPECT_EQ(block_of(set, 4, b), expected) << "block " << b;
        expect_orthogonal(block_of(set, 4, b), 4);
    }
}

// Rotor blocks against the rotation written out in double precision from the same deviates.
TEST(BlockMatrices, Rotor3DrawsEightDeviatesForDimEight) {
    const std::vector<float> g = reference_deviates();
    const BlockMatrices set = precompute_block_matrices(8, Rotation::Rotor3, kSeed);
    ASSERT_EQ(set.blocks, 3u);
    ASSERT_EQ(set.padded_dim, 9u);
    ASSERT_EQ(set.matrices.size(), 27u);
    for (size_t b = 0; b < 2; ++b) {
        const float* q = g.data() + 4 * b;
        const double n = std::sqrt(double{q[0]} * q[0] + double{q[1]} * q[1] + double{q[2]} * q[2] +
                                   double{q[3]} * q[3]);
        const double w = q[0] / n, x = q[1] / n, y = q[2] / n, z = q[3] / n;
        const double expected[9] = {w * w + z * z - x * x - y * y, 2 * (w * x - y * z),
                                    2 * (w * y + x * z),           -2 * (w * x + y * z),
                                    w * w + y * y - x * x - z * z, 2 * (z * w - x * y),
                                    2 * (x * z - w * y),           -2 * (x * y + z * w),
                                    w * w + x * x - y * y - z * z};
        const Block m = block_of(set, 3, b);
        for (size_t i = 0; i < 9; ++i) {
            EXPECT_NEAR(m[i], expected[i], 1e-6) << "block " << b << " entry " << i;
        }
        expect_orthogonal(m, 3);
        EXPECT_NEAR(determinant3(m), 1.0, 1e-5);
    }
    EXPECT_EQ(block_of(set, 3, 2), identity(3));

    // The identity block draws nothing: a dim of 6 has the same two random blocks, and a dim of
    // 9 takes its third block from deviates 8 to 11.
    const BlockMatrices six = precompute_block_matrices(6, Rotation::Rotor3, kSeed);
    const BlockMatrices nine = precompute_block_matrices(9, Rotation::Rotor3, kSeed);
    EXPECT_EQ(six.matrices, Block(set.matrices.begin(), set.matrices.begin() + 18));
    EXPECT_EQ(Block(nine.matrices.begin(), nine.matrices.begin() + 18), six.matrices);
    EXPECT_NE(block_of(nine, 3, 2), identity(3));
}

uint64_t fingerprint(const std::vector<float>& values) {
    uint64_t hash = 1469598103934665603ULL;
    for (const float value : values) {
        const auto bits = std::bit_cast<uint32_t>(value);
        for (int byte = 0; byte < 4; ++byte) {
            hash = (hash ^ ((bits >> (8 * byte)) & 0xFF)) * 1099511628211ULL;
        }
    }
    return hash;
}

// Regenerating a stored index depends on these exact values; a change here breaks old files.
TEST(BlockMatrices, MatricesArePinned) {
    const BlockMatrices set = precompute_block_matrices(8, Rotation::Rotor3, kSeed);
    const std::vector<uint32_t> first_block = {0xbf056a72, 0x3f14528e, 0xbf206d30,
                                               0xbf463d5a, 0xbf21343c, 0x3d7d2314,
                                               0xbeb7b591, 0x3f0479ad, 0x3f46de8f};
    for (size_t i = 0; i < first_block.size(); ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(set.matrices[i]), first_block[i]) << "entry " << i;
    }
    const uint64_t whole_sets[4] = {0xdf467dee9fe445fb, 0x23d87b043b3fb0f1, 0x98956c0f8a35c60b,
                                    0x23d87b043b3fb0f1};
    for (uint8_t tag = 0; tag < 4; ++tag) {
        const auto kind = static_cast<Rotation>(tag);
        EXPECT_EQ(fingerprint(precompute_block_matrices(1024, kind, kSeed).matrices),
                  whole_sets[tag])
            << rotation_name(kind);
    }
}

TEST(BlockMatrices, EveryKindIsDeterministicAndOrthogonal) {
    for (const Rotation kind :
         {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4, Rotation::WalshRotor3}) {
        const size_t k = block_size(kind);
        const BlockMatrices a = precompute_block_matrices(256, kind, 42);
        const BlockMatrices b = precompute_block_matrices(256, kind, 42);
        EXPECT_EQ(a.matrices, b.matrices);
        EXPECT_EQ(a.padded_dim, a.blocks * k);
        EXPECT_GE(a.padded_dim, 256u);
        EXPECT_LT(a.padded_dim, 256u + k);
        EXPECT_NE(a.matrices, precompute_block_matrices(256, kind, 43).matrices);
        for (size_t blk = 0; blk < 256 / k; ++blk) {
            expect_orthogonal(block_of(a, k, blk), k);
        }
    }
    EXPECT_EQ(precompute_block_matrices(64, Rotation::Rotor3, 7).matrices,
              precompute_block_matrices(64, Rotation::WalshRotor3, 7).matrices);
}

TEST(BlockMatrices, ZeroDimGivesAnEmptySet) {
    const BlockMatrices set = precompute_block_matrices(0, Rotation::Iso4, kSeed);
    EXPECT_EQ(set.blocks, 0u);
    EXPECT_EQ(set.padded_dim, 0u);
    EXPECT_TRUE(set.matrices.empty());
}

TEST(RotateInplace, MultipliesWholeBlocksAndLeavesTheRestAlone) {
    // Quarter turn on the first pair; the odd trailing entry is not part of any block.
    const std::vector<float> quarter = {0.0f, -1.0f, 1.0f, 0.0f};
    std::vector<float> x = {1.0f, 2.0f, 3.0f};
    rotate_inplace(quarter, 2, x);
    EXPECT_EQ(x, (std::vector<float>{-2.0f, 1.0f, 3.0f}));

    // More rows than matrices: only as many blocks as there are matrices.
    std::vector<float> y = {1.0f, 2.0f, 3.0f, 4.0f};
    rotate_inplace(quarter, 2, y);
    EXPECT_EQ(y, (std::vector<float>{-2.0f, 1.0f, 3.0f, 4.0f}));

    std::vector<float> untouched = {5.0f, 6.0f};
    rotate_inplace({}, 2, untouched);
    EXPECT_EQ(untouched, (std::vector<float>{5.0f, 6.0f}));
    rotate_inplace(quarter, 2, std::span<float>{});
}

TEST(RotateInplace, Dim8Rotor3KeepsTrailingCoordinatesAndNorm) {
    const BlockMatrices set = precompute_block_matrices(8, Rotation::Rotor3, kSeed);
    std::vector<float> row = {0.5f, -1.0f, 2.0f, 0.25f, 3.0f, -0.75f, 7.0f, -9.0f, 0.0f};
    const std::vector<float> before = row;
    rotate_inplace(set.matrices, 3, row);
    EXPECT_EQ(row[6], 7.0f);
    EXPECT_EQ(row[7], -9.0f);
    EXPECT_EQ(row[8], 0.0f);
    for (size_t b = 0; b < 2; ++b) {
        double norm_before = 0.0;
        double norm_after = 0.0;
        for (size_t i = 3 * b; i < 3 * b + 3; ++i) {
            norm_before += double{before[i]} * before[i];
            norm_after += double{row[i]} * row[i];
        }
        EXPECT_NEAR(norm_after, norm_before, 1e-5 * norm_before);
    }
}

TEST(RotateInplace, RefusesBlockSizesOutsideOneToFour) {
    std::vector<float> x(8, 1.0f);
    const std::vector<float> m(64, 1.0f);
    for (const size_t k : {size_t{0}, size_t{5}}) {
        try {
            rotate_inplace(m, k, x);
            ADD_FAILURE() << "k = " << k << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("internal error: ", 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(x, std::vector<float>(8, 1.0f));
}

TEST(Rotation, KindTable) {
    EXPECT_EQ(block_size(Rotation::Planar2), 2u);
    EXPECT_EQ(block_size(Rotation::Rotor3), 3u);
    EXPECT_EQ(block_size(Rotation::Iso4), 4u);
    EXPECT_EQ(block_size(Rotation::WalshRotor3), 3u);
    EXPECT_EQ(rotation_name(Rotation::Planar2), "planar2");
    EXPECT_EQ(rotation_name(Rotation::Rotor3), "rotor3");
    EXPECT_EQ(rotation_name(Rotation::Iso4), "iso4");
    EXPECT_EQ(rotation_name(Rotation::WalshRotor3), "walshrotor3");
    for (uint8_t tag = 0; tag < 4; ++tag) {
        EXPECT_EQ(rotation_from_tag(tag), static_cast<Rotation>(tag));
    }
    EXPECT_FALSE(rotation_from_tag(4).has_value());
    EXPECT_FALSE(rotation_from_tag(255).has_value());
    EXPECT_THROW(block_size(static_cast<Rotation>(9)), Error);
}

}  // namespace
}  // namespace quilane
