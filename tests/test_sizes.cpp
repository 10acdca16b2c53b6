// Sizes at the edges of what the engine accepts: derived sizes that would wrap fail as exhausted
// memory before anything is allocated, and the layout conversion addresses records beyond 2 GiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "checked_size.hpp"
#include "id_map.hpp"
#include "lib.hpp"
#include "pack.hpp"
#include "rotor.hpp"

namespace quilane {
namespace {

constexpr size_t kMax = std::numeric_limits<size_t>::max();

TEST(CheckedSize, FailsExactlyWhenTheResultDoesNotFit) {
    EXPECT_EQ(checked_mul(kMax / 3, 3), kMax / 3 * 3);
    EXPECT_EQ(checked_mul(0, kMax), 0u);
    EXPECT_EQ(checked_mul(2, 3, 4), 24u);
    EXPECT_THROW(checked_mul(kMax / 3 + 1, 3), std::length_error);
    EXPECT_THROW(checked_mul(size_t{1} << 32, size_t{1} << 31, 2), std::length_error);
    EXPECT_EQ(checked_add(kMax - 1, 1), kMax);
    EXPECT_THROW(checked_add(kMax, 1), std::length_error);
    EXPECT_EQ(block_count(kMax), kMax / kBlockVectors + 1);
    EXPECT_THROW(block_bytes(4, size_t{1} << 62), std::length_error);
    EXPECT_THROW(block_store_bytes(2, size_t{1} << 40, size_t{1} << 32), std::length_error);
}

struct WrappingDim {
    uint64_t dim;
    Rotation kind;
};

// dims whose block matrices (blocks x k x k floats) would wrap a 64-bit size: each once allocated
// a few bytes (or none) and wrote the whole matrix set past them.
constexpr WrappingDim kWrappingDims[] = {
    {6148914691236517208ULL, Rotation::Rotor3},
    {(uint64_t{1} << 63) + 8, Rotation::Planar2},
    {(uint64_t{1} << 62) + 8, Rotation::Iso4},
    {uint64_t{1} << 63, Rotation::Planar2},
};

TEST(WrappingDims, FailAsExhaustedMemoryInEveryEntry) {
    for (const WrappingDim& wrapping : kWrappingDims) {
        SCOPED_TRACE(wrapping.dim);
        EXPECT_THROW(precompute_block_matrices(wrapping.dim, wrapping.kind, 1), std::length_error);
        GyrelIndex index(wrapping.dim, 4, wrapping.kind, 1);
        EXPECT_THROW(index.prepare(), std::length_error);
        EXPECT_THROW(index.search({}, 1), std::length_error);
        EXPECT_FALSE(index.block_matrices_built());
        index.add({});
        EXPECT_EQ(index.len(), 0u);
        IdMapIndex ids = IdMapIndex::with_options(wrapping.dim, 4, wrapping.kind, 1);
        EXPECT_THROW(ids.prepare(), std::length_error);
        EXPECT_THROW(ids.search({}, 3), std::length_error);
    }
}

// A 4-bit record of this dim is 143,165,584 bytes, so record 15 of a block starts past 2^31: the
// dim the conversion's 32-bit gather offsets first wrapped at. The records are zero but for marks
// at the start, middle and end of every plane; 4.6 GB at the peak.
TEST(WideRecords, ConvertBothWaysPastTwoGibibytes) {
    constexpr size_t kDim = 286331168;
    constexpr size_t kBits = 4;
    const size_t plane = kDim / 8;
    const size_t record = record_bytes(kBits, kDim);
    ASSERT_GE(15 * record, size_t{1} << 31);
    std::vector<size_t> marked;
    for (size_t p = 0; p < kBits; ++p) {
        for (const size_t at : {size_t{0}, plane / 2 + 1, plane - 1}) {
            marked.push_back(p * plane + at);
        }
    }
    const auto mark = [](size_t lane, size_t offset) {
        return static_cast<uint8_t>(1 + (lane * 37 + offset) % 251);
    };
    std::vector<uint8_t> records(kBlockVectors * record);
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        for (const size_t offset : marked) {
            records[lane * record + offset] = mark(lane, offset);
        }
    }
    std::vector<uint8_t> store(block_store_bytes(kBits, kDim, kBlockVectors));
    records_to_blocks(records.data(), kBlockVectors, kDim, kBits, store.data(), 0);

    // One record at a time takes the plain path, the reference for the layout.
    std::vector<uint8_t> one(record);
    for (const size_t lane : {size_t{0}, size_t{8}, size_t{15}}) {
        SCOPED_TRACE(lane);
        blocks_to_records(store.data(), lane, 1, kDim, kBits, one.data());
        EXPECT_TRUE(std::equal(one.begin(), one.end(), records.begin() + lane * record));
    }

    std::fill(records.begin(), records.end(), 0);
    blocks_to_records(store.data(), 0, kBlockVectors, kDim, kBits, records.data());
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        for (const size_t offset : marked) {
            EXPECT_EQ(records[lane * record + offset], mark(lane, offset)) << lane << " " << offset;
        }
    }
    const auto zero = static_cast<size_t>(std::count(records.begin(), records.end(), 0));
    EXPECT_EQ(zero, records.size() - kBlockVectors * marked.size());
}

}  // namespace
}  // namespace quilane
