#include "encode_avx512.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "checked_size.hpp"
#include "error.hpp"
#include "normalise.hpp"
#include "pack.hpp"
#include "parallel.hpp"

namespace quilane {

#if defined(__x86_64__)

namespace {

constexpr size_t kLanes = kBlockVectors;

bool ascending_without_nan(std::span<const float> x) {
    return std::ranges::none_of(x, [](float v) { return std::isnan(v); }) &&
           std::ranges::is_sorted(x);
}

// --- The same 16 lanes written out for AVX-512 ---
//
// One register holds entry j of all 16 vectors. Every lane performs the operations of the plain
// rule in the plain order (separate multiplies and adds, sums from 0.0f in index order), so the
// bytes are those of encode_reference. The codes are assembled in registers straight into the
// block layout.

// Gather offsets are 32-bit element indices: 15 * dim must fit.
constexpr size_t kMaxGatherDim = size_t{1} << 26;

#define QUILANE_AVX512 __attribute__((target("avx512f")))

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// its own uninitialised-use analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

QUILANE_AVX512 void load_lanes_avx512(const float* vectors, size_t dim, float* x, float* norms) {
    const __m512i lane_offsets =
        _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                           _mm512_set1_epi32(static_cast<int>(dim)));
    __m512 sum = _mm512_setzero_ps();
    for (size_t j = 0; j < dim; ++j) {
        const __m512 v = _mm512_i32gather_ps(lane_offsets, vectors + j, 4);
        _mm512_storeu_ps(x + j * kLanes, v);
        sum = _mm512_add_ps(sum, _mm512_mul_ps(v, v));
    }
    const __m512 norm = _mm512_sqrt_ps(sum);
    _mm512_storeu_ps(norms, norm);
    const __mmask16 normal = _mm512_cmp_ps_mask(norm, _mm512_set1_ps(kMinNorm), _CMP_GT_OQ);
    const __m512 scale = _mm512_maskz_div_ps(normal, _mm512_set1_ps(1.0f), norm);
    for (size_t j = 0; j < dim; ++j) {
        _mm512_storeu_ps(x + j * kLanes, _mm512_mul_ps(_mm512_loadu_ps(x + j * kLanes), scale));
    }
}

QUILANE_AVX512 void walsh_hadamard_avx512(float* x, std::span<const float> signs, size_t dim) {
    const size_t flipped = std::min(signs.size(), dim);
    for (size_t j = 0; j < flipped; ++j) {
        float* row = x + j * kLanes;
        _mm512_storeu_ps(row, _mm512_mul_ps(_mm512_loadu_ps(row), _mm512_set1_ps(signs[j])));
    }
    for (size_t h = 1; h < dim; h *= 2) {
        for (size_t i = 0; i < dim; i += 2 * h) {
            for (size_t j = i; j < i + h; ++j) {
                float* a = x + j * kLanes;
                float* b = x + (j + h) * kLanes;
                const __m512 u = _mm512_loadu_ps(a);
                const __m512 v = _mm512_loadu_ps(b);
                _mm512_storeu_ps(a, _mm512_add_ps(u, v));
                _mm512_storeu_ps(b, _mm512_sub_ps(u, v));
            }
        }
    }
    const __m512 scale = _mm512_set1_ps(1.0f / std::sqrt(static_cast<float>(dim)));
    for (size_t j = 0; j < dim; ++j) {
        float* row = x + j * kLanes;
        _mm512_storeu_ps(row, _mm512_mul_ps(_mm512_loadu_ps(row), scale));
    }
}

// out[r] = sum over c of m[r][c] * v[c], from 0.0f in c order, each matrix entry broadcast.
template <size_t K>
QUILANE_AVX512 void rotate_blocks_avx512(std::span<const float> matrices, float* x, size_t padded) {
    const size_t blocks = std::min(matrices.size() / (K * K), padded / K);
    for (size_t b = 0; b < blocks; ++b) {
        const float* m = matrices.data() + b * K * K;
        float* v = x + b * K * kLanes;
        __m512 in[K];
        for (size_t c = 0; c < K; ++c) {
            in[c] = _mm512_loadu_ps(v + c * kLanes);
        }
        for (size_t r = 0; r < K; ++r) {
            __m512 sum = _mm512_setzero_ps();
            for (size_t c = 0; c < K; ++c) {
                sum = _mm512_add_ps(sum, _mm512_mul_ps(_mm512_set1_ps(m[r * K + c]), in[c]));
            }
            _mm512_storeu_ps(v + r * kLanes, sum);
        }
    }
}

QUILANE_AVX512 void rotate_avx512(const Transform& transform, float* x) {
    switch (transform.block) {
        case 2:
            return rotate_blocks_avx512<2>(transform.matrices, x, transform.padded_dim);
        case 3:
            return rotate_blocks_avx512<3>(transform.matrices, x, transform.padded_dim);
        case 4:
            return rotate_blocks_avx512<4>(transform.matrices, x, transform.padded_dim);
        default:
            fail("internal error: rotation block size " + std::to_string(transform.block) +
                 " is outside 2..4");
    }
}

// Each code is the number of boundaries strictly exceeded, found by a binary search over the
// boundaries held in one register (ascending, none NaN: the count is then the largest c with
// v > boundary c - 1). The 8 codes of a group of coordinates
// form each lane's 8 * Bits bit string, whose bytes become the group's Bits rows of the block.
template <size_t Bits>
QUILANE_AVX512 void quantise_to_block_avx512(const float* x, size_t dim,
                                             std::span<const float> boundaries, uint8_t* block) {
    constexpr size_t kBoundaries = (size_t{1} << Bits) - 1;
    float padded[kLanes] = {};
    std::copy_n(boundaries.begin(), kBoundaries, padded);
    const __m512 table = _mm512_loadu_ps(padded);
    const __m512i one = _mm512_set1_epi32(1);
    for (size_t g = 0; g < dim / 8; ++g) {
        __m512i string = _mm512_setzero_si512();
        for (size_t b = 0; b < 8; ++b) {
            const __m512 v = _mm512_loadu_ps(x + (8 * g + b) * kLanes);
            __m512i code = _mm512_setzero_si512();
            for (int step = 1 << (Bits - 1); step >= 1; step /= 2) {
                const __m512i candidate = _mm512_add_epi32(code, _mm512_set1_epi32(step));
                const __m512 bound = _mm512_permutexvar_ps(_mm512_sub_epi32(candidate, one), table);
                const __mmask16 above = _mm512_cmp_ps_mask(v, bound, _CMP_GT_OQ);
                code = _mm512_mask_mov_epi32(code, above, candidate);
            }
            string = _mm512_or_si512(string, _mm512_slli_epi32(code, static_cast<int>(b * Bits)));
        }
        for (size_t r = 0; r < Bits; ++r) {
            const __m512i byte = _mm512_srli_epi32(string, static_cast<int>(8 * r));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(block + kBlockVectors * (g * Bits + r)),
                             _mm512_cvtepi32_epi8(byte));
        }
    }
}

// Encodes 16 whole vectors into one block (block_bytes(bits, dim)) and their norms; x has room
// for padded_dim rows of 16 lanes.
QUILANE_AVX512 void encode_block_avx512(const float* vectors, size_t dim,
                                        const Transform& transform,
                                        std::span<const float> boundaries, size_t bits, float* x,
                                        float* norms, uint8_t* block) {
    load_lanes_avx512(vectors, dim, x, norms);
    std::fill(x + dim * kLanes, x + transform.padded_dim * kLanes, 0.0f);
    rescale_overflowed_lanes(vectors, kLanes, dim, kLanes, norms, x);
    if (transform.has_signs) {
        walsh_hadamard_avx512(x, transform.signs, dim);
    }
    rotate_avx512(transform, x);
    switch (bits) {
        case 2:
            return quantise_to_block_avx512<2>(x, dim, boundaries, block);
        case 3:
            return quantise_to_block_avx512<3>(x, dim, boundaries, block);
        default:
            return quantise_to_block_avx512<4>(x, dim, boundaries, block);
    }
}

#pragma GCC diagnostic pop
#undef QUILANE_AVX512

// The gathers read 16 rows at once, a pattern the hardware prefetcher does not follow: ask for
// the next group while this one is encoded, or encoding waits on memory.
void prefetch_group(const float* vectors, size_t dim) {
    const auto* bytes = reinterpret_cast<const char*>(vectors);
    for (size_t offset = 0; offset < kLanes * dim * sizeof(float); offset += 64) {
        _mm_prefetch(bytes + offset, _MM_HINT_T0);
    }
}

}  // namespace

size_t encode_groups_avx512(std::span<const float> vectors, size_t n, size_t dim,
                            const Transform& transform, std::span<const float> boundaries,
                            size_t bits, std::span<uint8_t> store, size_t first,
                            std::span<float> norms) {
    if (n < kLanes || dim > kMaxGatherDim || !ascending_without_nan(boundaries)) {
        return 0;
    }
    std::vector<float> x(checked_mul(transform.padded_dim, kLanes));
    std::vector<uint8_t> block(block_bytes(bits, dim));
    InterruptPoll poll;
    size_t done = 0;
    for (; done + kLanes <= n; done += kLanes) {
        poll();
        if (done + 2 * kLanes <= n) {
            prefetch_group(vectors.data() + (done + kLanes) * dim, dim);
        }
        encode_block_avx512(vectors.data() + done * dim, dim, transform, boundaries, bits, x.data(),
                            norms.data() + done, block.data());
        block_lanes_to_store(block.data(), kLanes, dim, bits, store.data(), first + done);
    }
    return done;
}

#else

size_t encode_groups_avx512(std::span<const float>, size_t, size_t, const Transform&,
                            std::span<const float>, size_t, std::span<uint8_t>, size_t,
                            std::span<float>) {
    return 0;
}

#endif

}  // namespace quilane
