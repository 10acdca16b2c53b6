#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codebook.hpp"
#include "error.hpp"
#include "lib.hpp"

namespace quilane {
namespace {

constexpr uint64_t kSeed = 117900524;

std::string construction_error(uint64_t dim, uint64_t bits, Rotation rotation) {
    try {
        GyrelIndex index(dim, bits, rotation, kSeed);
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

TEST(GyrelIndexConstruction, ChecksRunInOrderWithTheirMessages) {
    const std::string bits_message = "bits must be 2, 3, or 4";
    // bits is checked first, whatever else is wrong.
    EXPECT_EQ(construction_error(12, 1, Rotation::Rotor3), bits_message);
    EXPECT_EQ(construction_error(12, 5, Rotation::WalshRotor3), bits_message);
    EXPECT_EQ(construction_error(0, 0, Rotation::Rotor3), bits_message);

    EXPECT_EQ(construction_error(12, 3, Rotation::Rotor3), "dim must be a multiple of 8");
    EXPECT_EQ(construction_error(12, 3, Rotation::WalshRotor3), "dim must be a multiple of 8");

    EXPECT_EQ(construction_error(24, 4, Rotation::WalshRotor3),
              "Rotation::WalshRotor3 requires dim to be a power of 2 (got 24)");
    EXPECT_EQ(construction_error(40, 2, Rotation::WalshRotor3),
              "Rotation::WalshRotor3 requires dim to be a power of 2 (got 40)");
    // Zero is not a power of two, and that check comes before the one for a zero dim.
    EXPECT_EQ(construction_error(0, 2, Rotation::WalshRotor3),
              "Rotation::WalshRotor3 requires dim to be a power of 2 (got 0)");
    for (const Rotation kind : {Rotation::Planar2, Rotation::Rotor3, Rotation::Iso4}) {
        EXPECT_EQ(construction_error(0, 2, kind), "dim must be positive");
    }

    EXPECT_EQ(construction_error(24, 4, Rotation::Rotor3), "");
    for (const uint64_t dim : {8, 16, 32, 64}) {
        EXPECT_EQ(construction_error(dim, 2, Rotation::WalshRotor3), "");
    }
}

TEST(GyrelIndexConstruction, BuildsNothing) {
    GyrelIndex index(8, 2, Rotation::Rotor3, kSeed);
    EXPECT_EQ(index.dim(), 8u);
    EXPECT_EQ(index.bits(), 2u);
    EXPECT_EQ(index.len(), 0u);
    EXPECT_EQ(index.seed(), kSeed);
    EXPECT_EQ(index.rotation(), Rotation::Rotor3);
    EXPECT_EQ(index.record_size(), 2u);
    EXPECT_FALSE(index.block_matrices_built());
    EXPECT_FALSE(index.centroids_built());
    EXPECT_FALSE(index.sign_vector_built());
    EXPECT_EQ(index.block_matrices().padded_dim, 9u);
}

TEST(GyrelIndexCaches, PrepareBuildsMatricesAndCentroidsButNotSigns) {
    GyrelIndex index(64, 2, Rotation::WalshRotor3, kSeed);
    index.prepare();
    EXPECT_TRUE(index.block_matrices_built());
    EXPECT_TRUE(index.centroids_built());
    EXPECT_FALSE(index.sign_vector_built());

    const BlockMatrices* blocks = &index.block_matrices();
    const std::vector<float>* centroids = &index.centroids();
    EXPECT_EQ(blocks->matrices,
              precompute_block_matrices(64, Rotation::WalshRotor3, kSeed).matrices);
    EXPECT_EQ(*centroids, codebook(2, 64).centroids);

    index.prepare();
    EXPECT_EQ(&index.block_matrices(), blocks);
    EXPECT_EQ(&index.centroids(), centroids);
    EXPECT_FALSE(index.sign_vector_built());
}

TEST(GyrelIndexCaches, SignVectorOnlyForWalshRotor3WithOffsetSeed) {
    // The offset wraps around 2^64.
    const uint64_t seed = std::numeric_limits<uint64_t>::max() - 10;
    GyrelIndex walsh(32, 2, Rotation::WalshRotor3, seed);
    ASSERT_TRUE(walsh.sign_vector().has_value());
    EXPECT_EQ(*walsh.sign_vector(), make_sign_vector(32, seed + kSignSeedOffset));
    EXPECT_EQ(*walsh.sign_vector(), make_sign_vector(32, kSignSeedOffset - 11));

    GyrelIndex rotor(32, 2, Rotation::Rotor3, seed);
    EXPECT_FALSE(rotor.sign_vector().has_value());
    EXPECT_TRUE(rotor.sign_vector_built());
}

TEST(GyrelIndexCaches, ConcurrentPrepareSharesOneBuild) {
    GyrelIndex index(32, 2, Rotation::Iso4, kSeed);
    std::vector<const BlockMatrices*> blocks(4, nullptr);
    std::vector<const std::vector<float>*> centroids(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < blocks.size(); ++t) {
        threads.emplace_back([&, t] {
            index.prepare();
            blocks[t] = &index.block_matrices();
            centroids[t] = &index.centroids();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t t = 1; t < blocks.size(); ++t) {
        EXPECT_EQ(blocks[t], blocks[0]);
        EXPECT_EQ(centroids[t], centroids[0]);
    }
}

GyrelIndex five_records() {
    // dim 8 at 2 bits: 2 bytes per record; record i holds bytes (i, 10 + i) and norm i + 0.5.
    std::vector<uint8_t> codes;
    std::vector<float> norms;
    for (uint8_t i = 0; i < 5; ++i) {
        codes.push_back(i);
        codes.push_back(static_cast<uint8_t>(10 + i));
        norms.push_back(i + 0.5f);
    }
    return GyrelIndex::from_parts(8, 2, Rotation::Rotor3, kSeed, 5, codes, norms);
}

std::string swap_remove_error(GyrelIndex& index, uint64_t idx) {
    try {
        index.swap_remove(idx);
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

TEST(GyrelIndexSwapRemove, RefusesPositionsOutOfBounds) {
    GyrelIndex empty(8, 2, Rotation::Rotor3, kSeed);
    EXPECT_EQ(swap_remove_error(empty, 0), "index 0 out of bounds");
    EXPECT_EQ(empty.len(), 0u);

    GyrelIndex index = five_records();
    const std::vector<uint8_t> codes = index.records();
    EXPECT_EQ(swap_remove_error(index, 5), "index 5 out of bounds");
    EXPECT_EQ(swap_remove_error(index, std::numeric_limits<uint64_t>::max()),
              "index 18446744073709551615 out of bounds");
    EXPECT_EQ(index.len(), 5u);
    EXPECT_EQ(index.records(), codes);
}

TEST(GyrelIndexSwapRemove, MovesTheLastRecordIntoTheHole) {
    GyrelIndex index = five_records();
    EXPECT_EQ(index.swap_remove(1), 4u);
    EXPECT_EQ(index.len(), 4u);
    EXPECT_EQ(index.records(), (std::vector<uint8_t>{0, 10, 4, 14, 2, 12, 3, 13}));
    EXPECT_EQ(std::vector<float>(index.norms().begin(), index.norms().end()),
              (std::vector<float>{0.5f, 4.5f, 2.5f, 3.5f}));

    // Removing the last record just drops it.
    EXPECT_EQ(index.swap_remove(3), 3u);
    EXPECT_EQ(index.records(), (std::vector<uint8_t>{0, 10, 4, 14, 2, 12}));
    EXPECT_EQ(index.norms().size(), 3u);
}

TEST(OnceCell, ConcurrentCallersShareOneBuild) {
    OnceCell<int> cell;
    std::atomic<int> builds{0};
    std::vector<std::thread> threads;
    std::vector<const int*> seen(8, nullptr);
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            seen[t] = &cell.get_or_build([&] {
                builds.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return 42;
            });
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(builds.load(), 1);
    for (const int* value : seen) {
        EXPECT_EQ(value, seen[0]);
        EXPECT_EQ(*value, 42);
    }
}

TEST(OnceCell, FailedBuildLeavesItEmptyForTheNextCaller) {
    OnceCell<int> cell;
    EXPECT_THROW(cell.get_or_build([]() -> int { throw Error("first build fails"); }), Error);
    EXPECT_FALSE(cell.is_built());
    EXPECT_EQ(cell.get_or_build([] { return 7; }), 7);
    EXPECT_TRUE(cell.is_built());
    EXPECT_EQ(cell.get_or_build([]() -> int { throw Error("never called"); }), 7);
}

// A mutex that counts the callers that have asked for one, so that a test knows when one waits.
struct CountingMutex {
    static inline std::atomic<int> requests{0};
    std::mutex mutex;
    void lock() {
        requests.fetch_add(1);
        requests.notify_all();
        mutex.lock();
    }
    void unlock() { mutex.unlock(); }
};

TEST(OnceCell, WaiterBuildsAfterTheBuildItWaitedForFails) {
    OnceCell<int, CountingMutex> cell;
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> builds{0};

    auto failing = std::async(std::launch::async, [&] {
        return cell.get_or_build([&]() -> int {
            builds.fetch_add(1);
            started.set_value();
            released.wait();
            throw std::runtime_error("build failed");
        });
    });
    started.get_future().wait();
    auto waiting = std::async(std::launch::async, [&] {
        return cell.get_or_build([&] {
            builds.fetch_add(1);
            return 11;
        });
    });
    // The build in progress holds the lock; once the second caller has asked for it, it waits.
    for (int seen = CountingMutex::requests.load(); seen < 2;
         seen = CountingMutex::requests.load()) {
        CountingMutex::requests.wait(seen);
    }
    release.set_value();

    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_EQ(waiting.get(), 11);
    EXPECT_EQ(builds.load(), 2);
    EXPECT_TRUE(cell.is_built());
}

}  // namespace
}  // namespace quilane
