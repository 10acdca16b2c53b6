// Every scan path against the plain reference scan, value for value.
#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
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
using test::runnable_isas;

// Searches with every path, with one worker and with more workers than cores (so that the
// stored vectors are split between tasks), and compares with the reference scan. Fatal failures
// end the helper; callers wrap it in ASSERT_NO_FATAL_FAILURE so that they end the test too.
void expect_every_path_matches(GyrelIndex& index, std::span<const float> queries, size_t k,
                               std::span<const uint64_t> allowed = {}) {
    const size_t dim = index.dim();
    const size_t nq = queries.size() / dim;
    const std::vector<uint8_t> records = index.records();
    const ScanInput plain{records,      index.centroids(), index.norms(), dim,
                          index.bits(), index.len(),       allowed};
    ScanInput blocked = plain;
    blocked.codes = index.block_codes();
    const Transform t = index.transform();
    const SearchResults want = search_reference(queries, nq, t, plain, k);
    for (const Isa isa : runnable_isas()) {
        for (const FirstPass pass : {FirstPass::Off, FirstPass::On}) {
            auto run = [&] { return search_with(isa, pass, queries, nq, t, blocked, k); };
            SCOPED_TRACE(testing::Message() << isa_name(isa) << " first pass "
                                            << (pass == FirstPass::On ? "on" : "off"));
            {
                tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
                ASSERT_TRUE(identical(run(), want)) << "1 worker";
            }
            tbb::global_control four(tbb::global_control::max_allowed_parallelism, 4);
            tbb::task_arena arena(4);
            arena.execute([&] { ASSERT_TRUE(identical(run(), want)) << "4 workers"; });
            ASSERT_FALSE(testing::Test::HasFatalFailure());
        }
    }
}

TEST(ScanPaths, EveryKindWidthAndDimMatchesTheReference) {
    for (const size_t dim : {8, 24, 128, 4096}) {
        // n is not a multiple of the block; 7 queries make groups of 4 and 3 where they fit.
        const size_t n = dim == 4096 ? 21 : 53;
        std::vector<float> vectors = random_floats(n * dim, 1);
        const std::vector<float> queries = random_floats(7 * dim, 2);
        for (uint8_t tag = 0; tag < kRotationCount; ++tag) {
            if (Rotation(tag) == Rotation::WalshRotor3 && !std::has_single_bit(dim)) {
                continue;
            }
            for (uint64_t bits = 2; bits <= 4; ++bits) {
                GyrelIndex index(dim, bits, Rotation(tag), 117900524);
                index.add(vectors);
                for (const size_t k : {size_t{1}, size_t{10}, n}) {
                    SCOPED_TRACE(testing::Message() << "dim " << dim << " kind " << int(tag)
                                                    << " bits " << bits << " k " << k);
                    ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k));
                }
            }
        }
    }
}

// Copies straddling blocks and chunks tie exactly: the lower position must win however the
// scan is split. NaN and infinite norms give NaN and infinite scores, which rank by the same
// total order on every path, also when a NaN is the worst buffered score.
TEST(ScanPaths, TiesNaNAndInfinityRankTheSameOnEveryPath) {
    const size_t dim = 32;
    const size_t n = 100;
    std::vector<float> vectors = random_floats(n * dim, 3);
    for (const size_t copy : {17, 40, 41, 95}) {
        std::copy_n(vectors.begin() + 2 * dim, dim, vectors.begin() + copy * dim);
    }
    std::fill_n(vectors.begin() + 50 * dim, dim, 0.0f);
    for (const size_t nan_at : {0, 33, 64, 99}) {
        vectors[nan_at * dim + 5] = kNaN;
    }
    vectors[70 * dim] = kInf;
    vectors[71 * dim + 3] = -kInf;
    std::vector<float> queries = random_floats(6 * dim, 4);
    std::copy_n(vectors.begin() + 2 * dim, dim, queries.begin());
    queries[3 * dim + 7] = kNaN;
    std::fill_n(queries.begin() + 4 * dim, dim, 0.0f);
    for (uint64_t bits = 2; bits <= 4; ++bits) {
        GyrelIndex index(dim, bits, Rotation::Iso4, 5);
        index.add(vectors);
        for (const size_t k : {1, 3, 5, 97, 100}) {
            SCOPED_TRACE(testing::Message() << "bits " << bits << " k " << k);
            ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k));
        }
    }

    // All equal: the first k positions, whatever the split.
    GyrelIndex same(dim, 4, Rotation::Rotor3, 6);
    std::vector<float> copies;
    for (size_t i = 0; i < 300; ++i) {
        copies.insert(copies.end(), vectors.begin() + 2 * dim, vectors.begin() + 3 * dim);
    }
    same.add(copies);
    ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(same, std::span(queries).first(dim), 7));
}

// Where two NaNs meet (-inf + inf times a NaN norm, or NaN entries of both signs), which one the
// processor passes on depends on how a kernel orders its operands, and so on the instruction set
// and on how many blocks a call scores. Results report every NaN score as the one quiet NaN.
TEST(ScanPaths, NaNMeetingNaNIsReportedAsOneNaN) {
    const size_t dim = 24;
    const size_t n = 64;
    std::vector<float> vectors = random_floats(n * dim, 12);
    for (size_t i = 0; i < n; i += 3) {
        vectors[i * dim + 4] = i % 2 == 0 ? kNaN : -kNaN;
    }
    std::vector<float> queries = random_floats(3 * dim, 13);
    queries[0] = -kInf;
    queries[dim - 1] = kInf;
    queries[dim] = kNaN;
    queries[dim + 1] = -kNaN;
    for (uint64_t bits = 2; bits <= 4; ++bits) {
        GyrelIndex index(dim, bits, Rotation::Rotor3, 14);
        index.add(vectors);
        SCOPED_TRACE(testing::Message() << "bits " << bits);
        ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, n));
        const SearchResults got = index.search(queries, n);
        for (const float score : got.scores) {
            if (std::isnan(score)) {
                ASSERT_EQ(std::bit_cast<uint32_t>(score), std::bit_cast<uint32_t>(kNaN));
            }
        }
    }
}

// Many blocks and queries: several chunks and query groups per worker, thresholds that rise as
// the scan goes on.
TEST(ScanPaths, LargeStoreMatchesTheReference) {
    const size_t dim = 128;
    GyrelIndex index(dim, 4, Rotation::WalshRotor3, 7);
    index.add(random_floats(5003 * dim, 8));
    const std::vector<float> queries = random_floats(9 * dim, 9);
    ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, 10));

    // And the first pass does spare work here: a bound that never skipped would pass the above.
    // One worker, so that the thresholds rise in the same order on every run.
    const tbb::global_control one_worker(tbb::global_control::max_allowed_parallelism, 1);
    const Transform t = index.transform();
    const ScanInput input{
        index.block_codes(), index.centroids(), index.norms(), dim, 4, index.len(), {}};
    const SearchResults skimmed = search_with(best_isa(), FirstPass::On, queries, 9, t, input, 10);
    EXPECT_LT(skimmed.scored_exactly, 9 * index.len() / 2);
}

// Data made to break the first pass's bound: norms spanning 1e-30 to 1e30 with NaN, infinite,
// zero and negative ones among them, many exact copies tying at the k-th score, vectors that
// differ from the copies in one coordinate (near ties), and queries of magnitude 1e-30 and 1e30,
// zero and with a NaN. Every path must still return the reference's answer.
TEST(ScanPaths, FirstPassKeepsEveryAnswerOnAdversarialData) {
    for (const size_t dim : {8, 40, 256}) {
        const size_t n = 300;
        std::vector<float> vectors = random_floats(n * dim, 20);
        for (size_t i = 0; i < n; ++i) {
            const float scale = std::pow(10.0f, static_cast<float>(i % 61) - 30.0f);
            for (size_t j = 0; j < dim; ++j) {
                vectors[i * dim + j] *= scale;
            }
        }
        for (size_t i = 100; i < 200; ++i) {
            std::copy_n(vectors.begin() + 7 * dim, dim, vectors.begin() + i * dim);
            if (i % 3 == 0) {
                vectors[i * dim + i % dim] *= 1.0f + 1e-6f;
            }
        }
        std::vector<float> queries = random_floats(8 * dim, 21);
        for (size_t j = 0; j < dim; ++j) {
            queries[j] = vectors[7 * dim + j];
            queries[dim + j] *= 1e-30f;
            queries[2 * dim + j] *= 1e30f;
            queries[3 * dim + j] = 0.0f;
        }
        queries[4 * dim + 1] = kNaN;
        for (uint64_t bits = 2; bits <= 4; ++bits) {
            GyrelIndex index(dim, bits, Rotation::Planar2, 31);
            index.add(vectors);
            GyrelIndex odd_norms =
                GyrelIndex::from_parts(dim, bits, Rotation::Planar2, 31, n, index.records(), [&] {
                    std::vector<float> norms(index.norms().begin(), index.norms().end());
                    norms[3] = kNaN;
                    norms[150] = kInf;
                    norms[151] = -kInf;
                    norms[152] = 0.0f;
                    norms[153] = -2.0f;
                    norms[260] = 1e30f;
                    return norms;
                }());
            for (const size_t k : {size_t{1}, size_t{5}, size_t{16}, size_t{17}, size_t{60}, n}) {
                SCOPED_TRACE(testing::Message() << "dim " << dim << " bits " << bits << " k " << k);
                ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k));
                ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(odd_norms, queries, k));
            }
        }
    }
}

// Near ties everywhere: every vector one of 20 copies moved by a relative 1e-4, so that the first
// pass rules out little and a worker goes over to scoring its later chunks exactly, with buffers
// of both origins. The answer must not notice.
TEST(ScanPaths, FirstPassGivingUpKeepsEveryAnswer) {
    const size_t dim = 32;
    const size_t n = 4000;
    std::vector<float> vectors = random_floats(n * dim, 40);
    const std::vector<float> jitter = random_floats(n * dim, 41);
    for (size_t i = 20; i < n; ++i) {
        for (size_t j = 0; j < dim; ++j) {
            vectors[i * dim + j] =
                vectors[(i % 20) * dim + j] * (1.0f + 1e-4f * jitter[i * dim + j]);
        }
    }
    const std::vector<float> queries = random_floats(9 * dim, 42);
    for (uint64_t bits : {2, 3, 4}) {
        GyrelIndex index(dim, bits, Rotation::Rotor3, 43);
        index.add(vectors);
        for (const size_t k : {1, 10, 300}) {
            SCOPED_TRACE(testing::Message() << "bits " << bits << " k " << k);
            ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k));
        }
    }
}

// Every block holds one vector near the query's direction among small ones, a few blocks 8, 9 or
// all 16: after the first pass most blocks that may still enter hold a single lane, many more
// than one gathered block takes, and the lanes of one block are gathered or scored with it. Near
// ties among the strong vectors keep the bar from ruling them out early; a filter drops some.
TEST(ScanPaths, LanesGatheredFromManyBlocksKeepEveryAnswer) {
    const size_t dim = 32;
    const size_t blocks = 400;
    const size_t n = blocks * kBlockVectors;
    std::vector<float> vectors = random_floats(n * dim, 50);
    const std::vector<float> probe = random_floats(dim, 51);
    const std::vector<float> jitter = random_floats(n, 52);
    auto make_strong = [&](size_t i) {
        for (size_t j = 0; j < dim; ++j) {
            vectors[i * dim + j] = 10.0f * probe[j] * (1.0f + 1e-3f * jitter[i]);
        }
        vectors[i * dim + i % dim] += 0.01f;
    };
    for (size_t b = 0; b < blocks; ++b) {
        const size_t strong = b == 7 ? 8 : (b == 8 ? 9 : (b == 9 ? kBlockVectors : 1));
        for (size_t s = 0; s < strong; ++s) {
            make_strong(b * kBlockVectors + (b * 5 + s) % kBlockVectors);
        }
    }
    std::vector<float> queries = random_floats(3 * dim, 53);
    for (size_t j = 0; j < dim; ++j) {
        queries[j] = probe[j];
        queries[dim + j] = probe[j] + 0.05f * queries[dim + j];
    }
    std::vector<uint64_t> allowed((n + 63) / 64, ~uint64_t{0});
    for (size_t p = 0; p < n; p += 37) {
        allowed[p / 64] &= ~(uint64_t{1} << (p % 64));
    }
    for (uint64_t bits = 2; bits <= 4; ++bits) {
        GyrelIndex index(dim, bits, Rotation::Rotor3, 54);
        index.add(vectors);
        for (const size_t k : {1, 10, 16, 40}) {
            SCOPED_TRACE(testing::Message() << "bits " << bits << " k " << k);
            ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k));
            ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k, allowed));
        }
    }
}

// A filter gives what searching an index of only the allowed vectors gives, with the positions
// mapped back: scores do not depend on the other vectors, and ties keep their order.
TEST(ScanPaths, AllowedPositionsMatchASubIndex) {
    const size_t dim = 64;
    const size_t n = 700;
    std::vector<float> vectors = random_floats(n * dim, 30);
    for (size_t i = 400; i < 420; ++i) {
        std::copy_n(vectors.begin() + 5 * dim, dim, vectors.begin() + i * dim);
    }
    std::vector<float> queries = random_floats(5 * dim, 31);
    std::copy_n(vectors.begin() + 5 * dim, dim, queries.begin());
    std::mt19937 rng(32);
    for (uint64_t bits = 2; bits <= 4; ++bits) {
        GyrelIndex index(dim, bits, Rotation::Iso4, 9);
        index.add(vectors);
        for (const unsigned percent : {0u, 1u, 30u, 100u}) {
            std::vector<uint64_t> allowed((n + 63) / 64, 0);
            std::vector<size_t> kept;
            GyrelIndex sub(dim, bits, Rotation::Iso4, 9);
            for (size_t p = 0; p < n; ++p) {
                if (rng() % 100 < percent || (percent > 0 && p % 64 == 5)) {
                    allowed[p / 64] |= uint64_t{1} << (p % 64);
                    kept.push_back(p);
                    sub.add(std::span(vectors).subspan(p * dim, dim));
                }
            }
            for (const uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{n}}) {
                SCOPED_TRACE(testing::Message()
                             << "bits " << bits << " percent " << percent << " k " << k);
                const SearchResults got = index.search(queries, k, allowed);
                const SearchResults want = sub.search(queries, k);
                ASSERT_EQ(got.k, want.k);
                ASSERT_EQ(got.scores, want.scores);
                for (size_t e = 0; e < got.positions.size(); ++e) {
                    const int64_t p = want.positions[e];
                    ASSERT_EQ(got.positions[e], p < 0 ? -1 : static_cast<int64_t>(kept[p]));
                }
                if (!kept.empty() && k <= kept.size()) {
                    ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, queries, k, allowed));
                }
            }
        }
    }
    GyrelIndex index(dim, 4, Rotation::Iso4, 9);
    index.add(vectors);
    EXPECT_THROW(index.search(queries, 3, std::vector<uint64_t>(2, ~uint64_t{0})), Error);
}

// The block store follows swap_remove and add: records move, and a dropped lane is zeroed so
// that the store always equals a fresh conversion of the records.
TEST(ScanPaths, StoreFollowsRemovalsAndAdds) {
    const size_t dim = 16;
    GyrelIndex index(dim, 3, Rotation::Planar2, 8);
    index.add(random_floats(40 * dim, 10));
    for (const uint64_t idx : {3, 20, 37, 36, 0}) {
        index.swap_remove(idx);
        index.add(random_floats(dim, static_cast<uint32_t>(idx)));
        index.swap_remove(idx);
        std::vector<uint8_t> fresh = index.records();
        records_to_blocks_in_place(fresh, index.len(), dim, 3);
        ASSERT_TRUE(std::ranges::equal(index.block_codes(), fresh)) << idx;
    }
    ASSERT_NO_FATAL_FAILURE(expect_every_path_matches(index, random_floats(3 * dim, 11), 5));
}

// A file may state any dim for an empty store; converting it must not allocate by dim alone.
TEST(ScanPaths, EmptyStoreOfHugeDimAllocatesNothing) {
    const GyrelIndex index =
        GyrelIndex::from_parts(uint64_t{1} << 40, 4, Rotation::Rotor3, 1, 0, {}, {});
    EXPECT_EQ(index.len(), 0u);
    EXPECT_TRUE(index.block_codes().empty());
}

}  // namespace
}  // namespace quilane
