#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "error.hpp"
#include "lib.hpp"
#include "pack.hpp"
#include "search.hpp"
#include "test_support.hpp"

namespace quilane {
namespace {

using test::identical;
using test::kInf;
using test::kNaN;
using test::random_floats;

struct Hit {
    float score;
    int64_t position;
};

// Every score recomputed from decoded codes and centroids, ranked without the engine's
// comparator: numbers by descending score with a stable sort (equal scores stay in position
// order), then the NaN scores in position order.
std::vector<Hit> oracle(std::span<const float> t, const ScanInput& in, size_t k) {
    std::vector<Hit> numbers;
    std::vector<Hit> nans;
    std::vector<uint8_t> codes(in.dim);
    for (size_t i = 0; i < in.n; ++i) {
        unpack_record(in.codes.data() + i * record_bytes(in.bits, in.dim), in.dim, in.bits,
                      codes.data());
        float s = 0.0f;
        for (size_t j = 0; j < in.dim; ++j) {
            s = s + t[j] * in.centroids[codes[j]];
        }
        s = s * in.norms[i];
        (std::isnan(s) ? nans : numbers).push_back({s, static_cast<int64_t>(i)});
    }
    std::stable_sort(numbers.begin(), numbers.end(),
                     [](const Hit& a, const Hit& b) { return a.score > b.score; });
    numbers.insert(numbers.end(), nans.begin(), nans.end());
    numbers.resize(k);
    return numbers;
}

std::vector<float> transformed(const Transform& t, std::span<const float> query) {
    std::vector<float> row(t.padded_dim, 0.0f);
    std::ranges::copy(query, row.begin());
    if (t.has_signs) {
        wht_inplace(row, t.signs, query.size());
    }
    rotate_inplace(t.matrices, t.block, row);
    return row;
}

// The oracle's answer in the shape of the engine's, to compare bit for bit; a NaN score is
// reported as the one quiet NaN, whichever NaN the arithmetic passed on.
SearchResults oracle_results(std::span<const float> queries, size_t nq, size_t k,
                             const Transform& t, const ScanInput& in) {
    SearchResults want;
    want.nq = nq;
    want.k = k;
    for (size_t q = 0; q < nq; ++q) {
        const std::vector<float> row = transformed(t, queries.subspan(q * in.dim, in.dim));
        for (const Hit& hit : oracle(row, in, k)) {
            want.scores.push_back(std::isnan(hit.score) ? kNaN : hit.score);
            want.positions.push_back(hit.position);
        }
    }
    return want;
}

// Hand-made records over identity 2 x 2 blocks, scanned by both paths with one all-ones query.
struct Store {
    size_t dim, bits;
    std::vector<uint8_t> codes;
    std::vector<float> norms, centroids;

    std::vector<SearchResults> scan_both(size_t k) const {
        std::vector<float> matrices(dim * 2, 0.0f);
        for (size_t b = 0; b < dim / 2; ++b) {
            matrices[4 * b] = matrices[4 * b + 3] = 1.0f;
        }
        const Transform t{{}, false, matrices, 2, dim};
        const ScanInput in{codes, centroids, norms, dim, bits, norms.size(), {}};
        std::vector<uint8_t> blocks = codes;
        records_to_blocks_in_place(blocks, norms.size(), dim, bits);
        ScanInput scan = in;
        scan.codes = blocks;
        const std::vector<float> ones(dim, 1.0f);
        return {search(ones, 1, t, scan, k), search_reference(ones, 1, t, in, k)};
    }
};

TEST(Scan, WorkedExample) {
    const Store s{8, 2, {0xA1, 0x90}, {2.0f}, {-0.7f, -0.2f, 0.3f, 0.9f}};
    const float* c = s.centroids.data();
    const float expected =
        2.0f * (((((((c[3] + c[0]) + c[1]) + c[2]) + c[0]) + c[0]) + c[0]) + c[1]);
    for (const SearchResults& r : s.scan_both(1)) {
        EXPECT_EQ(r.scores, std::vector<float>{expected});
        EXPECT_EQ(r.positions, std::vector<int64_t>{0});
    }
}

// Higher score first, equal scores by position, NaN last. A later equal score never displaces an
// earlier one, and a number always displaces a buffered NaN (with plain comparisons the NaN at
// the bottom of a full buffer would refuse every later candidate).
TEST(Scan, TiesAndNaNFollowOneTotalOrder) {
    const Store s{8,
                  2,
                  std::vector<uint8_t>(12, 0xFF),  // every code 3: score 4 * norm
                  {kNaN, 2.0f, 1.0f, 2.0f, 3.0f, kNaN},
                  {-0.5f, -0.1f, 0.1f, 0.5f}};
    const std::vector<int64_t> order = {4, 1, 3, 2, 0, 5};
    for (const size_t k : {1, 2, 4, 6}) {
        for (const SearchResults& r : s.scan_both(k)) {
            EXPECT_EQ(r.positions, std::vector<int64_t>(order.begin(), order.begin() + k));
            EXPECT_EQ(r.scores[0], 12.0f);
        }
    }
}

TEST(Scan, RefusesBrokenPreconditions) {
    Store s{8, 2, std::vector<uint8_t>(8, 0), std::vector<float>(4, 1.0f), {-1, 0, 0, 1}};
    EXPECT_THROW(s.scan_both(0), Error);
    EXPECT_THROW(s.scan_both(5), Error);
    s.codes.resize(7);
    EXPECT_THROW(s.scan_both(1), Error);
}

TEST(Search, EveryKindAndWidthMatchesReferenceAndOracle) {
    const size_t dim = 64;
    const size_t n = 37;
    std::vector<float> vectors = random_floats(n * dim, 8);
    std::fill_n(vectors.begin() + 5 * dim, dim, 0.0f);
    for (const size_t copy : {9, 17}) {
        std::copy_n(vectors.begin() + 2 * dim, dim, vectors.begin() + copy * dim);
    }
    vectors[30 * dim + 3] = kNaN;
    vectors[31 * dim + 3] = kInf;
    std::vector<float> queries = random_floats(7 * dim, 9);
    std::fill_n(queries.begin() + 2 * dim, dim, 0.0f);
    queries[5 * dim + 1] = kNaN;
    std::vector<float> doubled(queries);
    for (float& x : doubled) {
        x *= 2.0f;
    }
    for (uint8_t tag = 0; tag < kRotationCount; ++tag) {
        for (uint64_t bits = 2; bits <= 4; ++bits) {
            GyrelIndex index(dim, bits, Rotation(tag), 117900524);
            index.add(vectors);
            const std::vector<uint8_t> records = index.records();
            const ScanInput in{records, index.centroids(), index.norms(), dim, bits, n, {}};
            for (const uint64_t k : {1, 5, 37, 100}) {
                const SearchResults r = index.search(queries, k);
                ASSERT_EQ(r.nq, 7u);
                ASSERT_EQ(r.k, std::min<uint64_t>(k, n));
                const Transform t = index.transform();
                ASSERT_TRUE(identical(r, search_reference(queries, 7, t, in, r.k)));
                ASSERT_TRUE(identical(r, oracle_results(queries, 7, r.k, t, in)));
                {
                    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
                    ASSERT_TRUE(identical(r, index.search(queries, k)));
                }

                const SearchResults twice = index.search(doubled, k);
                EXPECT_EQ(twice.positions, r.positions);
                for (size_t e = 0; e < r.scores.size(); ++e) {
                    ASSERT_EQ(std::bit_cast<uint32_t>(twice.scores[e]),
                              std::bit_cast<uint32_t>(2.0f * r.scores[e]));
                }
            }
        }
    }
}

TEST(Search, TiedCopiesAndTheZeroVector) {
    const std::vector<float> v = random_floats(64, 10);
    std::vector<float> vectors(64, 0.0f);
    for (int copy = 0; copy < 3; ++copy) {
        vectors.insert(vectors.end(), v.begin(), v.end());
    }
    GyrelIndex index(64, 3, Rotation::Rotor3, 117900524);
    index.add(vectors);
    const SearchResults best = index.search(v, 1);
    EXPECT_EQ(best.positions, std::vector<int64_t>{1});
    const SearchResults all = index.search(v, 4);
    EXPECT_EQ(all.positions, (std::vector<int64_t>{1, 2, 3, 0}));
    EXPECT_EQ(all.scores[0], all.scores[2]);
    EXPECT_GT(all.scores[0], 0.0f);
    EXPECT_EQ(all.scores[3], 0.0f);
}

TEST(Search, EmptyIndexZeroKZeroRowsAndBadLength) {
    GyrelIndex index(8, 2, Rotation::WalshRotor3, 117900524);
    const SearchResults empty = index.search(random_floats(3 * 8, 11), 4);
    EXPECT_EQ(empty.nq, 3u);
    EXPECT_EQ(empty.k, 1u);
    EXPECT_EQ(empty.scores, std::vector<float>(3, -kInf));
    EXPECT_EQ(empty.positions, std::vector<int64_t>(3, -1));
    EXPECT_TRUE(index.block_matrices_built() && index.centroids_built() &&
                index.sign_vector_built());

    index.add(random_floats(3 * 8, 12));
    const SearchResults zero_k = index.search(random_floats(2 * 8, 13), 0);
    EXPECT_EQ(zero_k.k, 1u);
    EXPECT_EQ(zero_k.positions.size(), 2u);
    const SearchResults no_rows = index.search({}, 5);
    EXPECT_EQ(no_rows.nq, 0u);
    EXPECT_EQ(no_rows.k, 3u);
    EXPECT_TRUE(no_rows.scores.empty() && no_rows.positions.empty());
    try {
        index.search(random_floats(10, 14), 1);
        FAIL() << "search accepted 10 floats at dim 8";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "assertion `left == right` failed\n  left: 10\n right: 8");
    }
    EXPECT_EQ(index.search(random_floats(8, 15), 3).k, 3u);
}

}  // namespace
}  // namespace quilane
