#include "pack.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "error.hpp"

namespace quilane {

namespace {

// Within a plane byte, coordinate 8q is the most significant bit.
constexpr uint8_t coordinate_mask(size_t j) {
    return static_cast<uint8_t>(0x80u >> (j % 8));
}

// spread[bits - 2][p][x]: the bits of plane byte x (coordinate 8g + b at bit 7 - b) placed where
// the block layout keeps bit p of coordinate b's code, bit b * bits + p of the group's string.
using SpreadTables = std::array<std::array<std::array<uint32_t, 256>, 4>, 3>;

constexpr SpreadTables make_spread_tables() {
    SpreadTables tables{};
    for (size_t bits = 2; bits <= 4; ++bits) {
        for (size_t p = 0; p < bits; ++p) {
            for (size_t x = 0; x < 256; ++x) {
                uint32_t w = 0;
                for (size_t b = 0; b < 8; ++b) {
                    if (x & coordinate_mask(b)) {
                        w |= uint32_t{1} << (b * bits + p);
                    }
                }
                tables[bits - 2][p][x] = w;
            }
        }
    }
    return tables;
}

// gather[bits - 2][r][y]: byte r of a group's string, y, turned back into plane bytes: byte p of
// the result is what y contributes to plane p.
constexpr SpreadTables make_gather_tables() {
    SpreadTables tables{};
    for (size_t bits = 2; bits <= 4; ++bits) {
        for (size_t r = 0; r < bits; ++r) {
            for (size_t y = 0; y < 256; ++y) {
                uint32_t planes = 0;
                for (size_t t = 0; t < 8; ++t) {
                    if ((y >> t) & 1u) {
                        const size_t i = 8 * r + t;
                        planes |= uint32_t{coordinate_mask(i / bits)} << (8 * (i % bits));
                    }
                }
                tables[bits - 2][r][y] = planes;
            }
        }
    }
    return tables;
}

constexpr SpreadTables kSpread = make_spread_tables();
constexpr SpreadTables kGather = make_gather_tables();

// Where byte 0 of group 0 of a position lives; row r of group g is 16 * (g * bits + r) further.
template <class Byte>
Byte* lane_start(Byte* store, size_t position, size_t dim, size_t bits) {
    return store + (position / kBlockVectors) * block_bytes(bits, dim) + position % kBlockVectors;
}

void store_group(uint8_t* lane, size_t g, size_t bits, uint32_t w) {
    for (size_t r = 0; r < bits; ++r) {
        lane[kBlockVectors * (g * bits + r)] = static_cast<uint8_t>(w >> (8 * r));
    }
}

}  // namespace

void records_to_blocks(const uint8_t* records, size_t count, size_t dim, size_t bits,
                       uint8_t* store, size_t first) {
    const size_t plane = dim / 8;
    const auto& spread = kSpread[bits - 2];
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* record = records + i * bits * plane;
        uint8_t* lane = lane_start(store, first + i, dim, bits);
        for (size_t g = 0; g < plane; ++g) {
            uint32_t w = 0;
            for (size_t p = 0; p < bits; ++p) {
                w |= spread[p][record[p * plane + g]];
            }
            store_group(lane, g, bits, w);
        }
    }
}

void blocks_to_records(const uint8_t* store, size_t first, size_t count, size_t dim, size_t bits,
                       uint8_t* records) {
    const size_t plane = dim / 8;
    const auto& gather = kGather[bits - 2];
    for (size_t i = 0; i < count; ++i) {
        uint8_t* record = records + i * bits * plane;
        const uint8_t* lane = lane_start(store, first + i, dim, bits);
        for (size_t g = 0; g < plane; ++g) {
            uint32_t planes = 0;
            for (size_t r = 0; r < bits; ++r) {
                planes |= gather[r][lane[kBlockVectors * (g * bits + r)]];
            }
            for (size_t p = 0; p < bits; ++p) {
                record[p * plane + g] = static_cast<uint8_t>(planes >> (8 * p));
            }
        }
    }
}

void codes_to_blocks(const uint8_t* codes, size_t count, size_t dim, size_t bits, uint8_t* store,
                     size_t first) {
    const uint32_t mask = (uint32_t{1} << bits) - 1;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* row = codes + i * dim;
        uint8_t* lane = lane_start(store, first + i, dim, bits);
        for (size_t g = 0; g < dim / 8; ++g) {
            uint32_t w = 0;
            for (size_t b = 0; b < 8; ++b) {
                w |= (row[8 * g + b] & mask) << (b * bits);
            }
            store_group(lane, g, bits, w);
        }
    }
}

void records_to_blocks_in_place(std::vector<uint8_t>& codes, size_t n, size_t dim, size_t bits) {
    const size_t record = record_bytes(bits, dim);
    if (codes.size() != n * record) {
        fail("internal error: " + std::to_string(codes.size()) + " code bytes are not " +
             std::to_string(n) + " records");
    }
    codes.resize(block_store_bytes(bits, dim, n), 0);
    // Sized by the records that exist, never by dim alone: an empty store from a file may claim
    // any dim.
    std::vector<uint8_t> block(std::min(n, kBlockVectors) * record);
    for (size_t first = 0; first < n; first += kBlockVectors) {
        const size_t count = std::min(kBlockVectors, n - first);
        uint8_t* start = codes.data() + first * record;
        std::copy_n(start, count * record, block.begin());
        std::fill_n(start, block_bytes(bits, dim), uint8_t{0});
        records_to_blocks(block.data(), count, dim, bits, codes.data(), first);
    }
}

void clear_block_lane(uint8_t* store, size_t position, size_t dim, size_t bits) {
    uint8_t* lane = lane_start(store, position, dim, bits);
    for (size_t g = 0; g < dim / 8; ++g) {
        store_group(lane, g, bits, 0);
    }
}

void pack_codes_into(std::span<const uint8_t> codes, size_t n, size_t dim, size_t bits,
                     std::span<uint8_t> out) {
    const size_t plane = dim / 8;
    const size_t record = bits * plane;
    if (dim % 8 != 0 || codes.size() < n * dim || out.size() < n * record) {
        fail("internal error: pack_codes given buffers too short for " + std::to_string(n) +
             " vectors of dim " + std::to_string(dim));
    }
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* row = codes.data() + i * dim;
        uint8_t* dest = out.data() + i * record;
        for (size_t j = 0; j < dim; ++j) {
            for (size_t p = 0; p < bits; ++p) {
                if ((row[j] >> p) & 1u) {
                    dest[p * plane + j / 8] |= coordinate_mask(j);
                }
            }
        }
    }
}

std::vector<uint8_t> pack_codes(std::span<const uint8_t> codes, size_t n, size_t dim, size_t bits) {
    std::vector<uint8_t> out(n * record_bytes(bits, dim), 0);
    pack_codes_into(codes, n, dim, bits, out);
    return out;
}

void unpack_record(const uint8_t* record, size_t dim, size_t bits, uint8_t* codes) {
    const size_t plane = dim / 8;
    for (size_t j = 0; j < dim; ++j) {
        uint8_t code = 0;
        for (size_t p = 0; p < bits; ++p) {
            if (record[p * plane + j / 8] & coordinate_mask(j)) {
                code |= static_cast<uint8_t>(1u << p);
            }
        }
        codes[j] = code;
    }
}

}  // namespace quilane
