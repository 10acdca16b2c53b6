#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "codebook.hpp"
#include "encode.hpp"
#include "error.hpp"
#include "lib.hpp"
#include "pack.hpp"
#include "test_support.hpp"

namespace quilane {
namespace {

using test::random_floats;
using test::runnable_isas;

// Identity 2 x 2 blocks: encoding reduces to normalise, quantise, pack.
struct IdentityTransform {
    std::vector<float> matrices;
    Transform transform;
    explicit IdentityTransform(size_t dim) {
        matrices.assign(dim * 2, 0.0f);
        for (size_t b = 0; b < dim / 2; ++b) {
            matrices[4 * b] = matrices[4 * b + 3] = 1.0f;
        }
        transform = Transform{{}, false, matrices, 2, dim};
    }
};

std::vector<uint8_t> codes_of(const Encoded& e, size_t i, size_t dim, size_t bits) {
    std::vector<uint8_t> codes(dim);
    unpack_record(e.codes.data() + i * record_bytes(bits, dim), dim, bits, codes.data());
    return codes;
}

TEST(Encode, QuantisesByBoundariesStrictlyExceeded) {
    const IdentityTransform id(8);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> vectors = {0.5f,   -0.5f,  0.5f, -0.5f, 0, 0, 0, 0,  // norm 1
                                        nan,    1,      0,    0,     0, 0, 0, 0,  // NaN norm
                                        0,      0,      0,    0,     0, 0, 0, 0,
                                        1e-12f, 1e-12f, 0,    0,     0, 0, 0, 0};
    const std::vector<float> on_boundaries = {-0.5f, 0.0f, 0.5f};
    const Encoded e = encode(vectors, 4, 8, id.transform, on_boundaries, 2);
    EXPECT_EQ(codes_of(e, 0, 8, 2), (std::vector<uint8_t>{2, 0, 2, 0, 1, 1, 1, 1}));
    // NaN takes code 0 and spreads to its block partner; the rest is the zero direction.
    EXPECT_EQ(codes_of(e, 1, 8, 2), (std::vector<uint8_t>{0, 0, 1, 1, 1, 1, 1, 1}));
    EXPECT_TRUE(std::isnan(e.norms[1]));
    EXPECT_EQ(codes_of(e, 2, 8, 2), std::vector<uint8_t>(8, 1));
    EXPECT_EQ(e.norms[2], 0.0f);
    EXPECT_EQ(codes_of(e, 3, 8, 2), std::vector<uint8_t>(8, 1));  // tiny: zero direction...
    EXPECT_FLOAT_EQ(e.norms[3], std::sqrt(2e-24f));               // ...but its norm is kept

    const std::vector<float> between = {-0.6f, 0.0f, 0.4f};
    const Encoded top = encode(std::span(vectors).first(8), 1, 8, id.transform, between, 2);
    EXPECT_EQ(codes_of(top, 0, 8, 2), (std::vector<uint8_t>{3, 1, 3, 1, 1, 1, 1, 1}));
}

TEST(Encode, NormIsSummedSequentiallyInSinglePrecision) {
    std::vector<float> v(64, 1.0f);
    v[0] = 1e4f;  // 1e8 + 1 rounds back to 1e8 at every step; a wider sum would give 1e8 + 63
    const IdentityTransform id(64);
    EXPECT_EQ(encode(v, 1, 64, id.transform, std::vector<float>{-0.1f, 0, 0.1f}, 2).norms[0], 1e4f);
}

// Scaling by a power of two is exact, so the codes must not move, also where the squares
// overflow single precision and where the norm itself does.
TEST(Encode, PowerOfTwoScalingKeepsCodesAndScalesNorm) {
    const IdentityTransform id(16);
    const std::vector<float> boundaries = {-0.3f, -0.1f, 0.0f, 0.05f, 0.1f, 0.2f, 0.3f};
    // Coordinates below 1 in magnitude: scaled by 2^127 they stay finite, their squares and
    // the norm do not.
    std::vector<float> y(16);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    for (float& c : y) {
        c = coordinate(rng);
    }
    const Encoded base = encode(y, 1, 16, id.transform, boundaries, 3);
    for (const int exponent : {3, 70, 127}) {
        std::vector<float> x(y);
        for (float& c : x) {
            c = std::ldexp(c, exponent);
        }
        const Encoded scaled = encode(x, 1, 16, id.transform, boundaries, 3);
        EXPECT_EQ(scaled.codes, base.codes) << exponent;
        EXPECT_EQ(scaled.norms[0], std::ldexp(base.norms[0], exponent)) << exponent;
    }
}

// The batch spans several groups of 16 and ends in a partial one; the reference encodes it whole.
TEST(Add, OneAtATimeEqualsOneBatchForEveryKindAndWidth) {
    const size_t dim = 64;
    const size_t n = 53;
    std::vector<float> vectors = random_floats(n * dim, 21);
    std::fill_n(vectors.begin() + 4 * dim, dim, 0.0f);  // a zero vector at position 4
    for (uint8_t tag = 0; tag < kRotationCount; ++tag) {
        for (uint64_t bits = 2; bits <= 4; ++bits) {
            GyrelIndex batch(dim, bits, Rotation(tag), 117900524);
            GyrelIndex single(dim, bits, Rotation(tag), 117900524);
            batch.add(vectors);
            for (size_t i = 0; i < n; ++i) {
                single.add(std::span(vectors).subspan(i * dim, dim));
            }
            ASSERT_EQ(batch.len(), n);
            EXPECT_TRUE(batch.records() == single.records());
            EXPECT_TRUE(std::ranges::equal(batch.norms(), single.norms()));

            const Codebook& book = cached_codebook(static_cast<uint32_t>(bits), dim);
            const Encoded expected =
                encode_reference(vectors, n, dim, batch.transform(), book.boundaries, bits);
            EXPECT_TRUE(batch.records() == expected.codes);
            EXPECT_TRUE(std::ranges::equal(batch.norms(), expected.norms));

            const auto below_zero =
                std::ranges::count_if(book.boundaries, [](float b) { return b < 0.0f; });
            EXPECT_EQ(codes_of(expected, 4, dim, bits),
                      std::vector<uint8_t>(dim, static_cast<uint8_t>(below_zero)));
            EXPECT_EQ(expected.norms[4], 0.0f);
        }
    }
}

// Every path against the reference, byte for byte and norm by bit pattern, for every kind and
// width, at a block boundary and in the middle of one, over full groups of 16 and a partial
// rest. The batch holds a zero vector, -0.0, NaN, infinity and a finite vector whose squares
// overflow.
TEST(EncodePaths, EveryPathMatchesTheReference) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    for (const size_t dim : {8, 24, 128, 1024}) {
        const size_t n = dim == 1024 ? 37 : 53;
        std::vector<float> vectors = random_floats(n * dim, 31);
        std::fill_n(vectors.begin() + 4 * dim, dim, 0.0f);
        std::fill_n(vectors.begin() + 5 * dim, dim, -0.0f);
        vectors[9 * dim + 1] = std::numeric_limits<float>::quiet_NaN();
        vectors[17 * dim] = kInf;
        vectors[18 * dim + dim - 1] = -kInf;
        for (size_t j = 0; j < dim; ++j) {
            vectors[20 * dim + j] *= 3e19f;
        }
        for (uint8_t tag = 0; tag < kRotationCount; ++tag) {
            if (Rotation(tag) == Rotation::WalshRotor3 && !std::has_single_bit(dim)) {
                continue;
            }
            for (uint64_t bits = 2; bits <= 4; ++bits) {
                GyrelIndex index(dim, bits, Rotation(tag), 117900524);
                const Transform t = index.transform();
                const Codebook& book = cached_codebook(static_cast<uint32_t>(bits), dim);
                const Encoded want = encode_reference(vectors, n, dim, t, book.boundaries, bits);
                for (const size_t first : {size_t{0}, size_t{5}}) {
                    std::vector<uint8_t> expected(block_store_bytes(bits, dim, first + n), 0);
                    records_to_blocks(want.codes.data(), n, dim, bits, expected.data(), first);
                    for (const Isa path : runnable_isas()) {
                        SCOPED_TRACE(testing::Message()
                                     << "dim " << dim << " kind " << int(tag) << " bits " << bits
                                     << " first " << first << " path " << int(path));
                        std::vector<uint8_t> store(expected.size(), 0);
                        std::vector<float> norms(n);
                        encode_into_blocks_on_isa(path, vectors, n, dim, t, book.boundaries, bits,
                                                  store, first, norms);
                        ASSERT_EQ(store, expected);
                        for (size_t i = 0; i < n; ++i) {
                            ASSERT_EQ(std::bit_cast<uint32_t>(norms[i]),
                                      std::bit_cast<uint32_t>(want.norms[i]))
                                << i;
                        }
                    }
                }
            }
        }
    }
}

// Coordinates exactly on boundaries, a NaN, a zero and a tiny vector, 16 at a time so that
// every path encodes them as a full group.
TEST(EncodePaths, BoundariesAndSpecialNormsOnEveryPath) {
    const IdentityTransform id(8);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> four = {0.5f, -0.5f, 0.5f,   -0.5f,  0, 0, 0, 0, nan, 1, 0,
                                     0,    0,     0,      0,      0, 0, 0, 0, 0,   0, 0,
                                     0,    0,     1e-12f, 1e-12f, 0, 0, 0, 0, 0,   0};
    std::vector<float> vectors;
    for (int copy = 0; copy < 4; ++copy) {
        vectors.insert(vectors.end(), four.begin(), four.end());
    }
    const std::vector<float> on_boundaries = {-0.5f, 0.0f, 0.5f};
    const Encoded want = encode_reference(vectors, 16, 8, id.transform, on_boundaries, 2);
    std::vector<uint8_t> expected(block_bytes(2, 8), 0);
    records_to_blocks(want.codes.data(), 16, 8, 2, expected.data(), 0);
    for (const Isa path : runnable_isas()) {
        std::vector<uint8_t> store(expected.size(), 0);
        std::vector<float> norms(16);
        encode_into_blocks_on_isa(path, vectors, 16, 8, id.transform, on_boundaries, 2, store, 0,
                                  norms);
        EXPECT_EQ(store, expected) << int(path);
        EXPECT_EQ(norms[6], 0.0f);
        EXPECT_TRUE(std::isnan(norms[5]));
        EXPECT_EQ(norms[7], want.norms[7]);
    }
    // Boundaries out of order or NaN still count the boundaries exceeded, on every path.
    for (const std::vector<float>& odd :
         {std::vector<float>{0.5f, -0.5f, 0.0f}, std::vector<float>{-0.5f, nan, 0.5f}}) {
        const Encoded plain = encode_reference(vectors, 16, 8, id.transform, odd, 2);
        records_to_blocks(plain.codes.data(), 16, 8, 2, expected.data(), 0);
        for (const Isa path : runnable_isas()) {
            std::vector<uint8_t> store(expected.size(), 0);
            std::vector<float> norms(16);
            encode_into_blocks_on_isa(path, vectors, 16, 8, id.transform, odd, 2, store, 0, norms);
            EXPECT_EQ(store, expected) << int(path);
        }
    }
}

// Lanes of other vectors in the blocks a batch lands in are left as they were.
TEST(EncodePaths, NeighbouringLanesAreKept) {
    const size_t dim = 16;
    const size_t bits = 3;
    GyrelIndex index(dim, bits, Rotation::Iso4, 3);
    const Transform t = index.transform();
    const Codebook& book = cached_codebook(bits, dim);
    const std::vector<float> vectors = random_floats(20 * dim, 32);
    for (const Isa path : runnable_isas()) {
        std::vector<uint8_t> store(block_store_bytes(bits, dim, 48), 0xA5);
        std::vector<float> norms(20);
        encode_into_blocks_on_isa(path, vectors, 20, dim, t, book.boundaries, bits, store, 7,
                                  norms);
        std::vector<uint8_t> records(48 * record_bytes(bits, dim));
        blocks_to_records(store.data(), 0, 48, dim, bits, records.data());
        std::vector<uint8_t> filled(record_bytes(bits, dim), 0);
        blocks_to_records(std::vector<uint8_t>(block_bytes(bits, dim), 0xA5).data(), 0, 1, dim,
                          bits, filled.data());
        for (const size_t untouched : {0, 6, 27, 47}) {
            EXPECT_TRUE(std::equal(filled.begin(), filled.end(),
                                   records.begin() + untouched * filled.size()))
                << untouched;
        }
    }
}

TEST(Add, FailedOrEmptyAddLeavesTheRecordAlone) {
    GyrelIndex index(8, 2, Rotation::Rotor3, 1);
    index.add(std::vector<float>{});
    EXPECT_FALSE(index.block_matrices_built() || index.sign_vector_built() ||
                 index.centroids_built());
    index.add(random_floats(16, 5));
    const std::vector<uint8_t> codes = index.records();
    try {
        index.add(random_floats(10, 6));
        FAIL() << "add accepted 10 floats at dim 8";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(),
                     "assertion `left == right` failed: vectors length not a multiple of dim\n"
                     "  left: 10\n right: 8");
    }
    EXPECT_EQ(index.len(), 2u);
    EXPECT_EQ(index.norms().size(), 2u);
    EXPECT_EQ(index.records(), codes);
}

}  // namespace
}  // namespace quilane
