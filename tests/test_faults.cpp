// Failures injected where real ones are hard to provoke: system calls of the file code (through
// the hooks of a QUILANE_FAULT_INJECTION build) and memory allocations (through the replaceable
// global operator new of this executable).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "file_helpers.hpp"
#include "interrupt.hpp"
#include "io.hpp"

namespace {

// Allocations on this thread still to succeed before one fails; negative when disarmed.
thread_local long allocations_before_failure = -1;

void* allocate(size_t size) {
    if (allocations_before_failure == 0) {
        allocations_before_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_before_failure > 0) {
        --allocations_before_failure;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) {
    return allocate(size);
}
void* operator new[](size_t size) {
    return allocate(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, size_t) noexcept {
    std::free(memory);
}

namespace quilane {
namespace {

using test::index_from_noise;
using test::io_error_of;
using test::read_all;
using test::TempDir;
using Bytes = std::vector<uint8_t>;

// Runs call with the allocation after `skip` further ones failing; true when it threw bad_alloc.
template <class Call>
bool fails_with_allocation(long skip, Call&& call) {
    allocations_before_failure = skip;
    try {
        call();
    } catch (const std::bad_alloc&) {
        allocations_before_failure = -1;
        return true;
    }
    allocations_before_failure = -1;
    return false;
}

struct InjectedFault {
    SysCall call;
    int skip;
    int err;
    const char* message;
};

// Large enough that its codes are written in a piece of their own, between two buffer flushes.
GyrelIndex large_index() {
    return index_from_noise(256, 4, Rotation::Rotor3, 8, 64);
}

TEST(WriteFaults, LeaveTheOldFileIntactAndNoTemporaryFile) {
    const InjectedFault faults[] = {
        {SysCall::Open, 0, EMFILE, "Too many open files (os error 24)"},
        {SysCall::Write, 0, ENOSPC, "No space left on device (os error 28)"},
        {SysCall::Write, 1, ENOSPC, "No space left on device (os error 28)"},
        {SysCall::Write, 2, EDQUOT, "Disk quota exceeded (os error 122)"},
        {SysCall::Write, 1, 0, "failed to write whole buffer"},
        {SysCall::Fsync, 0, EIO, "Input/output error (os error 5)"},
        {SysCall::Close, 0, EIO, "Input/output error (os error 5)"},
        {SysCall::Rename, 0, EXDEV, "Invalid cross-device link (os error 18)"},
    };
    const GyrelIndex old_index = index_from_noise(8, 2, Rotation::Rotor3, 1, 3);
    const GyrelIndex new_index = large_index();
    for (const InjectedFault& fault : faults) {
        SCOPED_TRACE(fault.message);
        TempDir dir;
        const std::string path = dir.file("index");
        write_index(path, old_index);
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
        const Bytes before = read_all(path);
        const size_t descriptors = test::open_descriptor_count();

        inject_fault(fault.call, fault.skip, fault.err);
        EXPECT_EQ(io_error_of([&] { write_index(path, new_index); }), fault.message);
        clear_fault();

        EXPECT_EQ(read_all(path), before);
        struct stat status;
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0640u);
        EXPECT_EQ(dir.names(), std::set<std::string>{"index"});
        EXPECT_EQ(test::open_descriptor_count(), descriptors);

        inject_fault(fault.call, fault.skip, fault.err);
        EXPECT_EQ(io_error_of([&] { write_index(dir.file("fresh"), new_index); }), fault.message);
        clear_fault();
        EXPECT_EQ(dir.names(), std::set<std::string>{"index"});
    }
}

// Once the rename is done the new file is in place; a failure to make that durable is still
// reported, while a file system that cannot sync directories at all is no failure.
TEST(WriteFaults, DirectorySyncComesAfterTheRename) {
    TempDir dir;
    const std::string path = dir.file("index");
    const GyrelIndex index = large_index();
    inject_fault(SysCall::Fsync, 1, EIO);
    EXPECT_EQ(io_error_of([&] { write_index(path, index); }), "Input/output error (os error 5)");
    clear_fault();
    EXPECT_EQ(read_all(path).size(), 23 + 4 * 32 * 64 + 4 * 64u);

    inject_fault(SysCall::Fsync, 1, EINVAL);
    EXPECT_EQ(io_error_of([&] { write_index(path, index); }), "no error");
    clear_fault();
    EXPECT_EQ(dir.names(), std::set<std::string>{"index"});
}

// How many times the installed interrupt check has run, and whether it asks to stop.
int interrupt_checks = 0;
bool stop_requested = false;

bool count_and_answer() {
    ++interrupt_checks;
    return stop_requested;
}

// Installs count_and_answer for one test and removes it again.
struct InstalledInterruptCheck {
    explicit InstalledInterruptCheck(bool stop) {
        interrupt_checks = 0;
        stop_requested = stop;
        set_interrupt_check(count_and_answer);
    }
    InstalledInterruptCheck(const InstalledInterruptCheck&) = delete;
    InstalledInterruptCheck& operator=(const InstalledInterruptCheck&) = delete;
    ~InstalledInterruptCheck() { set_interrupt_check(nullptr); }
};

// A signal that interrupts a blocking call asks the host whether to stop: a call told to stop
// unwinds with Interrupted, keeping the old file and leaving no temporary file or descriptor;
// otherwise the system call is retried and the operation completes.
TEST(InterruptedCalls, StopOnlyWhenTheHostSaysSo) {
    const GyrelIndex old_index = large_index();
    const GyrelIndex new_index = index_from_noise(256, 4, Rotation::Rotor3, 9, 64);
    const std::pair<SysCall, int> interrupted[] = {
        {SysCall::Open, 0}, {SysCall::Write, 0}, {SysCall::Write, 1},
        {SysCall::Read, 0}, {SysCall::Read, 1},
    };
    for (const auto& [call, skip] : interrupted) {
        SCOPED_TRACE(static_cast<int>(call) * 10 + skip);
        const auto run = [&, call = call](const std::string& path) {
            if (call == SysCall::Read) {
                EXPECT_EQ(read_index(path).len(), old_index.len());
            } else {
                write_index(path, new_index);
            }
        };
        TempDir dir;
        const std::string path = dir.file("index");
        write_index(path, old_index);
        const Bytes before = read_all(path);
        const size_t descriptors = test::open_descriptor_count();
        {
            InstalledInterruptCheck check(true);
            inject_fault(call, skip, EINTR);
            EXPECT_THROW(run(path), Interrupted);
            clear_fault();
            EXPECT_EQ(interrupt_checks, 1);
        }
        EXPECT_EQ(read_all(path), before);
        EXPECT_EQ(dir.names(), std::set<std::string>{"index"});
        EXPECT_EQ(test::open_descriptor_count(), descriptors);

        InstalledInterruptCheck check(false);
        inject_fault(call, skip, EINTR);
        run(path);
        clear_fault();
        EXPECT_EQ(interrupt_checks, 1);
        const GyrelIndex& expected = call == SysCall::Read ? old_index : new_index;
        EXPECT_EQ(read_all(path), index_file_bytes(expected));
    }
}

TEST(ReadFaults, EveryFailingCallIsReportedAndClosesTheFile) {
    TempDir dir;
    const std::string path = dir.file("index");
    write_id_map(path, IdMapIndex::from_parts(large_index(), [] {
                     std::vector<uint64_t> ids(64);
                     for (uint64_t i = 0; i < ids.size(); ++i) {
                         ids[i] = i * 3;
                     }
                     return ids;
                 }()));
    const size_t descriptors = test::open_descriptor_count();

    inject_fault(SysCall::Open, 0, EACCES);
    EXPECT_EQ(io_error_of([&] { read_id_map(path); }), "Permission denied (os error 13)");
    clear_fault();

    int failed_reads = 0;
    for (int skip = 0;; ++skip) {
        inject_fault(SysCall::Read, skip, EIO);
        const std::string message = io_error_of([&] { read_id_map(path); });
        clear_fault();
        if (message == "no error") {
            break;
        }
        EXPECT_EQ(message, "Input/output error (os error 5)") << "read " << skip;
        ++failed_reads;
    }
    EXPECT_GE(failed_reads, 2);

    long skip = 0;
    while (fails_with_allocation(skip, [&] { read_id_map(path); })) {
        ++skip;
    }
    EXPECT_GT(skip, 3);
    EXPECT_EQ(test::open_descriptor_count(), descriptors);
}

// Wherever adding a batch runs out of memory (the batch check, the map, the id list, the
// encoding, or the caches that a first add builds), the index is left as it was and still works.
TEST(IdMapFaults, AllocationFailureAnywhereInAddLeavesTheIndexUnchanged) {
    IdMapIndex index = IdMapIndex::with_options(16, 3, Rotation::WalshRotor3, 3);
    const std::vector<float> batch = test::random_vectors(3, 16, 4);
    const std::vector<uint64_t> ids = {7, 8, 9};

    // A first add builds the caches, hundreds of allocations deep; its first few (the id map's
    // own and the start of the inner add) are enough to reach the rollback.
    for (long skip = 0; skip < 16; ++skip) {
        ASSERT_TRUE(fails_with_allocation(skip, [&] { index.add_with_ids(batch, ids); }));
        EXPECT_EQ(index.len(), 0u);
        EXPECT_EQ(index.inner().len(), 0u);
        EXPECT_TRUE(index.inner().block_codes().empty());
        EXPECT_FALSE(index.contains(7) || index.contains(8) || index.contains(9));
    }
    index.add_with_ids(batch, ids);

    const std::vector<uint64_t> more_ids = {1, 2, 3};
    const std::vector<uint64_t> stored(index.ids().begin(), index.ids().end());
    long skip = 0;
    while (fails_with_allocation(skip, [&] { index.add_with_ids(batch, more_ids); })) {
        EXPECT_TRUE(std::ranges::equal(index.ids(), stored));
        EXPECT_EQ(index.inner().len(), 3u);
        EXPECT_FALSE(index.contains(1) || index.contains(2) || index.contains(3));
        EXPECT_TRUE(index.contains(7) && index.contains(8) && index.contains(9));
        ++skip;
    }
    EXPECT_GT(skip, 5);
    EXPECT_EQ(index.len(), 6u);
    EXPECT_TRUE(index.remove(8));
    EXPECT_EQ(index.ids()[1], 3u);
}

}  // namespace
}  // namespace quilane

namespace quilane {
namespace {

// Runs call with the allocation after skip = 0, 1, 2, ... failing, until a run gets through;
// after every failed run, check(). Returns how many runs failed.
template <class Call, class Check>
long fail_every_allocation_in_turn(Call&& call, Check&& check) {
    long skip = 0;
    while (fails_with_allocation(skip, call)) {
        check();
        ++skip;
    }
    return skip;
}

bool same_results(const SearchResults& a, const SearchResults& b) {
    return a.positions == b.positions && a.scores.size() == b.scores.size() &&
           std::equal(a.scores.begin(), a.scores.end(), b.scores.begin(), [](float x, float y) {
               return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
           });
}

// Whichever allocation of a call fails, the call throws bad_alloc, the index keeps its contents
// and caches stay consistent: the next call that gets through answers as an untouched twin does.
TEST(AllocationFaults, EveryMethodOfThePlainIndexSurvivesEachFailingAllocation) {
    const std::vector<float> vectors = test::random_vectors(40, 24, 9);
    const std::vector<float> queries = test::random_vectors(3, 24, 10);
    GyrelIndex twin(24, 3, Rotation::Iso4, 5);
    twin.add(vectors);
    const SearchResults expected = twin.search(queries, 7);

    GyrelIndex index(24, 3, Rotation::Iso4, 5);
    EXPECT_GT(fail_every_allocation_in_turn([&] { index.add(vectors); },
                                            [&] { EXPECT_EQ(index.len(), 0u); }),
              0);
    EXPECT_EQ(index.records(), twin.records());

    TempDir dir;
    const std::string path = dir.file("index");
    write_index(path, index);
    const Bytes written = read_all(path);
    GyrelIndex loaded = read_index(path);
    EXPECT_GT(fail_every_allocation_in_turn([&] { loaded.search(queries, 7); }, [] {}), 0);
    EXPECT_TRUE(same_results(loaded.search(queries, 7), expected));

    const std::vector<uint8_t> records = index.records();
    EXPECT_GT(fail_every_allocation_in_turn([&] { index.swap_remove(3); },
                                            [&] { EXPECT_EQ(index.records(), records); }),
              0);
    EXPECT_EQ(index.len(), 39u);

    const size_t descriptors = test::open_descriptor_count();
    const auto old_file_kept = [&] {
        EXPECT_EQ(read_all(path), written);
        EXPECT_EQ(dir.names(), std::set<std::string>{"index"});
        EXPECT_EQ(test::open_descriptor_count(), descriptors);
    };
    EXPECT_GT(fail_every_allocation_in_turn([&] { write_index(path, loaded); }, old_file_kept), 0);
    EXPECT_GT(fail_every_allocation_in_turn([&] { read_index(path); }, [] {}), 0);
}

TEST(AllocationFaults, IdMapSearchAndLoadSurviveEachFailingAllocation) {
    const std::vector<float> vectors = test::random_vectors(30, 16, 11);
    const std::vector<uint64_t> ids = [] {
        std::vector<uint64_t> values(30);
        for (uint64_t i = 0; i < values.size(); ++i) {
            values[i] = ~uint64_t{0} - i;
        }
        return values;
    }();
    IdMapIndex index = IdMapIndex::with_options(16, 2, Rotation::WalshRotor3, 8);
    index.add_with_ids(vectors, ids);
    const std::vector<uint8_t> bytes = id_map_file_bytes(index);
    const IdMapIndex::Results expected = index.search(vectors, 4);

    IdMapIndex loaded = id_map_from_bytes(bytes);
    EXPECT_GT(fail_every_allocation_in_turn([&] { loaded = id_map_from_bytes(bytes); }, [] {}), 0);
    EXPECT_GT(fail_every_allocation_in_turn([&] { loaded.search(vectors, 4); }, [] {}), 0);
    const IdMapIndex::Results got = loaded.search(vectors, 4);
    EXPECT_EQ(got.ids, expected.ids);
    EXPECT_TRUE(loaded.remove(ids[0]) && !loaded.contains(ids[0]));
    EXPECT_EQ(loaded.len(), 29u);
}

}  // namespace
}  // namespace quilane
