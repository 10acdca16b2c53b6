// Several threads using one index at once, as the module allows for every reading call: the first
// searches race to build the caches, and every scan runs on the shared pool at the same time.
// Also the test the ThreadSanitizer build runs.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "file_helpers.hpp"
#include "id_map.hpp"
#include "index_file.hpp"
#include "lib.hpp"

namespace quilane {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 5;

TEST(ConcurrentSearch, ThreadsSearchingAFreshIndexAgreeWithOneThread) {
    const std::vector<float> vectors = test::random_vectors(300, 64, 1);
    const std::vector<float> queries = test::random_vectors(9, 64, 2);
    for (const Rotation kind : test::kAllKinds) {
        GyrelIndex built(64, 3, kind, 77);
        built.add(vectors);
        const std::vector<uint8_t> bytes = index_file_bytes(built);
        const SearchResults expected = built.search(queries, 10);

        // Loaded, so that every cache starts unbuilt and the threads race to build them.
        GyrelIndex index = index_from_bytes(bytes);
        std::vector<int> agreed(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    agreed[t] += bool(test::identical(index.search(queries, 10), expected)) ? 1 : 0;
                    agreed[t] += index.len() == 300 ? 1 : 0;
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(agreed[t], 2 * kRounds) << "thread " << t;
        }
    }
}

TEST(ConcurrentSearch, IdMapReadersShareOneIndex) {
    const std::vector<float> vectors = test::random_vectors(100, 32, 3);
    std::vector<uint64_t> ids(100);
    for (uint64_t i = 0; i < ids.size(); ++i) {
        ids[i] = i * 1000;
    }
    IdMapIndex built = IdMapIndex::with_options(32, 2, Rotation::WalshRotor3, 5);
    built.add_with_ids(vectors, ids);
    const IdMapIndex::Results expected = built.search(vectors, 3);
    IdMapIndex index = id_map_from_bytes(id_map_file_bytes(built));

    std::vector<int> agreed(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                agreed[t] += index.search(vectors, 3).ids == expected.ids ? 1 : 0;
                agreed[t] += index.contains(uint64_t(round) * 1000) && !index.contains(1) ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(agreed[t], 2 * kRounds) << "thread " << t;
    }
}

}  // namespace
}  // namespace quilane
