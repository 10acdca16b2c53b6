#include "pack.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <type_traits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)

// --- 16 records at a time for AVX-512 ---
//
// A whole block and its 16 records convert with one 32-bit lane per record: four plane bytes
// (four groups of coordinates) are gathered from each record at once, and each group's string
// is built with one shift and one masked merge per code bit. Needs dim / 8 to be a multiple of 4
// so that the gathers stay inside the records. The gathers and scatters take 64-bit offsets,
// eight lanes at a time: record 15 starts 15 * bits * dim / 8 bytes in, which passes 2^31 from a
// dim of about 2^28 on, well inside what a file may declare.

#define QUILANE_AVX512 __attribute__((target("avx512f")))

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// its own uninitialised-use analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

bool wide_conversion_fits(size_t dim) {
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    return avx512 && (dim / 8) % 4 == 0;
}

// v moved left by `by` bits (right when negative).
template <int By>
QUILANE_AVX512 __m512i shift_by(__m512i v) {
    if constexpr (By >= 0) {
        return _mm512_slli_epi32(v, By);
    } else {
        return _mm512_srli_epi32(v, -By);
    }
}

// The string of one group from its plane bytes x (one per lane, in bits 0..7) of plane P: bit
// 7 - b of x goes to bit b * Bits + P.
template <size_t Bits, size_t P, size_t... B>
QUILANE_AVX512 __m512i spread_plane(__m512i string, __m512i x, std::index_sequence<B...>) {
    constexpr int kOr = 0xF8;  // a | (b & c)
    ((string = _mm512_ternarylogic_epi32(
          string, shift_by<static_cast<int>(B * Bits + P) - static_cast<int>(7 - B)>(x),
          _mm512_set1_epi32(static_cast<int>(uint32_t{1} << (B * Bits + P))), kOr)),
     ...);
    return string;
}

// Plane byte P of one group from its string: bit b * Bits + P goes to bit 7 - b.
template <size_t Bits, size_t P, size_t... B>
QUILANE_AVX512 __m512i gather_plane(__m512i string, std::index_sequence<B...>) {
    constexpr int kOr = 0xF8;
    __m512i x = _mm512_setzero_si512();
    ((x = _mm512_ternarylogic_epi32(
          x, shift_by<static_cast<int>(7 - B) - static_cast<int>(B * Bits + P)>(string),
          _mm512_set1_epi32(static_cast<int>(0x80u >> B)), kOr)),
     ...);
    return x;
}

template <size_t Bits, size_t... P>
QUILANE_AVX512 __m512i group_string(const __m512i* planes, size_t k, std::index_sequence<P...>) {
    __m512i string = _mm512_setzero_si512();
    const __m512i byte = _mm512_set1_epi32(0xFF);
    ((string = spread_plane<Bits, P>(
          string, _mm512_and_si512(_mm512_srli_epi32(planes[P], static_cast<int>(8 * k)), byte),
          std::make_index_sequence<8>{})),
     ...);
    return string;
}

// The byte offsets of the 16 records of a block, lanes 0-7 and 8-15.
struct RecordStarts {
    __m512i low;
    __m512i high;
};

QUILANE_AVX512 RecordStarts record_starts(size_t record) {
    alignas(64) int64_t starts[kBlockVectors];
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        starts[lane] = static_cast<int64_t>(lane * record);
    }
    return {_mm512_load_si512(starts), _mm512_load_si512(starts + 8)};
}

QUILANE_AVX512 __m512i gather_lanes(const RecordStarts& starts, const uint8_t* base) {
    const __m256i low = _mm512_i64gather_epi32(starts.low, base, 1);
    const __m256i high = _mm512_i64gather_epi32(starts.high, base, 1);
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

QUILANE_AVX512 void scatter_lanes(const RecordStarts& starts, uint8_t* base, __m512i values) {
    _mm512_i64scatter_epi32(base, starts.low, _mm512_castsi512_si256(values), 1);
    _mm512_i64scatter_epi32(base, starts.high, _mm512_extracti64x4_epi64(values, 1), 1);
}

template <size_t Bits>
QUILANE_AVX512 void records_to_block_avx512(const uint8_t* records, size_t dim, uint8_t* block) {
    const size_t plane = dim / 8;
    const RecordStarts starts = record_starts(Bits * plane);
    for (size_t q = 0; q < plane / 4; ++q) {
        __m512i planes[Bits];
        for (size_t p = 0; p < Bits; ++p) {
            planes[p] = gather_lanes(starts, records + p * plane + 4 * q);
        }
        for (size_t k = 0; k < 4; ++k) {
            const __m512i string = group_string<Bits>(planes, k, std::make_index_sequence<Bits>{});
            uint8_t* rows = block + kBlockVectors * ((4 * q + k) * Bits);
            for (size_t r = 0; r < Bits; ++r) {
                const __m512i byte = _mm512_srli_epi32(string, static_cast<int>(8 * r));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + kBlockVectors * r),
                                 _mm512_cvtepi32_epi8(byte));
            }
        }
    }
}

template <size_t Bits, size_t P>
QUILANE_AVX512 void add_plane_byte(__m512i& plane, __m512i string, size_t k) {
    const __m512i x = gather_plane<Bits, P>(string, std::make_index_sequence<8>{});
    plane = _mm512_or_si512(plane, _mm512_slli_epi32(x, static_cast<int>(8 * k)));
}

template <size_t Bits, size_t... P>
QUILANE_AVX512 void add_plane_bytes(__m512i* planes, __m512i string, size_t k,
                                    std::index_sequence<P...>) {
    (add_plane_byte<Bits, P>(planes[P], string, k), ...);
}

template <size_t Bits>
QUILANE_AVX512 void block_to_records_avx512(const uint8_t* block, size_t dim, uint8_t* records) {
    const size_t plane = dim / 8;
    const RecordStarts starts = record_starts(Bits * plane);
    for (size_t q = 0; q < plane / 4; ++q) {
        __m512i planes[Bits];
        for (size_t p = 0; p < Bits; ++p) {
            planes[p] = _mm512_setzero_si512();
        }
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t* rows = block + kBlockVectors * ((4 * q + k) * Bits);
            __m512i string = _mm512_setzero_si512();
            for (size_t r = 0; r < Bits; ++r) {
                const __m128i row =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + kBlockVectors * r));
                string = _mm512_or_si512(
                    string, _mm512_slli_epi32(_mm512_cvtepu8_epi32(row), static_cast<int>(8 * r)));
            }
            add_plane_bytes<Bits>(planes, string, k, std::make_index_sequence<Bits>{});
        }
        for (size_t p = 0; p < Bits; ++p) {
            scatter_lanes(starts, records + p * plane + 4 * q, planes[p]);
        }
    }
}

#pragma GCC diagnostic pop
#undef QUILANE_AVX512

// Runs kernel with the code width as a compile-time constant; false for a width without one.
template <class Kernel>
bool with_width(size_t bits, Kernel&& kernel) {
    switch (bits) {
        case 2:
            kernel(std::integral_constant<size_t, 2>{});
            return true;
        case 3:
            kernel(std::integral_constant<size_t, 3>{});
            return true;
        case 4:
            kernel(std::integral_constant<size_t, 4>{});
            return true;
        default:
            return false;
    }
}

// Convert the 16 records of one whole block; false for a width without a kernel.
bool records_to_block_wide(const uint8_t* records, size_t dim, size_t bits, uint8_t* block) {
    return with_width(bits, [&](auto width) {
        records_to_block_avx512<decltype(width)::value>(records, dim, block);
    });
}

bool block_to_records_wide(const uint8_t* block, size_t dim, size_t bits, uint8_t* records) {
    return with_width(bits, [&](auto width) {
        block_to_records_avx512<decltype(width)::value>(block, dim, records);
    });
}

#else

bool wide_conversion_fits(size_t) {
    return false;
}

bool records_to_block_wide(const uint8_t*, size_t, size_t, uint8_t*) {
    return false;
}

bool block_to_records_wide(const uint8_t*, size_t, size_t, uint8_t*) {
    return false;
}

#endif

}  // namespace

void records_to_blocks(const uint8_t* records, size_t count, size_t dim, size_t bits,
                       uint8_t* store, size_t first) {
    const size_t plane = dim / 8;
    const auto& spread = kSpread[bits - 2];
    const bool wide = wide_conversion_fits(dim);
    for (size_t i = 0; i < count; ++i) {
        if (wide && (first + i) % kBlockVectors == 0 && count - i >= kBlockVectors &&
            records_to_block_wide(records + i * bits * plane, dim, bits,
                                  lane_start(store, first + i, dim, bits))) {
            i += kBlockVectors - 1;
            continue;
        }
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
    const bool wide = wide_conversion_fits(dim);
    for (size_t i = 0; i < count; ++i) {
        if (wide && (first + i) % kBlockVectors == 0 && count - i >= kBlockVectors &&
            block_to_records_wide(lane_start(store, first + i, dim, bits), dim, bits,
                                  records + i * bits * plane)) {
            i += kBlockVectors - 1;
            continue;
        }
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

void block_lanes_to_store(const uint8_t* block, size_t count, size_t dim, size_t bits,
                          uint8_t* store, size_t first) {
    const size_t rows = record_bytes(bits, dim);
    const size_t lane = first % kBlockVectors;
    uint8_t* head = lane_start(store, first, dim, bits);
    if (lane == 0 && count == kBlockVectors) {
        std::copy_n(block, rows * kBlockVectors, head);
        return;
    }
    // The lanes fill the rest of one block and, when there are more, the start of the next.
    const size_t in_head = std::min(count, kBlockVectors - lane);
    const size_t in_tail = count - in_head;
    uint8_t* tail = head - lane + block_bytes(bits, dim);
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* from = block + r * kBlockVectors;
        std::copy_n(from, in_head, head + r * kBlockVectors);
        std::copy_n(from + in_head, in_tail, tail + r * kBlockVectors);
    }
}

void records_to_blocks_in_place(std::vector<uint8_t>& codes, size_t n, size_t dim, size_t bits) {
    const size_t record = record_bytes(bits, dim);
    if (codes.size() != checked_mul(n, record)) {
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
    if (dim % 8 != 0 || codes.size() < checked_mul(n, dim) || out.size() < checked_mul(n, record)) {
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
    std::vector<uint8_t> out(checked_mul(n, record_bytes(bits, dim)), 0);
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
