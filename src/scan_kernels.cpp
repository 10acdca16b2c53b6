#include "scan_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <array>

#include "pack.hpp"

namespace quilane {

// Each SIMD lane scores one stored vector of a block against one query: it adds the query's
// table entries T[j][code] for j = 0, 1, ... starting from 0.0f, then multiplies by the norm.
// T[j][e] = t[j] * centroid[e mod 2^bits] for e in 0 ... 15 is the very product the plain rule
// forms, so every lane computes bit for bit the plain score. Replicating the table over 16
// entries lets a kernel index it with the low 4 bits of the shifted group string unmasked.

namespace {

template <size_t Bits, size_t G>
void score_block_scalar(const BlockJob& job) {
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        std::array<float, G> acc{};
        for (size_t g = 0; g < job.groups; ++g) {
            const uint8_t* row = job.block + g * Bits * kBlockVectors + lane;
            uint32_t w = 0;
            for (size_t r = 0; r < Bits; ++r) {
                w |= uint32_t{row[r * kBlockVectors]} << (8 * r);
            }
            for (size_t b = 0; b < 8; ++b) {
                const size_t e = (w >> (b * Bits)) % kTableWidth;
                const float* entry = job.tables + (8 * g + b) * kTableWidth + e;
                for (size_t q = 0; q < G; ++q) {
                    acc[q] = acc[q] + entry[q * job.table_stride];
                }
            }
        }
        for (size_t q = 0; q < G; ++q) {
            job.scores[q * kBlockVectors + lane] = acc[q] * job.norms[lane];
        }
    }
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// its own uninitialised-use analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

template <size_t Bits, size_t G>
__attribute__((target("avx512f"))) void score_block_avx512(const BlockJob& job) {
    __m512 acc[G];
    for (size_t q = 0; q < G; ++q) {
        acc[q] = _mm512_setzero_ps();
    }
    const uint8_t* row = job.block;
    const float* table = job.tables;
    for (size_t g = 0; g < job.groups; ++g) {
        __m512i w = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
        for (size_t r = 1; r < Bits; ++r) {
            const __m512i byte = _mm512_cvtepu8_epi32(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + r * kBlockVectors)));
            w = _mm512_or_si512(w, _mm512_slli_epi32(byte, static_cast<unsigned>(8 * r)));
        }
        for (size_t b = 0; b < 8; ++b) {
            const __m512i index = _mm512_srli_epi32(w, static_cast<unsigned>(b * Bits));
            for (size_t q = 0; q < G; ++q) {
                const __m512 entries =
                    _mm512_loadu_ps(table + q * job.table_stride + b * kTableWidth);
                acc[q] = _mm512_add_ps(acc[q], _mm512_permutexvar_ps(index, entries));
            }
        }
        row += Bits * kBlockVectors;
        table += 8 * kTableWidth;
    }
    const __m512 norms = _mm512_loadu_ps(job.norms);
    for (size_t q = 0; q < G; ++q) {
        _mm512_storeu_ps(job.scores + q * kBlockVectors, _mm512_mul_ps(acc[q], norms));
    }
}

#pragma GCC diagnostic pop

// Eight lanes per register: a block is two halves. A 16-entry table is two registers; for 2 and
// 3 bits the low 8 entries already hold every centroid, for 4 bits bit 3 of the index picks the
// high register (moved to the sign bit for the blend).
template <size_t Bits>
__attribute__((target("avx2"))) __m256 look_up_avx2(const float* entries, __m256i index) {
    const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(entries), index);
    if constexpr (Bits < 4) {
        return low;
    } else {
        const __m256 high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(entries + 8), index);
        return _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
    }
}

template <size_t Bits, size_t G>
__attribute__((target("avx2"))) void score_block_avx2(const BlockJob& job) {
    __m256 acc[G][2];
    for (size_t q = 0; q < G; ++q) {
        acc[q][0] = acc[q][1] = _mm256_setzero_ps();
    }
    const uint8_t* row = job.block;
    const float* table = job.tables;
    for (size_t g = 0; g < job.groups; ++g) {
        __m256i w[2];
        for (size_t h = 0; h < 2; ++h) {
            w[h] = _mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 8 * h)));
            for (size_t r = 1; r < Bits; ++r) {
                const __m256i byte = _mm256_cvtepu8_epi32(_mm_loadl_epi64(
                    reinterpret_cast<const __m128i*>(row + r * kBlockVectors + 8 * h)));
                w[h] = _mm256_or_si256(w[h], _mm256_slli_epi32(byte, static_cast<int>(8 * r)));
            }
        }
        for (size_t b = 0; b < 8; ++b) {
            for (size_t h = 0; h < 2; ++h) {
                const __m256i index = _mm256_srli_epi32(w[h], static_cast<int>(b * Bits));
                for (size_t q = 0; q < G; ++q) {
                    const float* entries = table + q * job.table_stride + b * kTableWidth;
                    acc[q][h] = _mm256_add_ps(acc[q][h], look_up_avx2<Bits>(entries, index));
                }
            }
        }
        row += Bits * kBlockVectors;
        table += 8 * kTableWidth;
    }
    for (size_t h = 0; h < 2; ++h) {
        const __m256 norms = _mm256_loadu_ps(job.norms + 8 * h);
        for (size_t q = 0; q < G; ++q) {
            _mm256_storeu_ps(job.scores + q * kBlockVectors + 8 * h,
                             _mm256_mul_ps(acc[q][h], norms));
        }
    }
}

#endif

template <size_t Bits, size_t G>
BlockKernel kernel_of(Isa path) {
#if defined(__x86_64__)
    switch (path) {
        case Isa::Avx512:
            return score_block_avx512<Bits, G>;
        case Isa::Avx2:
            return score_block_avx2<Bits, G>;
        case Isa::Scalar:
            break;
    }
#else
    (void)path;
#endif
    return score_block_scalar<Bits, G>;
}

template <size_t Bits>
BlockKernel kernel_of(Isa path, size_t group) {
    switch (group) {
        case 1:
            return kernel_of<Bits, 1>(path);
        case 2:
            return kernel_of<Bits, 2>(path);
        case 3:
            return kernel_of<Bits, 3>(path);
        default:
            return kernel_of<Bits, kMaxExactGroup>(path);
    }
}

}  // namespace

BlockKernel block_kernel(Isa path, size_t bits, size_t group) {
    switch (bits) {
        case 2:
            return kernel_of<2>(path, group);
        case 3:
            return kernel_of<3>(path, group);
        default:
            return kernel_of<4>(path, group);
    }
}

void build_table(const float* t, std::span<const float> centroids, size_t dim, size_t bits,
                 float* table) {
    const size_t levels = size_t{1} << bits;
    for (size_t j = 0; j < dim; ++j) {
        for (size_t e = 0; e < kTableWidth; ++e) {
            table[j * kTableWidth + e] = t[j] * centroids[e % levels];
        }
    }
}

}  // namespace quilane
