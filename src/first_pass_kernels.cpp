// The first pass's kernels: the integer sums of one block's lanes for a few queries, from byte
// tables looked up a half byte at a time, the same on every instruction set.
#include "first_pass.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

namespace quilane {

namespace {

// Chunks a 16-bit lane can take before it is widened: 256 * 255 < 2^16 (first_pass.cpp, step 6).
constexpr size_t kFlushChunks = 256;

// How far ahead of the codes being summed the vector kernels ask for codes into the second-level
// cache. The hardware's own prefetching alone leaves a single query on all cores reading memory
// at two thirds of a plain stream; with 16 to 64 KiB ahead it keeps up with one (bench_index).
// Only a hint: asking past the codes' end does no harm and changes no result.
constexpr size_t kPrefetchBytes = 32 * 1024;

template <size_t G>
void first_pass_scalar_block(const FirstPassJob& job, size_t index) {
    const uint8_t* block = job.block + index * 16 * job.rows;
    std::array<uint32_t, G * 16> sums{};
    for (size_t row = 0; row < job.rows; ++row) {
        const uint8_t* bytes = block + 16 * row;
        for (size_t q = 0; q < G; ++q) {
            const uint8_t* tables = job.tables + q * kChunkTableBytes;
            const uint8_t* low = tables + table_offset(row, 0, job.chunk_stride);
            const uint8_t* high = tables + table_offset(row, 1, job.chunk_stride);
            for (size_t lane = 0; lane < 16; ++lane) {
                sums[q * 16 + lane] += low[bytes[lane] & 15u] + high[bytes[lane] >> 4];
            }
        }
    }
    for (size_t q = 0; q < G; ++q) {
        const auto lanes = sums.begin() + 16 * q;
        std::copy(lanes, lanes + 16, job.sums + (q * job.stride + index) * 16);
        job.largest_sums[q * job.stride + index] = *std::max_element(lanes, lanes + 16);
    }
}

template <size_t G>
void first_pass_scalar(const FirstPassJob& job) {
    for (size_t i = 0; i < job.blocks; ++i) {
        first_pass_scalar_block<G>(job, i);
    }
}

// Non-negative floats order as their bit patterns, and those of every NaN and negative float lie
// above +inf's: the largest norm is one integer maximum, which vectorises where a float maximum
// with a NaN check does not.
float norm_of_largest_bits(uint32_t largest) {
    constexpr uint32_t kInfinity = 0x7F800000u;
    return largest <= kInfinity ? std::bit_cast<float>(largest)
                                : std::numeric_limits<float>::quiet_NaN();
}

uint32_t largest_bits_scalar(const float* norms, size_t count) {
    uint32_t largest = 0;
    for (size_t i = 0; i < count; ++i) {
        largest = std::max(largest, std::bit_cast<uint32_t>(norms[i]));
    }
    return largest;
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// its own uninitialised-use analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The 8 16-bit sums of each 128-bit lane added over the 4 lanes, as 32-bit integers.
__attribute__((target("avx512f,avx512bw"))) __m256i fold_avx512(__m512i v) {
    const __m512i wide = _mm512_add_epi32(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(v)),
                                          _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(v, 1)));
    return _mm256_add_epi32(_mm512_castsi512_si256(wide), _mm512_extracti64x4_epi64(wide, 1));
}

// Byte i of a 128-bit lane is lane vector i. `all` adds the bytes as 16-bit pairs (even byte plus
// 256 times odd byte, wrapping), `odd` the odd bytes alone: the even sums are all - 256 odd.
// Returns the 16 sums in vector order as 32-bit integers, each summed over the 4 row lanes.
__attribute__((target("avx512f,avx512bw"))) __m512i lane_sums_avx512(__m512i all, __m512i odd) {
    const __m512i even = _mm512_sub_epi16(all, _mm512_slli_epi16(odd, 8));
    const __m512i first = _mm512_unpacklo_epi16(even, odd);   // vectors 0-7 of each row lane
    const __m512i second = _mm512_unpackhi_epi16(even, odd);  // vectors 8-15
    return _mm512_inserti64x4(_mm512_castsi256_si512(fold_avx512(first)), fold_avx512(second), 1);
}

// Hand-written: the byte shuffles are what makes the first pass several times faster than the
// float scan (measured in bench_index); compilers do not turn table lookups into them. Each
// chunk of the block is loaded and split into half bytes once for the whole group of queries.
template <size_t G>
__attribute__((target("avx512f,avx512bw"), always_inline)) inline void first_pass_avx512_block(
    const FirstPassJob& job, size_t index) {
    const uint8_t* block = job.block + index * 16 * job.rows;
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const size_t chunks = first_pass_chunks(job.rows);
    const size_t whole = job.rows / 4;  // a block may end in a part of a chunk
    const __mmask64 tail = (__mmask64{1} << (16 * (job.rows % 4))) - 1;
    const uint8_t* table = job.tables;
    __m512i total[G];
    for (size_t q = 0; q < G; ++q) {
        total[q] = _mm512_setzero_si512();
    }
    for (size_t start = 0; start < chunks; start += kFlushChunks) {
        const size_t end = std::min(chunks, start + kFlushChunks);
        __m512i all[G];
        __m512i odd[G];
        for (size_t q = 0; q < G; ++q) {
            all[q] = odd[q] = _mm512_setzero_si512();
        }
        for (size_t c = start; c < end; ++c, table += job.chunk_stride) {
            _mm_prefetch(reinterpret_cast<const char*>(block + 64 * c + kPrefetchBytes),
                         _MM_HINT_T1);
            const __m512i x = c < whole ? _mm512_loadu_si512(block + 64 * c)
                                        : _mm512_maskz_loadu_epi8(tail, block + 64 * c);
            const __m512i low = _mm512_and_si512(x, nibble);
            const __m512i high = _mm512_and_si512(_mm512_srli_epi16(x, 4), nibble);
            for (size_t q = 0; q < G; ++q) {
                const uint8_t* tables = table + q * kChunkTableBytes;
                const __m512i v =
                    _mm512_add_epi8(_mm512_shuffle_epi8(_mm512_loadu_si512(tables), low),
                                    _mm512_shuffle_epi8(_mm512_loadu_si512(tables + 64), high));
                all[q] = _mm512_add_epi16(all[q], v);
                odd[q] = _mm512_add_epi16(odd[q], _mm512_srli_epi16(v, 8));
            }
        }
        for (size_t q = 0; q < G; ++q) {
            total[q] = _mm512_add_epi32(total[q], lane_sums_avx512(all[q], odd[q]));
        }
    }
    for (size_t q = 0; q < G; ++q) {
        _mm512_storeu_si512(job.sums + (q * job.stride + index) * 16, total[q]);
        job.largest_sums[q * job.stride + index] = _mm512_reduce_max_epu32(total[q]);
    }
}

template <size_t G>
__attribute__((target("avx512f,avx512bw"))) void first_pass_avx512(const FirstPassJob& job) {
    for (size_t i = 0; i < job.blocks; ++i) {
        first_pass_avx512_block<G>(job, i);
    }
}

// A chunk's norms are read from memory once per search by this loop: scalar, and vectorised for
// the baseline processor, it took a twelfth of a single query (perf).
__attribute__((target("avx512f"))) uint32_t largest_bits_avx512(const float* norms, size_t count) {
    __m512i largest = _mm512_setzero_si512();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        largest = _mm512_max_epu32(largest, _mm512_loadu_si512(norms + i));
    }
    // Lanes past the end load as zero, which is no larger than any norm's bits.
    const __mmask16 rest = static_cast<__mmask16>((1u << (count - i)) - 1);
    largest = _mm512_max_epu32(largest, _mm512_maskz_loadu_epi32(rest, norms + i));
    return _mm512_reduce_max_epu32(largest);
}

#pragma GCC diagnostic pop

// Two rows per register; a block of 3-bit codes may end in a single row.
__attribute__((target("avx2"))) __m256i fold_avx2(__m256i v) {
    return _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(v)),
                            _mm256_cvtepu16_epi32(_mm256_extracti128_si256(v, 1)));
}

template <size_t G>
__attribute__((target("avx2"), always_inline)) inline void first_pass_avx2_block(
    const FirstPassJob& job, size_t index) {
    const uint8_t* block = job.block + index * 16 * job.rows;
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const size_t pairs = (job.rows + 1) / 2;
    __m256i total[G][2];
    for (size_t q = 0; q < G; ++q) {
        total[q][0] = total[q][1] = _mm256_setzero_si256();
    }
    for (size_t start = 0; start < pairs; start += kFlushChunks) {
        const size_t end = std::min(pairs, start + kFlushChunks);
        __m256i all[G];
        __m256i odd[G];
        for (size_t q = 0; q < G; ++q) {
            all[q] = odd[q] = _mm256_setzero_si256();
        }
        for (size_t p = start; p < end; ++p) {
            _mm_prefetch(reinterpret_cast<const char*>(block + 32 * p + kPrefetchBytes),
                         _MM_HINT_T1);
            const __m256i x =
                2 * p + 1 < job.rows
                    ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * p))
                    : _mm256_zextsi128_si256(
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32 * p)));
            const __m256i low = _mm256_and_si256(x, nibble);
            const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
            const uint8_t* chunk = job.tables + (p / 2) * job.chunk_stride + 32 * (p % 2);
            for (size_t q = 0; q < G; ++q) {
                const uint8_t* table = chunk + q * kChunkTableBytes;
                const __m256i v = _mm256_add_epi8(
                    _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(table)),
                                        low),
                    _mm256_shuffle_epi8(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 64)), high));
                all[q] = _mm256_add_epi16(all[q], v);
                odd[q] = _mm256_add_epi16(odd[q], _mm256_srli_epi16(v, 8));
            }
        }
        for (size_t q = 0; q < G; ++q) {
            const __m256i even = _mm256_sub_epi16(all[q], _mm256_slli_epi16(odd[q], 8));
            total[q][0] =
                _mm256_add_epi32(total[q][0], fold_avx2(_mm256_unpacklo_epi16(even, odd[q])));
            total[q][1] =
                _mm256_add_epi32(total[q][1], fold_avx2(_mm256_unpackhi_epi16(even, odd[q])));
        }
    }
    for (size_t q = 0; q < G; ++q) {
        __m256i largest = _mm256_max_epu32(total[q][0], total[q][1]);
        largest = _mm256_max_epu32(largest, _mm256_shuffle_epi32(largest, 0x4E));
        largest = _mm256_max_epu32(largest, _mm256_shuffle_epi32(largest, 0xB1));
        largest = _mm256_max_epu32(largest, _mm256_permute2x128_si256(largest, largest, 1));
        job.largest_sums[q * job.stride + index] =
            static_cast<uint32_t>(_mm256_cvtsi256_si32(largest));
        for (size_t h = 0; h < 2; ++h) {
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(job.sums + (q * job.stride + index) * 16 + 8 * h),
                total[q][h]);
        }
    }
}

template <size_t G>
__attribute__((target("avx2"))) void first_pass_avx2(const FirstPassJob& job) {
    for (size_t i = 0; i < job.blocks; ++i) {
        first_pass_avx2_block<G>(job, i);
    }
}

__attribute__((target("avx2"))) uint32_t largest_bits_avx2(const float* norms, size_t count) {
    __m256i largest = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        largest = _mm256_max_epu32(largest,
                                   _mm256_loadu_si256(reinterpret_cast<const __m256i*>(norms + i)));
    }
    alignas(32) std::array<uint32_t, 8> lanes;
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.data()), largest);
    return std::max(*std::max_element(lanes.begin(), lanes.end()),
                    largest_bits_scalar(norms + i, count - i));
}

#endif

template <size_t G>
FirstPassKernel kernel_for(Isa isa) {
#if defined(__x86_64__)
    switch (isa) {
        case Isa::Avx512:
            return first_pass_avx512<G>;
        case Isa::Avx2:
            return first_pass_avx2<G>;
        case Isa::Scalar:
            break;
    }
#else
    (void)isa;
#endif
    return first_pass_scalar<G>;
}

}  // namespace

FirstPassKernel first_pass_kernel(Isa isa, size_t count) {
    switch (count) {
        case 1:
            return kernel_for<1>(isa);
        case 2:
            return kernel_for<2>(isa);
        case 3:
            return kernel_for<3>(isa);
        case 4:
            return kernel_for<4>(isa);
        case 5:
            return kernel_for<5>(isa);
        case 6:
            return kernel_for<6>(isa);
        case 7:
            return kernel_for<7>(isa);
        default:
            return kernel_for<8>(isa);
    }
}

float largest_norm(const float* norms, size_t count, Isa isa) {
#if defined(__x86_64__)
    switch (isa) {
        case Isa::Avx512:
            return norm_of_largest_bits(largest_bits_avx512(norms, count));
        case Isa::Avx2:
            return norm_of_largest_bits(largest_bits_avx2(norms, count));
        case Isa::Scalar:
            break;
    }
#else
    (void)isa;
#endif
    return norm_of_largest_bits(largest_bits_scalar(norms, count));
}

}  // namespace quilane
