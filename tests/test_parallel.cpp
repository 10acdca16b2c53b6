// The one way the engine runs in parallel: the thread limit and the interrupt check, for the
// pool's loops and for the encoder's sequential one. The concurrent cases are also run by the
// ThreadSanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "error.hpp"
#include "file_helpers.hpp"
#include "id_map.hpp"
#include "interrupt.hpp"
#include "lib.hpp"
#include "parallel.hpp"

namespace quilane {
namespace {

// Asks to stop from the given call of the check on; counts the calls.
std::atomic<int> checks{0};
std::atomic<int> stop_from{0};

bool stop_when_due() {
    return ++checks >= stop_from.load();
}

class InstalledCheck {
  public:
    explicit InstalledCheck(int first_stop) {
        checks = 0;
        stop_from = first_stop;
        set_interrupt_check(stop_when_due);
    }
    ~InstalledCheck() { set_interrupt_check(nullptr); }
};

// Restores the default limit of the process after a test changed it.
class LimitScope {
  public:
    LimitScope() : saved_(thread_limit()) {}
    ~LimitScope() { set_thread_limit(saved_); }

  private:
    size_t saved_;
};

void wait_a_little() {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

TEST(Parallel, EveryIterationRunsOnceWithinTheLimit) {
    const LimitScope scope;
    for (const size_t limit : {size_t{1}, size_t{2}, size_t{8}}) {
        set_thread_limit(limit);
        EXPECT_EQ(thread_limit(), limit);
        std::vector<std::atomic<int>> runs(1000);
        std::mutex mutex;
        std::set<std::thread::id> threads;
        parallel_for_each(runs.size(), [&](size_t i) {
            ++runs[i];
            const std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
        });
        for (const std::atomic<int>& count : runs) {
            ASSERT_EQ(count.load(), 1);
        }
        if (limit == 1) {
            // One thread in all: the caller's.
            EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
        }
    }
    EXPECT_THROW(set_thread_limit(0), Error);
}

TEST(Parallel, SearchResultsDoNotDependOnTheLimit) {
    const LimitScope scope;
    const std::vector<float> vectors = test::random_vectors(2000, 64, 11);
    const std::vector<float> queries = test::random_vectors(7, 64, 12);
    GyrelIndex index(64, 4, Rotation::Rotor3, 3);
    index.add(vectors);
    set_thread_limit(1);
    const SearchResults one = index.search(queries, 20);
    set_thread_limit(2);
    const SearchResults two = index.search(queries, 20);
    EXPECT_EQ(one.positions, two.positions);
    EXPECT_EQ(one.scores, two.scores);
}

TEST(Parallel, AnInterruptDropsTheIterationsNotStarted) {
    for (const size_t limit : {size_t{1}, size_t{2}}) {
        const LimitScope scope;
        set_thread_limit(limit);
        const InstalledCheck check(1);
        std::atomic<size_t> ran{0};
        EXPECT_THROW(parallel_for_each(100000,
                                       [&](size_t) {
                                           wait_a_little();
                                           ++ran;
                                       }),
                     Interrupted);
        // 100,000 iterations of 200 us would take 10 s per thread; the first check (after 5 ms)
        // stopped them.
        EXPECT_LT(ran.load(), size_t{100000});
        EXPECT_GE(checks.load(), 1);
    }
}

TEST(Parallel, AnExceptionOfTheBodyReachesTheCaller) {
    EXPECT_THROW(parallel_for_each(1000,
                                   [](size_t i) {
                                       if (i == 500) {
                                           fail("body failed");
                                       }
                                   }),
                 Error);
}

TEST(Parallel, InterruptedAddStoresNothingAndTheIndexStaysUsable) {
    const std::vector<float> first = test::random_vectors(100, 32, 5);
    // Enough vectors that encoding outlasts the poll interval many times over.
    const std::vector<float> batch = test::random_vectors(400000, 32, 6);
    GyrelIndex index(32, 2, Rotation::Planar2, 9);
    index.add(first);
    IdMapIndex mapped = IdMapIndex::with_options(32, 2, Rotation::Planar2, 9);
    std::vector<uint64_t> ids(400000);
    for (uint64_t i = 0; i < ids.size(); ++i) {
        ids[i] = i + 1000;
    }
    const SearchResults before = index.search(first, 5);
    {
        const InstalledCheck check(1);
        EXPECT_THROW(index.add(batch), Interrupted);
        EXPECT_THROW(mapped.add_with_ids(batch, ids), Interrupted);
    }
    EXPECT_EQ(index.len(), 100u);
    EXPECT_EQ(mapped.len(), 0u);
    EXPECT_FALSE(mapped.contains(1000));
    const SearchResults after = index.search(first, 5);
    EXPECT_EQ(before.positions, after.positions);
    EXPECT_EQ(before.scores, after.scores);
    mapped.add_with_ids(std::span<const float>(batch).first(320), std::span(ids).first(10));
    EXPECT_EQ(mapped.len(), 10u);
}

TEST(Parallel, InterruptedSearchLeavesTheIndexUsable) {
    const std::vector<float> vectors = test::random_vectors(20000, 64, 7);
    const std::vector<float> queries = test::random_vectors(2000, 64, 8);
    GyrelIndex index(64, 3, Rotation::Rotor3, 4);
    index.add(vectors);
    const SearchResults expected = index.search(std::span(queries).first(64), 3);
    {
        const InstalledCheck check(1);
        EXPECT_THROW(index.search(queries, 3), Interrupted);
    }
    const SearchResults again = index.search(std::span(queries).first(64), 3);
    EXPECT_EQ(expected.positions, again.positions);
}

// For the ThreadSanitizer build: searches on several threads while the limit changes.
TEST(Parallel, ConcurrentSearchesWhileTheLimitChanges) {
    const LimitScope scope;
    const std::vector<float> vectors = test::random_vectors(3000, 32, 13);
    const std::vector<float> queries = test::random_vectors(5, 32, 14);
    GyrelIndex index(32, 2, Rotation::Iso4, 6);
    index.add(vectors);
    const SearchResults expected = index.search(queries, 8);
    std::atomic<int> agreed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                agreed += index.search(queries, 8).positions == expected.positions ? 1 : 0;
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        set_thread_limit(1 + round % 3);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(agreed.load(), 60);
}

}  // namespace
}  // namespace quilane
