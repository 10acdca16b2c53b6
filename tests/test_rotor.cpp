#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "reference_data.hpp"
#include "rotation.hpp"
#include "rotor.hpp"

namespace quilane {
namespace {

constexpr uint64_t kSeed = 117900524;

const std::string& stream_reference() {
    static const std::string text = test::read_reference_file("chacha8_seed_117900524.json");
    return text;
}

std::vector<uint64_t> stream_array(const std::string& key) {
    return test::reference_array(stream_reference(), key);
}

// Words taken from the stream so far: blocks generated (the counter) less the unread ones.
uint64_t words_consumed(const ChaChaStream& stream) {
    const uint64_t blocks = (uint64_t{stream.state[13]} << 32) | stream.state[12];
    return blocks * 16 - (stream.buffer.size() - stream.next);
}

std::vector<float> reference_deviates() {
    std::vector<float> deviates;
    for (const uint64_t bits : stream_array("standard_normal_f32_hex")) {
        deviates.push_back(std::bit_cast<float>(static_cast<uint32_t>(bits)));
    }
    return deviates;
}

TEST(Stream, WordsMatchReference) {
    const std::vector<uint64_t> words = stream_array("next_u32");
    ASSERT_EQ(words.size(), 200u);
    ChaChaStream stream = make_stream(kSeed);
    for (size_t i = 0; i < words.size(); ++i) {
        ASSERT_EQ(next_u32(stream), words[i]) << "word " << i;
    }
}

TEST(Stream, WideDrawsMatchReferenceAndTakeLowWordFirst) {
    const std::vector<uint64_t> draws = stream_array("next_u64_hex");
    ASSERT_EQ(draws.size(), 100u);
    ChaChaStream stream = make_stream(kSeed);
    for (size_t i = 0; i < draws.size(); ++i) {
        ASSERT_EQ(next_u64(stream), draws[i]) << "draw " << i;
    }

    // Starting one word in, every 64-bit draw straddles a pair of words, including the ends of
    // ChaCha blocks (every 16 words) and of the four-block buffer (word 63 with word 64).
    const std::vector<uint64_t> words = stream_array("next_u32");
    ChaChaStream odd = make_stream(kSeed);
    next_u32(odd);
    for (size_t i = 1; i + 1 < words.size(); i += 2) {
        ASSERT_EQ(next_u64(odd), (words[i + 1] << 32) | words[i]) << "word " << i;
    }
}

TEST(Stream, UniformFloatsMatchReference) {
    const std::vector<uint64_t> floats = stream_array("uniform_f32_hex");
    ASSERT_EQ(floats.size(), 100u);
    ChaChaStream stream = make_stream(kSeed);
    for (size_t i = 0; i < floats.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(uniform_f32(stream)), floats[i]) << "float " << i;
    }
}

TEST(Stream, DistinctSeedsGiveDistinctStreams) {
    ChaChaStream a = make_stream(kSeed);
    ChaChaStream b = make_stream(kSeed + 1);
    int equal = 0;
    for (int i = 0; i < 64; ++i) {
        equal += next_u32(a) == next_u32(b) ? 1 : 0;
    }
    EXPECT_LT(equal, 2);
}

TEST(Ziggurat, TablesMatchReferenceBitForBit) {
    const std::string text = test::read_reference_file("ziggurat_normal_tables.json");
    const std::vector<uint64_t> x = test::reference_array(text, "X_hex");
    const std::vector<uint64_t> f = test::reference_array(text, "F_hex");
    ASSERT_EQ(x.size(), 257u);
    ASSERT_EQ(f.size(), 257u);
    for (size_t i = 0; i < 257; ++i) {
        EXPECT_EQ(std::bit_cast<uint64_t>(ziggurat_x()[i]), x[i]) << "X[" << i << "]";
        EXPECT_EQ(std::bit_cast<uint64_t>(ziggurat_f()[i]), f[i]) << "F[" << i << "]";
    }
}

TEST(Ziggurat, DeviatesAndWordCountsMatchReference) {
    const std::vector<uint64_t> wide = stream_array("standard_normal_f64_hex");
    const std::vector<uint64_t> narrow = stream_array("standard_normal_f32_hex");
    const std::vector<uint64_t> consumed = stream_array("words_consumed");
    ASSERT_EQ(wide.size(), 400u);
    ASSERT_EQ(narrow.size(), 400u);
    ASSERT_EQ(consumed.size(), 400u);

    ChaChaStream stream = make_stream(kSeed);
    for (size_t i = 0; i < wide.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint64_t>(gauss_f64(stream)), wide[i]) << "deviate " << i;
        ASSERT_EQ(words_consumed(stream), consumed[i]) << "deviate " << i;
    }
    ChaChaStream single = make_stream(kSeed);
    for (size_t i = 0; i < narrow.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(gauss(single)), narrow[i]) << "deviate " << i;
    }
}

// The reference covers the common path and two rejections but never the tail beyond R; a long
// run checks that every path yields the right distribution.
TEST(Ziggurat, LongRunFollowsTheStandardNormal) {
    ChaChaStream stream = make_stream(kSeed);
    const int count = 400000;
    double sum = 0.0;
    double squares = 0.0;
    int beyond_one = 0;
    int beyond_r = 0;
    const double r = ziggurat_x()[1];
    for (int i = 0; i < count; ++i) {
        const double g = gauss_f64(stream);
        ASSERT_TRUE(std::isfinite(g));
        sum += g;
        squares += g * g;
        beyond_one += std::fabs(g) > 1.0 ? 1 : 0;
        beyond_r += std::fabs(g) > r ? 1 : 0;
    }
    EXPECT_NEAR(sum / count, 0.0, 0.01);
    EXPECT_NEAR(squares / count, 1.0, 0.01);
    EXPECT_NEAR(static_cast<double>(beyond_one) / count, 0.3173, 0.004);
    // 2 * (1 - Phi(R)) = 2.58e-4, about 103 of 400000.
    EXPECT_GT(beyond_r, 60);
    EXPECT_LT(beyond_r, 150);
}

TEST(Stream, UniformDoublesStayInTheirRanges) {
    ChaChaStream stream = make_stream(kSeed);
    for (int i = 0; i < 10000; ++i) {
        const double closed = uniform_f64(stream);
        const double open = open_uniform_f64(stream);
        ASSERT_GE(closed, 0.0);
        ASSERT_LT(closed, 1.0);
        ASSERT_GT(open, 0.0);
        ASSERT_LT(open, 1.0);
    }
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
