#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "error.hpp"
#include "pack.hpp"

namespace quilane {
namespace {

TEST(Pack, WorkedExamplePacksAndUnpacks) {
    const std::vector<uint8_t> codes = {3, 0, 1, 2, 0, 0, 0, 1};
    const std::vector<uint8_t> packed = pack_codes(codes, 1, 8, 2);
    EXPECT_EQ(packed, (std::vector<uint8_t>{0xA1, 0x90}));
    std::vector<uint8_t> decoded(8);
    unpack_record(packed.data(), 8, 2, decoded.data());
    EXPECT_EQ(decoded, codes);
}

// Every (coordinate, plane) pair owns exactly one bit: plane p, byte j / 8, bit 7 - j % 8.
TEST(Pack, EachCodeBitLandsInItsOwnPlaneByteAndBit) {
    const size_t dim = 24;
    for (size_t bits = 2; bits <= 4; ++bits) {
        for (size_t j = 0; j < dim; ++j) {
            for (size_t p = 0; p < bits; ++p) {
                std::vector<uint8_t> codes(dim, 0);
                codes[j] = static_cast<uint8_t>(1u << p);
                const std::vector<uint8_t> packed = pack_codes(codes, 1, dim, bits);
                std::vector<uint8_t> expected(bits * dim / 8, 0);
                expected[p * (dim / 8) + j / 8] = static_cast<uint8_t>(0x80u >> (j % 8));
                ASSERT_EQ(packed, expected) << "bits " << bits << " j " << j << " p " << p;
            }
        }
    }
}

TEST(Pack, RoundTripsBatchesAndIgnoresHighBits) {
    std::mt19937 rng(7);
    for (size_t bits = 2; bits <= 4; ++bits) {
        const size_t dim = 128;
        const size_t n = 5;
        std::vector<uint8_t> codes(n * dim);
        std::vector<uint8_t> noisy(n * dim);
        for (size_t i = 0; i < codes.size(); ++i) {
            codes[i] = static_cast<uint8_t>(rng() % (1u << bits));
            noisy[i] = static_cast<uint8_t>(codes[i] | (rng() << bits));
        }
        const std::vector<uint8_t> packed = pack_codes(codes, n, dim, bits);
        ASSERT_EQ(packed.size(), n * record_bytes(bits, dim));
        EXPECT_EQ(pack_codes(noisy, n, dim, bits), packed);
        std::vector<uint8_t> decoded(dim);
        for (size_t i = 0; i < n; ++i) {
            unpack_record(packed.data() + i * record_bytes(bits, dim), dim, bits, decoded.data());
            EXPECT_EQ(decoded,
                      std::vector<uint8_t>(codes.begin() + i * dim, codes.begin() + (i + 1) * dim));
        }
    }
}

TEST(Pack, RefusesBuffersTooShort) {
    const std::vector<uint8_t> codes(16, 1);
    std::vector<uint8_t> out(3, 0);
    EXPECT_THROW(pack_codes(codes, 3, 8, 2), Error);
    EXPECT_THROW(pack_codes_into(codes, 2, 8, 2, out), Error);
}

// The scan layout of the worked example: the group string of codes (3, 0, 1, 2, 0, 0, 0, 1) at
// 2 bits is 0x4093, kept as row 0 = 0x93 and row 1 = 0x40 in lane 0 of block 0.
TEST(Blocks, WorkedExampleAndRoundTrips) {
    std::vector<uint8_t> store(block_bytes(2, 8), 0);
    records_to_blocks(std::vector<uint8_t>{0xA1, 0x90}.data(), 1, 8, 2, store.data(), 0);
    EXPECT_EQ(store[0], 0x93);
    EXPECT_EQ(store[16], 0x40);
    EXPECT_EQ(std::count(store.begin(), store.end(), 0), 30);

    std::mt19937 rng(3);
    for (size_t bits = 2; bits <= 4; ++bits) {
        const size_t dim = 24;
        const size_t n = 37;
        std::vector<uint8_t> codes(n * dim);
        for (uint8_t& c : codes) {
            c = static_cast<uint8_t>(rng() % (1u << bits));
        }
        const std::vector<uint8_t> records = pack_codes(codes, n, dim, bits);
        std::vector<uint8_t> direct(block_store_bytes(bits, dim, n), 0);
        codes_to_blocks(codes.data(), n, dim, bits, direct.data(), 0);
        // In place the last, partial block comes out compact, in the bytes of its records.
        std::vector<uint8_t> in_place = records;
        records_to_blocks_in_place(in_place, n, dim, bits);
        std::vector<uint8_t> compact = direct;
        compact_last_block(compact.data(), n, dim, bits);
        compact.resize(compact_store_bytes(bits, dim, n));
        EXPECT_EQ(in_place, compact) << bits;
        std::vector<uint8_t> from_compact(records.size());
        compact_store_to_records(in_place.data(), n, 0, n, dim, bits, from_compact.data());
        EXPECT_EQ(from_compact, records) << bits;
        compact_store_to_records(in_place.data(), n, 30, 5, dim, bits, from_compact.data());
        EXPECT_TRUE(std::equal(from_compact.begin(),
                               from_compact.begin() + 5 * record_bytes(bits, dim),
                               records.begin() + 30 * record_bytes(bits, dim)))
            << bits;
        compact.resize(direct.size(), 0xA5);
        pad_last_block(compact.data(), n, dim, bits);
        EXPECT_EQ(compact, direct) << bits;
        std::vector<uint8_t> back(records.size());
        blocks_to_records(direct.data(), 0, n, dim, bits, back.data());
        EXPECT_EQ(back, records) << bits;

        clear_block_lane(direct.data(), 36, dim, bits);
        blocks_to_records(direct.data(), 36, 1, dim, bits, back.data());
        EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + record_bytes(bits, dim)),
                  std::vector<uint8_t>(record_bytes(bits, dim), 0));
    }
}

// Whole blocks convert 16 records at a time where the processor allows, anything else a record
// at a time: both must give the same bytes in both directions, wherever the batch starts.
TEST(Blocks, WholeBlocksConvertLikeSingleRecords) {
    std::mt19937 rng(4);
    for (const size_t dim : {32, 128, 1024}) {
        for (size_t bits = 2; bits <= 4; ++bits) {
            const size_t n = 53;
            std::vector<uint8_t> records(n * record_bytes(bits, dim));
            for (uint8_t& b : records) {
                b = static_cast<uint8_t>(rng());
            }
            for (const size_t first : {0, 5, 16}) {
                SCOPED_TRACE(testing::Message()
                             << "dim " << dim << " bits " << bits << " first " << first);
                const size_t size = block_store_bytes(bits, dim, first + n);
                std::vector<uint8_t> whole(size, 0);
                std::vector<uint8_t> single(size, 0);
                records_to_blocks(records.data(), n, dim, bits, whole.data(), first);
                for (size_t i = 0; i < n; ++i) {
                    records_to_blocks(records.data() + i * record_bytes(bits, dim), 1, dim, bits,
                                      single.data(), first + i);
                }
                ASSERT_EQ(whole, single);
                std::vector<uint8_t> back(records.size());
                blocks_to_records(whole.data(), first, n, dim, bits, back.data());
                ASSERT_EQ(back, records);
            }
        }
    }
}

}  // namespace
}  // namespace quilane
