// The index as a value: its file bytes written into a caller's buffer, batch removal by id, the
// reconstructed vectors and exact re-ranking.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error.hpp"
#include "file_helpers.hpp"
#include "id_map.hpp"
#include "index_file.hpp"
#include "reconstruct.hpp"
#include "rerank.hpp"

namespace quilane {
namespace {

using test::error_of;
using test::kInf;
using test::random_vectors;

TEST(FileBytes, SizesAndBufferWritesMatchTheFiles) {
    for (const uint64_t n : {0, 1, 17, 40}) {
        const GyrelIndex plain = test::index_from_noise(24, 3, Rotation::Rotor3, 5, n);
        std::vector<uint64_t> ids(n);
        for (uint64_t i = 0; i < n; ++i) {
            ids[i] = 1000 - i;
        }
        const IdMapIndex mapped =
            IdMapIndex::from_parts(test::index_from_noise(24, 3, Rotation::Rotor3, 5, n), ids);
        test::TempDir dir;
        write_index(dir.file("plain"), plain);
        write_id_map(dir.file("mapped"), mapped);
        const std::vector<uint8_t> plain_file = test::read_all(dir.file("plain"));
        const std::vector<uint8_t> mapped_file = test::read_all(dir.file("mapped"));
        ASSERT_EQ(index_file_size(plain), plain_file.size());
        ASSERT_EQ(id_map_file_size(mapped), mapped_file.size());
        std::vector<uint8_t> buffer(plain_file.size());
        write_index_bytes(plain, buffer);
        EXPECT_EQ(buffer, plain_file);
        buffer.assign(mapped_file.size(), 0);
        write_id_map_bytes(mapped, buffer);
        EXPECT_EQ(buffer, mapped_file);
        // A buffer of another length is refused before anything is written.
        std::vector<uint8_t> longer(plain_file.size() + 1, 7);
        EXPECT_NE(error_of([&] { write_index_bytes(plain, longer); }), "no error");
        EXPECT_EQ(longer, std::vector<uint8_t>(plain_file.size() + 1, 7));
    }
}

IdMapIndex id_map_with(size_t n, uint32_t seed) {
    IdMapIndex index = IdMapIndex::with_options(64, 2, Rotation::Planar2, 3);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) {
        ids[i] = 10 * i + 1;
    }
    index.add_with_ids(random_vectors(n, 64, seed), ids);
    return index;
}

TEST(RemoveMany, IsRemovalOneByOneInArrayOrder) {
    const std::vector<uint64_t> batch = {41, 7, 1, 41, 191, 999, 11, 0, 181};
    IdMapIndex together = id_map_with(20, 3);
    IdMapIndex one_by_one = id_map_with(20, 3);
    uint64_t removed = 0;
    for (const uint64_t id : batch) {
        removed += one_by_one.remove(id) ? 1 : 0;
    }
    EXPECT_EQ(together.remove_many(batch), removed);
    EXPECT_EQ(removed, 5u);
    EXPECT_EQ(id_map_file_bytes(together), id_map_file_bytes(one_by_one));
    EXPECT_EQ(together.position_of(21), one_by_one.position_of(21));
    EXPECT_FALSE(together.position_of(41).has_value());
    EXPECT_EQ(together.remove_many({}), 0u);
}

// Every stored vector's reconstruction scores each query as the search does, for every kind,
// including a partial rotation block and the Walsh-Hadamard stage.
TEST(Reconstruct, InnerProductsReproduceSearchScores) {
    for (const Rotation kind : test::kAllKinds) {
        for (const uint64_t bits : {2, 3, 4}) {
            // 64 leaves a partial block of the rotor3 kinds.
            const uint64_t dim = 64;
            GyrelIndex index(dim, bits, kind, 77);
            const size_t n = 37;
            index.add(random_vectors(n, dim, 11));
            const std::vector<float> queries = random_vectors(3, dim, 12);
            const SearchResults found = index.search(queries, n);
            std::vector<uint64_t> positions(n);
            for (size_t p = 0; p < n; ++p) {
                positions[p] = p;
            }
            const std::vector<float> rows = reconstruct(index, positions);
            ASSERT_EQ(rows.size(), n * dim);
            for (size_t q = 0; q < 3; ++q) {
                for (size_t r = 0; r < n; ++r) {
                    const auto p = static_cast<size_t>(found.positions[q * n + r]);
                    double dot = 0;
                    double scale = 0;
                    for (size_t j = 0; j < dim; ++j) {
                        dot += double{queries[q * dim + j]} * rows[p * dim + j];
                        scale += std::abs(double{queries[q * dim + j]} * rows[p * dim + j]);
                    }
                    EXPECT_NEAR(dot, found.scores[q * n + r], 1e-5 * scale + 1e-6)
                        << rotation_name(kind) << " bits " << bits << " position " << p;
                }
            }
        }
    }
}

TEST(Reconstruct, ChosenPositionsInOrderAndOutOfRange) {
    GyrelIndex index(64, 4, Rotation::Rotor3, 5);
    index.add(random_vectors(5, 64, 1));
    const std::vector<float> all = reconstruct(index, std::vector<uint64_t>{0, 1, 2, 3, 4});
    const std::vector<float> picked = reconstruct(index, std::vector<uint64_t>{3, 3, 0});
    EXPECT_EQ(std::vector<float>(picked.begin(), picked.begin() + 64),
              std::vector<float>(all.begin() + 3 * 64, all.begin() + 4 * 64));
    EXPECT_EQ(std::vector<float>(picked.begin() + 2 * 64, picked.end()),
              std::vector<float>(all.begin(), all.begin() + 64));
    EXPECT_TRUE(reconstruct(index, {}).empty());
    EXPECT_EQ(error_of([&] {
                  reconstruct(index, std::vector<uint64_t>{1, 5});
              }),
              "index 5 out of bounds");
}

TEST(ExactInnerProduct, FixedOrderOfSixteenPartialSums) {
    for (const size_t dim : {1, 7, 16, 33, 384}) {
        const std::vector<float> a = random_vectors(1, dim, 3);
        const std::vector<float> b = random_vectors(1, dim, 4);
        float partial[16] = {};
        for (size_t j = 0; j < dim; ++j) {
            partial[j % 16] = partial[j % 16] + a[j] * b[j];
        }
        for (size_t width = 8; width >= 1; width /= 2) {
            for (size_t l = 0; l < width; ++l) {
                partial[l] = partial[l] + partial[l + width];
            }
        }
        EXPECT_EQ(exact_inner_product(a.data(), b.data(), dim), partial[0]) << dim;
    }
}

TEST(Rerank, OrdersByExactScoreWithTiesByLowerCandidate) {
    // Rows 0 and 2 are equal, so they tie; row 3 is best, row 1 worst.
    const std::vector<float> vectors = {1, 0, 0, 1, 1, 0, 5, 0, -1, -1};
    const std::vector<float> queries = {1, 0, 0, 1};
    const std::vector<uint64_t> candidates = {2, kNoCandidate, 0, 3, 1, 3, 3, kNoCandidate};
    const RerankInput input{queries, candidates, vectors, 2, 4, 5, 2};
    const RerankResults two = rerank(input, 2);
    EXPECT_EQ(two.k, 2u);
    EXPECT_EQ(two.candidates, (std::vector<uint64_t>{3, 0, 1, 3}));
    EXPECT_EQ(two.scores, (std::vector<float>{5, 1, 1, 0}));
    // The second query has two distinct candidates (3 counts once): the rest is padding.
    const RerankResults all = rerank(input, 10);
    EXPECT_EQ(all.k, 4u);
    EXPECT_EQ(all.candidates,
              (std::vector<uint64_t>{3, 0, 2, kNoCandidate, 1, 3, kNoCandidate, kNoCandidate}));
    EXPECT_EQ(all.scores, (std::vector<float>{5, 1, 1, -kInf, 1, 0, -kInf, -kInf}));
    EXPECT_EQ(rerank(input, 0).k, 1u);
}

TEST(Rerank, NanRanksLastAndOutOfRangeCandidatesFail) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> vectors = {nan, -kInf, 1};
    const std::vector<float> queries = {1};
    const std::vector<uint64_t> candidates = {0, 1, 2};
    const RerankResults results = rerank({queries, candidates, vectors, 1, 3, 3, 1}, 3);
    EXPECT_EQ(results.candidates, (std::vector<uint64_t>{2, 1, 0}));
    const std::vector<uint64_t> outside = {0, 3};
    EXPECT_EQ(error_of([&] {
                  rerank({queries, outside, vectors, 1, 2, 3, 1}, 1);
              }),
              "candidate 3 out of range for 3 vectors");
    // No query rows and no candidate columns are shapes like any other.
    EXPECT_TRUE(rerank({{}, {}, vectors, 0, 3, 3, 1}, 2).scores.empty());
    const RerankResults none = rerank({queries, {}, vectors, 1, 0, 3, 1}, 2);
    EXPECT_EQ(none.candidates, std::vector<uint64_t>{kNoCandidate});
}

}  // namespace
}  // namespace quilane
