#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "error.hpp"
#include "file_helpers.hpp"
#include "id_map.hpp"

namespace quilane {
namespace {

using test::error_of;
using test::random_vectors;

constexpr uint64_t kDim = 16;
constexpr uint64_t kMaxId = std::numeric_limits<uint64_t>::max();

// Everything a rejected call must leave as it was.
struct Snapshot {
    std::vector<uint64_t> ids;
    std::vector<uint8_t> codes;
    std::vector<float> norms;

    explicit Snapshot(const IdMapIndex& index)
        : ids(index.ids().begin(), index.ids().end()),
          codes(index.inner().records()),
          norms(index.inner().norms().begin(), index.inner().norms().end()) {}

    bool operator==(const Snapshot&) const = default;
};

TEST(KeyedIdHash, MatchesSipHashReferenceAndDependsOnKey) {
    // SipHash-2-4 of the bytes 00..07 under the key 00..0f, from the authors' test vectors.
    EXPECT_EQ(
        (sip_hash_u64<2, 4>(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 0x0706050403020100ULL)),
        0x93f5f5799a932462ULL);
    const KeyedIdHash a{1, 2};
    const KeyedIdHash b{1, 3};
    EXPECT_NE(a(42), b(42));
    EXPECT_NE(a(42), a(43));
    const KeyedIdHash drawn = KeyedIdHash::random();
    const KeyedIdHash other = KeyedIdHash::random();
    EXPECT_FALSE(drawn.k0 == other.k0 && drawn.k1 == other.k1);
}

TEST(IdMapIndex, RemoveMovesTheLastIdIntoTheHole) {
    IdMapIndex index = IdMapIndex::with_options(kDim, 3, Rotation::Rotor3, 117900524);
    const std::vector<float> vectors = random_vectors(3, kDim, 1);
    const std::vector<uint64_t> ids = {10, 20, 30};
    index.add_with_ids(vectors, ids);

    EXPECT_TRUE(index.remove(10));
    EXPECT_EQ(std::vector<uint64_t>(index.ids().begin(), index.ids().end()),
              (std::vector<uint64_t>{30, 20}));
    EXPECT_EQ(index.len(), 2u);
    EXPECT_EQ(index.inner().len(), 2u);
    EXPECT_FALSE(index.contains(10));
    EXPECT_FALSE(index.remove(10));
    EXPECT_FALSE(index.remove(99));

    // Querying with a stored vector finds that vector's id first.
    const std::span<const float> v30(vectors.data() + 2 * kDim, kDim);
    const std::span<const float> v20(vectors.data() + 1 * kDim, kDim);
    EXPECT_EQ(index.search(v30, 2).ids, (std::vector<uint64_t>{30, 20}));
    EXPECT_EQ(index.search(v20, 2).ids, (std::vector<uint64_t>{20, 30}));

    // Removing the last position moves nothing; the freed id can come back, at the end.
    EXPECT_TRUE(index.remove(20));
    EXPECT_EQ(index.ids()[0], 30u);
    const std::vector<uint64_t> again = {20};
    index.add_with_ids(v20, again);
    EXPECT_EQ(std::vector<uint64_t>(index.ids().begin(), index.ids().end()),
              (std::vector<uint64_t>{30, 20}));
    EXPECT_EQ(index.search(v20, 1).ids, (std::vector<uint64_t>{20}));
}

TEST(IdMapIndex, RejectedBatchesLeaveEverythingUnchanged) {
    IdMapIndex index = IdMapIndex::with_options(8, 2, Rotation::Rotor3, 7);
    const std::vector<uint64_t> stored = {1, 2, 3};
    index.add_with_ids(random_vectors(3, 8, 2), stored);
    const Snapshot before(index);

    const std::vector<float> seventeen(17, 1.0f);
    const std::vector<uint64_t> two_ids = {100, 101};
    EXPECT_EQ(error_of([&] { index.add_with_ids(seventeen, two_ids); }),
              "assertion `left == right` failed: vector buffer not a multiple of dim\n"
              "  left: 17\n right: 16");
    const std::vector<float> two_vectors = random_vectors(2, 8, 3);
    const std::vector<uint64_t> three_ids = {100, 101, 102};
    EXPECT_EQ(error_of([&] { index.add_with_ids(two_vectors, three_ids); }),
              "assertion `left == right` failed: expected 2 ids, got 3\n  left: 3\n right: 2");

    // The first id in batch order that collides, with the map or with the batch itself.
    const std::vector<std::pair<std::vector<uint64_t>, std::string>> collisions = {
        {{7, 7}, "id 7 already present in index"},
        {{3}, "id 3 already present in index"},
        {{4, 5, 2, 4}, "id 2 already present in index"},
        {{9, 8, 9, 1}, "id 9 already present in index"},
        {{kMaxId, 0, kMaxId}, "id 18446744073709551615 already present in index"},
    };
    for (const auto& [batch, message] : collisions) {
        const std::vector<float> vectors = random_vectors(batch.size(), 8, 4);
        EXPECT_EQ(error_of([&] { index.add_with_ids(vectors, batch); }), message);
        EXPECT_TRUE(Snapshot(index) == before);
        for (const uint64_t id : batch) {
            EXPECT_EQ(index.contains(id), id >= 1 && id <= 3) << id;
        }
    }

    // The map still works: a valid batch lands after the stored vectors.
    const std::vector<uint64_t> fresh = {7, 9};
    index.add_with_ids(random_vectors(2, 8, 5), fresh);
    EXPECT_EQ(std::vector<uint64_t>(index.ids().begin(), index.ids().end()),
              (std::vector<uint64_t>{1, 2, 3, 7, 9}));
    EXPECT_TRUE(index.remove(7));
    EXPECT_TRUE(index.contains(9));

    // An empty batch changes nothing.
    const Snapshot after_valid(index);
    index.add_with_ids({}, {});
    EXPECT_TRUE(Snapshot(index) == after_valid);
}

TEST(IdMapIndex, ExtremeIdsAreOrdinaryAndEmptySearchMarksSlots) {
    IdMapIndex index = IdMapIndex::with_options(8, 4, Rotation::Iso4, 11);
    const std::vector<float> queries = random_vectors(2, 8, 6);
    const IdMapIndex::Results empty = index.search(queries, 5);
    EXPECT_EQ(empty.ids, (std::vector<uint64_t>{kMaxId, kMaxId}));
    ASSERT_EQ(empty.scores.size(), 2u);
    EXPECT_TRUE(std::isinf(empty.scores[0]) && empty.scores[0] < 0);
    EXPECT_FALSE(index.contains(0));

    const std::vector<uint64_t> ids = {0, kMaxId};
    index.add_with_ids(random_vectors(2, 8, 7), ids);
    EXPECT_TRUE(index.contains(0));
    EXPECT_TRUE(index.contains(kMaxId));
    EXPECT_TRUE(index.remove(0));
    EXPECT_EQ(index.ids()[0], kMaxId);
    EXPECT_TRUE(index.remove(kMaxId));
    EXPECT_EQ(index.len(), 0u);
}

TEST(IdMapIndex, FromPartsRebuildsTheMapAndRefusesRepeatedIds) {
    const std::vector<float> vectors = random_vectors(3, 8, 8);
    GyrelIndex inner(8, 2, Rotation::Planar2, 5);
    inner.add(vectors);
    IdMapIndex index = IdMapIndex::from_parts(std::move(inner), {5, 50, 500});
    EXPECT_TRUE(index.contains(50));
    EXPECT_TRUE(index.remove(5));
    EXPECT_EQ(index.ids()[0], 500u);
    EXPECT_EQ(index.search(std::span(vectors).subspan(16, 8), 1).ids, (std::vector<uint64_t>{500}));

    auto three = [] { return test::index_from_noise(8, 2, Rotation::Planar2, 5, 3); };
    EXPECT_EQ(error_of([&] {
                  IdMapIndex::from_parts(three(), {4, 9, 4});
              }),
              "duplicate ids in .qlim file");
    EXPECT_NE(error_of([&] { IdMapIndex::from_parts(three(), {4, 9}); }), "no error");
}

// Random adds and removes against a model: after every step each stored id still names the
// record that was encoded for it, and removed ids are gone.
TEST(IdMapIndex, RandomAddsAndRemovesKeepIdsOnTheirVectors) {
    IdMapIndex index = IdMapIndex::with_options(8, 3, Rotation::Rotor3, 3);
    const uint64_t record = index.inner().record_size();
    std::map<uint64_t, std::pair<std::vector<uint8_t>, float>> model;
    std::mt19937_64 engine(12);
    for (int step = 0; step < 300; ++step) {
        const uint64_t id = engine() % 40;
        if (engine() % 3 == 0 || model.contains(id)) {
            EXPECT_EQ(index.remove(id), model.erase(id) == 1);
        } else {
            const std::vector<uint64_t> batch = {id};
            index.add_with_ids(random_vectors(1, 8, static_cast<uint32_t>(step)), batch);
            const std::vector<uint8_t> records = index.inner().records();
            model[id] = {{records.end() - static_cast<ptrdiff_t>(record), records.end()},
                         index.inner().norms().back()};
        }
        ASSERT_EQ(index.len(), model.size());
        const std::vector<uint8_t> records = index.inner().records();
        for (uint64_t p = 0; p < index.len(); ++p) {
            const auto found = model.find(index.ids()[p]);
            ASSERT_NE(found, model.end());
            const auto codes = std::span(records).subspan(p * record, record);
            EXPECT_TRUE(std::equal(codes.begin(), codes.end(), found->second.first.begin()));
            EXPECT_EQ(index.inner().norms()[p], found->second.second);
        }
        for (uint64_t probe = 0; probe < 40; ++probe) {
            ASSERT_EQ(index.contains(probe), model.contains(probe)) << probe;
        }
    }
}

}  // namespace
}  // namespace quilane
