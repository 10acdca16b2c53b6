#include "scan_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>

#include "pack.hpp"

namespace quilane {

// Each SIMD lane scores one stored vector of a block against one query: it adds the query's
// table entries T[j][code] for j = 0, 1, ... starting from 0.0f, then multiplies by the norm.
// T[j][e] = t[j] * centroid[e mod 2^bits] for e in 0 ... 15 is the very product the plain rule
// forms, so every lane computes bit for bit the plain score. Replicating the table over 16
// entries lets a kernel index it with the low 4 bits of the shifted group string unmasked.

namespace {

// Kernels are templates over the bits, the queries G and the blocks B of a call (G or B is 1).
// The accumulator of block b and query q is acc[b * G + q], the index of its scores.

template <size_t Bits, size_t G, size_t B>
void score_block_scalar(const BlockJob& job) {
    for (size_t b = 0; b < B; ++b) {
        for (size_t lane = 0; lane < kBlockVectors; ++lane) {
            std::array<float, G> acc{};
            for (size_t g = 0; g < job.groups; ++g) {
                const uint8_t* row = job.blocks[b] + g * Bits * kBlockVectors + lane;
                uint32_t w = 0;
                for (size_t r = 0; r < Bits; ++r) {
                    w |= uint32_t{row[r * kBlockVectors]} << (8 * r);
                }
                for (size_t c = 0; c < 8; ++c) {
                    const size_t e = (w >> (c * Bits)) % kTableWidth;
                    const float* entry = job.tables + (8 * g + c) * kTableWidth + e;
                    for (size_t q = 0; q < G; ++q) {
                        acc[q] = acc[q] + entry[q * job.table_stride];
                    }
                }
            }
            for (size_t q = 0; q < G; ++q) {
                job.scores[(b * G + q) * kBlockVectors + lane] = acc[q] * job.norms[b][lane];
            }
        }
    }
}

void gather_lanes_scalar(std::span<const LaneSource> sources, size_t rows, uint8_t* out) {
    for (const LaneSource& source : sources) {
        for (uint32_t left = source.positions; left != 0; left &= left - 1) {
            const auto v = static_cast<size_t>(std::countr_zero(left));
            // Local pointers: stores of bytes may alias anything, the source's own pointer too.
            const uint8_t* from = source.block + source.lanes[v];
            uint8_t* to = out + v;
            for (size_t row = 0; row < rows; ++row) {
                to[row * kBlockVectors] = from[row * kBlockVectors];
            }
        }
    }
}

#if defined(__x86_64__)

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// its own uninitialised-use analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((target("avx512f"))) inline __m512i widen_row_avx512(const uint8_t* row) {
    return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
}

// The table indices of one group of 8 coordinates of a block's 16 lanes. A permute reads only the
// low 4 bits of an index, and a table repeats its centroids over its 16 entries, so where codes
// never straddle a byte (2 and 4 bits) a widened row is the index of its first code, and shifted,
// of the others. 3-bit codes are taken from the group's string assembled from its 3 rows.
template <size_t Bits>
struct GroupIndicesAvx512 {
    static constexpr size_t kWords = Bits == 3 ? 1 : Bits;
    static constexpr size_t kPerWord = 8 / kWords;
    __m512i words[kWords];

    __attribute__((target("avx512f"))) void load(const uint8_t* rows) {
        for (size_t r = 0; r < kWords; ++r) {
            words[r] = widen_row_avx512(rows + r * kBlockVectors);
        }
        if constexpr (Bits == 3) {
            for (size_t r = 1; r < Bits; ++r) {
                words[0] = _mm512_or_si512(
                    words[0], _mm512_slli_epi32(widen_row_avx512(rows + r * kBlockVectors),
                                                static_cast<unsigned>(8 * r)));
            }
        }
    }

    __attribute__((target("avx512f"))) __m512i operator[](size_t c) const {
        const size_t shift = (c % kPerWord) * Bits;
        const __m512i word = words[c / kPerWord];
        return shift == 0 ? word : _mm512_srli_epi32(word, static_cast<unsigned>(shift));
    }
};

template <size_t Bits, size_t G, size_t B>
__attribute__((target("avx512f"))) void score_block_avx512(const BlockJob& job) {
    __m512 acc[B * G];
    for (size_t a = 0; a < B * G; ++a) {
        acc[a] = _mm512_setzero_ps();
    }
    const float* table = job.tables;
    for (size_t g = 0; g < job.groups; ++g) {
        GroupIndicesAvx512<Bits> indices[B];
        for (size_t b = 0; b < B; ++b) {
            indices[b].load(job.blocks[b] + g * Bits * kBlockVectors);
        }
        for (size_t c = 0; c < 8; ++c) {
            for (size_t q = 0; q < G; ++q) {
                const __m512 entries =
                    _mm512_loadu_ps(table + q * job.table_stride + c * kTableWidth);
                for (size_t b = 0; b < B; ++b) {
                    acc[b * G + q] = _mm512_add_ps(acc[b * G + q],
                                                   _mm512_permutexvar_ps(indices[b][c], entries));
                }
            }
        }
        table += 8 * kTableWidth;
    }
    for (size_t b = 0; b < B; ++b) {
        const __m512 norms = _mm512_loadu_ps(job.norms[b]);
        for (size_t q = 0; q < G; ++q) {
            _mm512_storeu_ps(job.scores + (b * G + q) * kBlockVectors,
                             _mm512_mul_ps(acc[b * G + q], norms));
        }
    }
}

// Four rows at a time: each source's 64 bytes shuffled within their rows onto the positions it
// names. Gathering lanes one byte at a time took 3 % of a dim-384 batch (perf).
__attribute__((target("avx512f,avx512bw"))) void gather_lanes_avx512(
    std::span<const LaneSource> sources, size_t rows, uint8_t* out) {
    constexpr size_t kChunk = 4 * kBlockVectors;
    for (size_t start = 0; start < rows * kBlockVectors; start += kChunk) {
        const size_t bytes = std::min(kChunk, rows * kBlockVectors - start);
        const __mmask64 part = bytes == kChunk ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
        __m512i chunk = _mm512_maskz_loadu_epi8(part, out + start);
        for (const LaneSource& source : sources) {
            const __m512i lanes = _mm512_broadcast_i32x4(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(source.lanes.data())));
            const __mmask64 positions = source.positions * 0x0001000100010001ull;
            chunk = _mm512_mask_shuffle_epi8(
                chunk, positions, _mm512_maskz_loadu_epi8(part, source.block + start), lanes);
        }
        _mm512_mask_storeu_epi8(out + start, part, chunk);
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

// The codes of one group of 8 coordinates of 8 lanes, a 32-bit string per lane.
template <size_t Bits>
__attribute__((target("avx2"))) __m256i group_codes_avx2(const uint8_t* row) {
    __m256i w = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row)));
    for (size_t r = 1; r < Bits; ++r) {
        const __m256i byte = _mm256_cvtepu8_epi32(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + r * kBlockVectors)));
        w = _mm256_or_si256(w, _mm256_slli_epi32(byte, static_cast<int>(8 * r)));
    }
    return w;
}

template <size_t Bits, size_t G, size_t B>
__attribute__((target("avx2"))) void score_block_avx2(const BlockJob& job) {
    __m256 acc[B * G][2];
    for (size_t a = 0; a < B * G; ++a) {
        acc[a][0] = acc[a][1] = _mm256_setzero_ps();
    }
    const float* table = job.tables;
    for (size_t g = 0; g < job.groups; ++g) {
        __m256i w[B][2];
        for (size_t b = 0; b < B; ++b) {
            for (size_t h = 0; h < 2; ++h) {
                w[b][h] = group_codes_avx2<Bits>(job.blocks[b] + g * Bits * kBlockVectors + 8 * h);
            }
        }
        for (size_t c = 0; c < 8; ++c) {
            for (size_t b = 0; b < B; ++b) {
                for (size_t h = 0; h < 2; ++h) {
                    const __m256i index = _mm256_srli_epi32(w[b][h], static_cast<int>(c * Bits));
                    for (size_t q = 0; q < G; ++q) {
                        const float* entries = table + q * job.table_stride + c * kTableWidth;
                        acc[b * G + q][h] =
                            _mm256_add_ps(acc[b * G + q][h], look_up_avx2<Bits>(entries, index));
                    }
                }
            }
        }
        table += 8 * kTableWidth;
    }
    for (size_t b = 0; b < B; ++b) {
        for (size_t h = 0; h < 2; ++h) {
            const __m256 norms = _mm256_loadu_ps(job.norms[b] + 8 * h);
            for (size_t q = 0; q < G; ++q) {
                _mm256_storeu_ps(job.scores + (b * G + q) * kBlockVectors + 8 * h,
                                 _mm256_mul_ps(acc[b * G + q][h], norms));
            }
        }
    }
}

#endif

template <size_t Bits, size_t G, size_t B>
BlockKernel kernel_of(Isa path) {
#if defined(__x86_64__)
    switch (path) {
        case Isa::Avx512:
            return score_block_avx512<Bits, G, B>;
        case Isa::Avx2:
            return score_block_avx2<Bits, G, B>;
        case Isa::Scalar:
            break;
    }
#else
    (void)path;
#endif
    return score_block_scalar<Bits, G, B>;
}

template <size_t Bits>
BlockKernel kernel_of(Isa path, size_t queries) {
    switch (queries) {
        case 1:
            return kernel_of<Bits, 1, 1>(path);
        case 2:
            return kernel_of<Bits, 2, 1>(path);
        case 3:
            return kernel_of<Bits, 3, 1>(path);
        default:
            return kernel_of<Bits, kMaxExactGroup, 1>(path);
    }
}

template <size_t Bits>
BlockKernel blocks_kernel_of(Isa path, size_t blocks) {
    switch (blocks) {
        case 1:
            return kernel_of<Bits, 1, 1>(path);
        case 2:
            return kernel_of<Bits, 1, 2>(path);
        case 3:
            return kernel_of<Bits, 1, 3>(path);
        default:
            return kernel_of<Bits, 1, kMaxExactBlocks>(path);
    }
}

// The 2^bits centroids repeated over the 16 entries a code of up to 4 bits may index.
std::array<float, kTableWidth> repeated_centroids(std::span<const float> centroids, size_t bits) {
    std::array<float, kTableWidth> repeated;
    for (size_t e = 0; e < kTableWidth; ++e) {
        repeated[e] = centroids[e % (size_t{1} << bits)];
    }
    return repeated;
}

}  // namespace

BlockKernel block_kernel(Isa path, size_t bits, size_t queries) {
    switch (bits) {
        case 2:
            return kernel_of<2>(path, queries);
        case 3:
            return kernel_of<3>(path, queries);
        default:
            return kernel_of<4>(path, queries);
    }
}

BlockKernel blocks_kernel(Isa path, size_t bits, size_t blocks) {
    switch (bits) {
        case 2:
            return blocks_kernel_of<2>(path, blocks);
        case 3:
            return blocks_kernel_of<3>(path, blocks);
        default:
            return blocks_kernel_of<4>(path, blocks);
    }
}

void gather_lanes(std::span<const LaneSource> sources, size_t rows, uint8_t* out, Isa isa) {
#if defined(__x86_64__)
    if (isa == Isa::Avx512) {
        gather_lanes_avx512(sources, rows, out);
        return;
    }
#else
    (void)isa;
#endif
    gather_lanes_scalar(sources, rows, out);
}

void build_table(const float* t, std::span<const float> centroids, size_t dim, size_t bits,
                 float* table) {
    // Each row the product of a broadcast coordinate and one fixed row, which compilers vectorise.
    const std::array<float, kTableWidth> repeated = repeated_centroids(centroids, bits);
    for (size_t j = 0; j < dim; ++j) {
        for (size_t e = 0; e < kTableWidth; ++e) {
            table[j * kTableWidth + e] = t[j] * repeated[e];
        }
    }
}

}  // namespace quilane
