#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "file_helpers.hpp"
#include "index_file.hpp"

namespace quilane {
namespace {

using test::index_from_noise;
using test::io_error_of;
using test::kAllKinds;
using test::random_vectors;
using test::read_all;
using test::TempDir;
using test::write_all_bytes;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMaxId = std::numeric_limits<uint64_t>::max();

// Field offsets in both formats.
constexpr size_t kVersionAt = 4;
constexpr size_t kBitsAt = 5;
constexpr size_t kTagAt = 6;
constexpr size_t kDimAt = 7;
constexpr size_t kCountAt = 11;

void put_u32(Bytes& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

Bytes file_bytes_of(const GyrelIndex& index) {
    TempDir dir;
    write_index(dir.file("x.qlix"), index);
    return read_all(dir.file("x.qlix"));
}

Bytes file_bytes_of(const IdMapIndex& index) {
    TempDir dir;
    write_id_map(dir.file("x.qlim"), index);
    return read_all(dir.file("x.qlim"));
}

std::string read_error_of(const Bytes& bytes, bool id_mapped) {
    TempDir dir;
    write_all_bytes(dir.file("f"), bytes);
    if (id_mapped) {
        return io_error_of([&] { read_id_map(dir.file("f")); });
    }
    return io_error_of([&] { read_index(dir.file("f")); });
}

IdMapIndex id_map_from_noise(uint64_t dim, uint64_t bits, Rotation kind, uint64_t n) {
    std::vector<uint64_t> ids;
    for (uint64_t p = 0; p < n; ++p) {
        ids.push_back(p == 0 ? kMaxId : p * 0x9e3779b97f4a7c15ULL);
    }
    return IdMapIndex::from_parts(index_from_noise(dim, bits, kind, 99 + n, n), std::move(ids));
}

// Equal bit patterns, so that NaNs and signed zeros count as written.
bool same_bits(std::span<const float> a, std::span<const float> b) {
    return std::ranges::equal(a, b, [](float x, float y) {
        return std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
    });
}

void expect_same_record(const GyrelIndex& a, const GyrelIndex& b) {
    EXPECT_EQ(a.dim(), b.dim());
    EXPECT_EQ(a.bits(), b.bits());
    EXPECT_EQ(a.rotation(), b.rotation());
    EXPECT_EQ(a.seed(), b.seed());
    EXPECT_EQ(a.len(), b.len());
    EXPECT_TRUE(a.records() == b.records());
    EXPECT_TRUE(same_bits(a.norms(), b.norms()));
}

TEST(IndexFile, SmallFilesHaveTheExactLayout) {
    const GyrelIndex one = GyrelIndex::from_parts(8, 2, Rotation::Rotor3, 0x0102030405060708ULL, 1,
                                                  {0xab, 0xcd}, {1.5f});
    const Bytes core = {2, 3, 8, 0, 0, 0, 1, 0, 0, 0, 0xab, 0xcd, 0x00, 0x00, 0xc0, 0x3f};
    const Bytes seed = {8, 7, 6, 5, 4, 3, 2, 1};
    Bytes plain = {'Q', 'L', 'I', 'X', 2};
    plain.insert(plain.end(), core.begin(), core.end());
    plain.insert(plain.end(), seed.begin(), seed.end());
    EXPECT_EQ(file_bytes_of(one), plain);
    EXPECT_EQ(plain.size(), 29u);

    Bytes mapped = plain;
    mapped[3] = 'M';
    const Bytes id = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    mapped.insert(mapped.end(), id.begin(), id.end());
    EXPECT_EQ(file_bytes_of(IdMapIndex::from_parts(
                  GyrelIndex::from_parts(8, 2, Rotation::Rotor3, 0x0102030405060708ULL, 1,
                                         {0xab, 0xcd}, {1.5f}),
                  {0x8877665544332211ULL})),
              mapped);
    EXPECT_EQ(mapped.size(), 37u);

    TempDir dir;
    const GyrelIndex empty(64, 4, Rotation::WalshRotor3, 77);
    write_index(dir.file("e.qlix"), empty);
    write_id_map(dir.file("e.qlim"), IdMapIndex::with_options(64, 4, Rotation::WalshRotor3, 77));
    EXPECT_EQ(read_all(dir.file("e.qlix")).size(), 23u);
    EXPECT_EQ(read_all(dir.file("e.qlim")).size(), 23u);
    expect_same_record(read_index(dir.file("e.qlix")), empty);
    const IdMapIndex loaded = read_id_map(dir.file("e.qlim"));
    expect_same_record(loaded.inner(), empty);
    EXPECT_EQ(loaded.len(), 0u);
}

TEST(IndexFile, RoundTripsAreByteExactForEveryKindWidthAndSize) {
    TempDir dir;
    for (const Rotation kind : kAllKinds) {
        for (const uint64_t dim : {16u, 24u}) {
            if (kind == Rotation::WalshRotor3 && dim == 24) {
                continue;
            }
            for (uint64_t bits = 2; bits <= 4; ++bits) {
                for (const uint64_t n : {0u, 1u, 7u}) {
                    SCOPED_TRACE(testing::Message() << rotation_name(kind) << " dim " << dim
                                                    << " bits " << bits << " n " << n);
                    const GyrelIndex index = index_from_noise(dim, bits, kind, 1000 + n, n);
                    const Bytes written = file_bytes_of(index);
                    EXPECT_EQ(written.size(), 23 + bits * dim / 8 * n + 4 * n);
                    write_all_bytes(dir.file("a"), written);
                    const GyrelIndex loaded = read_index(dir.file("a"));
                    expect_same_record(loaded, index);
                    EXPECT_EQ(file_bytes_of(loaded), written);

                    const IdMapIndex mapped = id_map_from_noise(dim, bits, kind, n);
                    const Bytes mapped_written = file_bytes_of(mapped);
                    EXPECT_EQ(mapped_written.size(), 23 + bits * dim / 8 * n + 12 * n);
                    write_all_bytes(dir.file("b"), mapped_written);
                    const IdMapIndex mapped_loaded = read_id_map(dir.file("b"));
                    expect_same_record(mapped_loaded.inner(), mapped.inner());
                    EXPECT_TRUE(std::ranges::equal(mapped_loaded.ids(), mapped.ids()));
                    for (const uint64_t id : mapped.ids()) {
                        EXPECT_TRUE(mapped_loaded.contains(id));
                    }
                    EXPECT_EQ(file_bytes_of(mapped_loaded), mapped_written);
                }
            }
        }
    }
}

TEST(IndexFile, LoadedIndexesSearchExactlyLikeTheWrittenOnes) {
    TempDir dir;
    const uint64_t dim = 32;
    const std::vector<float> vectors = random_vectors(40, dim, 21);
    const std::vector<float> queries = random_vectors(6, dim, 22);
    for (const Rotation kind : kAllKinds) {
        for (uint64_t bits = 2; bits <= 4; ++bits) {
            SCOPED_TRACE(testing::Message() << rotation_name(kind) << " bits " << bits);
            GyrelIndex index(dim, bits, kind, 5150 + bits);
            index.add(vectors);
            write_index(dir.file("p"), index);
            GyrelIndex loaded = read_index(dir.file("p"));
            EXPECT_FALSE(loaded.block_matrices_built() || loaded.centroids_built() ||
                         loaded.sign_vector_built());
            const SearchResults want = index.search(queries, 10);
            const SearchResults got = loaded.search(queries, 10);
            EXPECT_EQ(got.positions, want.positions);
            EXPECT_TRUE(same_bits(got.scores, want.scores));

            IdMapIndex mapped = IdMapIndex::with_options(dim, bits, kind, 8 + bits);
            std::vector<uint64_t> ids(40);
            for (uint64_t i = 0; i < ids.size(); ++i) {
                ids[i] = (i * 7919) ^ 0xfeedULL;
            }
            mapped.add_with_ids(vectors, ids);
            mapped.remove(ids[3]);
            write_id_map(dir.file("m"), mapped);
            IdMapIndex mapped_loaded = read_id_map(dir.file("m"));
            const IdMapIndex::Results mapped_want = mapped.search(queries, 10);
            const IdMapIndex::Results mapped_got = mapped_loaded.search(queries, 10);
            EXPECT_EQ(mapped_got.ids, mapped_want.ids);
            EXPECT_TRUE(same_bits(mapped_got.scores, mapped_want.scores));
        }
    }
}

TEST(IndexFile, ReaderRefusesBadMagicVersionTagAndParameters) {
    const Bytes plain = file_bytes_of(GyrelIndex(16, 3, Rotation::Rotor3, 4));
    const Bytes mapped = file_bytes_of(IdMapIndex::with_options(16, 3, Rotation::Rotor3, 4));
    EXPECT_EQ(read_error_of(mapped, false), "not a QLIX file: wrong magic");
    EXPECT_EQ(read_error_of(plain, true), "not a QLIM file: wrong magic");

    auto patched = [](Bytes bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    for (const uint8_t version : {0, 1, 3, 255}) {
        EXPECT_EQ(read_error_of(patched(plain, kVersionAt, version), false),
                  "unsupported QLIX version: " + std::to_string(version));
        EXPECT_EQ(read_error_of(patched(mapped, kVersionAt, version), true),
                  "unsupported QLIM version: " + std::to_string(version));
    }
    for (const uint8_t tag : {0, 1, 6, 255}) {
        EXPECT_EQ(read_error_of(patched(plain, kTagAt, tag), false),
                  "unknown rotation kind tag: " + std::to_string(tag));
    }
    TempDir dir;
    for (const Rotation kind : kAllKinds) {
        write_all_bytes(dir.file("t"), patched(plain, kTagAt, static_cast<uint8_t>(kind) + 2));
        EXPECT_EQ(read_index(dir.file("t")).rotation(), kind);
    }
    for (const uint8_t bits : {0, 1, 5, 7, 255}) {
        EXPECT_EQ(read_error_of(patched(plain, kBitsAt, bits), false),
                  "invalid bits in index file: " + std::to_string(bits));
    }
    for (const uint32_t dim : {0u, 12u, 4294967295u}) {
        Bytes bad = plain;
        put_u32(bad, kDimAt, dim);
        EXPECT_EQ(read_error_of(bad, false), "invalid dim in index file: " + std::to_string(dim) +
                                                 " (must be a positive multiple of 8)");
    }
    Bytes walsh = patched(plain, kTagAt, 5);
    put_u32(walsh, kDimAt, 24);
    EXPECT_EQ(read_error_of(walsh, false),
              "invalid dim in index file: 24 (walshrotor3 needs a power of 2)");
}

TEST(IndexFile, EveryTruncationFailsToFillAndTrailingBytesAreIgnored) {
    const Bytes plain = file_bytes_of(index_from_noise(8, 3, Rotation::Iso4, 31, 2));
    const Bytes mapped = file_bytes_of(id_map_from_noise(8, 3, Rotation::Iso4, 2));
    for (const auto& [whole, id_mapped] : {std::pair{plain, false}, std::pair{mapped, true}}) {
        for (size_t length = 0; length < whole.size(); ++length) {
            EXPECT_EQ(read_error_of(Bytes(whole.begin(), whole.begin() + length), id_mapped),
                      "failed to fill whole buffer")
                << "cut at " << length << (id_mapped ? " of QLIM" : " of QLIX");
        }
    }

    TempDir dir;
    Bytes longer = plain;
    longer.insert(longer.end(), {'Q', 'L', 'I', 'X', 9, 9, 9});
    write_all_bytes(dir.file("p"), longer);
    EXPECT_EQ(file_bytes_of(read_index(dir.file("p"))), plain);
    longer = mapped;
    longer.resize(longer.size() + 100, 0xee);
    write_all_bytes(dir.file("m"), longer);
    EXPECT_EQ(file_bytes_of(read_id_map(dir.file("m"))), mapped);
}

long peak_resident_kib() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Headers that claim far more than the file holds must fail like any short file, without
// trying to allocate what they claim; from a stream too, where no size is known up front.
TEST(IndexFile, HeadersClaimingMoreThanTheFileHoldsFailWithoutAllocating) {
    auto header = [](const char* magic, uint32_t dim, uint32_t n) {
        Bytes bytes(100, 0);
        std::memcpy(bytes.data(), magic, 4);
        bytes[kVersionAt] = 2;
        bytes[kBitsAt] = 2;
        bytes[kTagAt] = 3;
        put_u32(bytes, kDimAt, dim);
        put_u32(bytes, kCountAt, n);
        return bytes;
    };
    const long peak_before = peak_resident_kib();
    EXPECT_EQ(read_error_of(header("QLIX", 4294967288u, 4294967295u), false),
              "failed to fill whole buffer");
    EXPECT_EQ(read_error_of(header("QLIM", 4294967288u, 4294967295u), true),
              "failed to fill whole buffer");
    EXPECT_EQ(read_error_of(header("QLIX", 8, 4294967295u), false), "failed to fill whole buffer");
    // Codes and norms present, ids missing: 4 of 4 vectors' ids claimed, none there.
    Bytes no_ids = header("QLIM", 8, 4);
    no_ids.resize(15 + 8 + 16 + 8);
    EXPECT_EQ(read_error_of(no_ids, true), "failed to fill whole buffer");

    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes hostile = header("QLIX", 8, 4294967295u);
    std::thread feeder([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::write(fd, hostile.data(), hostile.size()),
                  static_cast<ssize_t>(hostile.size()));
        ::close(fd);
    });
    EXPECT_EQ(io_error_of([&] { read_index(fifo); }), "failed to fill whole buffer");
    feeder.join();
    EXPECT_LT(peak_resident_kib() - peak_before, 64 * 1024);
}

TEST(IndexFile, RepeatedIdsAreRefusedEvenForIdenticalVectors) {
    GyrelIndex twins =
        GyrelIndex::from_parts(8, 2, Rotation::Rotor3, 1, 2, {1, 2, 1, 2}, {3.0f, 3.0f});
    Bytes bytes = file_bytes_of(IdMapIndex::from_parts(std::move(twins), {5, 6}));
    bytes[bytes.size() - 8] = 5;
    EXPECT_EQ(read_error_of(bytes, true), "duplicate ids in .qlim file");
}

TEST(IndexFile, FailuresCarryTheSystemTextAndCloseEveryDescriptor) {
    TempDir dir;
    const size_t descriptors = test::open_descriptor_count();
    const GyrelIndex index = index_from_noise(8, 2, Rotation::Rotor3, 3, 2);

    EXPECT_EQ(io_error_of([&] { read_index(dir.file("missing")); }),
              "No such file or directory (os error 2)");
    EXPECT_EQ(io_error_of([&] { write_index(dir.file("no/such/dir/f"), index); }),
              "No such file or directory (os error 2)");
    EXPECT_EQ(io_error_of([&] { read_id_map(dir.path); }), "Is a directory (os error 21)");
    EXPECT_EQ(io_error_of([&] { write_index(dir.path, index); }), "Is a directory (os error 21)");

    const std::string with_nul = dir.file("a") + std::string(1, '\0') + "b";
    EXPECT_EQ(io_error_of([&] { write_index(with_nul, index); }),
              "file name contained an unexpected NUL byte");
    EXPECT_EQ(io_error_of([&] { read_index(with_nul); }),
              "file name contained an unexpected NUL byte");

    // Sizes the 32-bit header fields cannot hold are refused before anything is created.
    EXPECT_EQ(io_error_of([&] {
                  write_index(dir.file("wide"), GyrelIndex(4294967304u, 2, Rotation::Rotor3, 1));
              }),
              "cannot write index: dim 4294967304 does not fit in 32 bits");
    EXPECT_EQ(io_error_of([&] { check_fits_file(8, 4294967296u); }),
              "cannot write index: 4294967296 vectors do not fit in 32 bits");
    EXPECT_EQ(dir.names(), std::set<std::string>{});

    const Bytes whole = file_bytes_of(index);
    for (const size_t length : {0u, 10u, 20u}) {
        read_error_of(Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length)), false);
    }
    EXPECT_EQ(test::open_descriptor_count(), descriptors);
}

TEST(IndexFile, WritingReplacesRegularFilesAndKeepsTheirPermissions) {
    TempDir dir;
    const GyrelIndex old_index = index_from_noise(8, 2, Rotation::Rotor3, 1, 1);
    const GyrelIndex new_index = index_from_noise(16, 4, Rotation::Iso4, 2, 3);
    const std::string path = dir.file("idx");

    const mode_t saved_mask = ::umask(027);
    write_index(path, old_index);
    struct stat status;
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    write_index(path, new_index);
    ::umask(saved_mask);
    EXPECT_EQ(read_all(path), file_bytes_of(new_index));
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0604u);
    EXPECT_EQ(dir.names(), std::set<std::string>{"idx"});
}

// Run unprivileged in a child, as root passes every permission check: a read-only file is
// refused as a write in place would refuse it, a writable one is replaced and stays writable.
TEST(IndexFile, ReadOnlyFilesAreNotReplaced) {
    constexpr uid_t kNobody = 65534;
    TempDir dir;
    const std::string locked = dir.file("locked");
    const std::string open = dir.file("open");
    write_all_bytes(locked, {1, 2, 3});
    write_all_bytes(open, {4, 5, 6});
    ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
    for (const std::string& path : {dir.path, locked, open}) {
        ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    }
    const GyrelIndex index = index_from_noise(8, 2, Rotation::Rotor3, 1, 1);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(3);
        }
        const bool refused =
            io_error_of([&] { write_index(locked, index); }) == "Permission denied (os error 13)";
        const bool replaced = io_error_of([&] { write_index(open, index); }) == "no error";
        ::_exit(refused && replaced ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_all(locked), (Bytes{1, 2, 3}));
    EXPECT_EQ(read_all(open), file_bytes_of(index));
    struct stat info;
    ASSERT_EQ(::stat(open.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kNobody);
    EXPECT_EQ(dir.names(), (std::set<std::string>{"locked", "open"}));
}

TEST(IndexFile, WritingThroughSymlinksReplacesTheirTargets) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("data").c_str(), 0755), 0);
    const std::string target = dir.file("data/real");
    write_all_bytes(target, {1, 2, 3});
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("data/real", dir.file("relative").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("relative").c_str(), dir.file("chained").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", dir.file("data/dangling").c_str()), 0);

    const IdMapIndex index = id_map_from_noise(8, 3, Rotation::Planar2, 4);
    write_id_map(dir.file("chained"), index);
    EXPECT_EQ(read_all(target), file_bytes_of(index));
    struct stat status;
    ASSERT_EQ(::lstat(dir.file("chained").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    ASSERT_EQ(::lstat(dir.file("relative").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    write_id_map(dir.file("data/dangling"), index);
    EXPECT_EQ(read_all(dir.file("data/nowhere")), file_bytes_of(index));
    EXPECT_EQ(dir.names(), (std::set<std::string>{"chained", "data", "relative"}));
    EXPECT_EQ(std::set<std::string>({"dangling", "nowhere", "real"}), [&] {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("data"))) {
            names.insert(entry.path().filename());
        }
        return names;
    }());
}

TEST(IndexFile, FifosAndDevicesAreWrittenInPlace) {
    const GyrelIndex index = index_from_noise(16, 3, Rotation::WalshRotor3, 6, 5);
    write_index("/dev/null", index);

    TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread drain([&] { received = read_all(fifo); });
    const std::string error = io_error_of([&] { write_index(fifo, index); });
    if (error != "no error") {
        ::close(::open(fifo.c_str(), O_WRONLY));  // lets the drain finish instead of hang
    }
    drain.join();
    EXPECT_EQ(error, "no error");
    EXPECT_EQ(received, file_bytes_of(index));
    struct stat status;
    ASSERT_EQ(::lstat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

// A child process whose file-size limit stops the write half-way: the error reaches the caller,
// the old file is intact and no temporary file is left.
TEST(IndexFile, WriteFailingPartWayLeavesTheOldFileIntact) {
    TempDir dir;
    const std::string path = dir.file("keep.qlix");
    const GyrelIndex small = index_from_noise(8, 2, Rotation::Rotor3, 1, 1);
    write_index(path, small);
    const Bytes before = read_all(path);
    const GyrelIndex large = index_from_noise(256, 4, Rotation::Rotor3, 2, 64);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string message = io_error_of([&] { write_index(path, large); });
        ::_exit(message == "File too large (os error 27)" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_all(path), before);
    EXPECT_EQ(dir.names(), std::set<std::string>{"keep.qlix"});
}

}  // namespace
}  // namespace quilane
