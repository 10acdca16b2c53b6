// The seeded random stream and the ziggurat, against the reference data bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"
#include "random_stream.hpp"
#include "reference_data.hpp"

namespace quilane {
namespace {

using test::reference_deviates;
using test::stream_array;

constexpr uint64_t kSeed = 117900524;

// Words taken from the stream so far: blocks generated (the counter) less the unread ones.
uint64_t words_consumed(const ChaChaStream& stream) {
    const uint64_t blocks = (uint64_t{stream.state[13]} << 32) | stream.state[12];
    return blocks * 16 - (stream.buffer.size() - stream.next);
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

}  // namespace
}  // namespace quilane
