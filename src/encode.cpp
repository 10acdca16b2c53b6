#include "encode.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "checked_size.hpp"
#include "error.hpp"
#include "isa.hpp"
#include "pack.hpp"
#include "parallel.hpp"
#include "rotation.hpp"

namespace quilane {

namespace {

// A vector whose norm is not above this is stored as the zero direction. Compared in single
// precision, like everything else on the vector path.
constexpr float kMinNorm = 1e-10f;

void check_encode_inputs(std::span<const float> vectors, size_t n, size_t dim,
                         const Transform& transform, std::span<const float> boundaries,
                         size_t bits) {
    if (bits < 2 || bits > 4 || dim == 0 || dim % 8 != 0 || transform.padded_dim < dim ||
        boundaries.size() != (size_t{1} << bits) - 1 || vectors.size() / dim < n) {
        fail("internal error: encode given inconsistent inputs (n " + std::to_string(n) + ", dim " +
             std::to_string(dim) + ", bits " + std::to_string(bits) + ")");
    }
}

bool ascending_without_nan(std::span<const float> x) {
    return std::ranges::none_of(x, [](float v) { return std::isnan(v); }) &&
           std::ranges::is_sorted(x);
}

bool all_finite(std::span<const float> x) {
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

// The squares of coordinates above about 1.8e19 overflow single precision although the vector is
// finite. Scaling by the power of two of the largest coordinate is exact, so the direction comes
// out as it would for a smaller multiple of the vector, and the norm is finite whenever it fits.
float normalise_scaled(std::span<const float> x, std::span<float> row) {
    float largest = 0.0f;
    for (const float v : x) {
        largest = std::max(largest, std::fabs(v));
    }
    int exponent = 0;
    std::frexp(largest, &exponent);
    float sum = 0.0f;
    for (const float v : x) {
        const float scaled = std::ldexp(v, -exponent);
        sum = sum + scaled * scaled;
    }
    const float scaled_norm = std::sqrt(sum);
    const float scale = 1.0f / scaled_norm;
    for (size_t j = 0; j < x.size(); ++j) {
        row[j] = std::ldexp(x[j], -exponent) * scale;
    }
    return std::ldexp(scaled_norm, exponent);
}

// Writes x / |x| to row[0, x.size()) and returns |x|: squares summed in single precision in index
// order, multiplied by the reciprocal of the norm, the zero direction for a tiny norm.
float normalise_into(std::span<const float> x, std::span<float> row) {
    float sum = 0.0f;
    for (const float v : x) {
        sum = sum + v * v;
    }
    if (std::isinf(sum) && all_finite(x)) {
        return normalise_scaled(x, row);
    }
    const float norm = std::sqrt(sum);
    const float scale = norm > kMinNorm ? 1.0f / norm : 0.0f;
    for (size_t j = 0; j < x.size(); ++j) {
        row[j] = x[j] * scale;
    }
    return norm;
}

// --- Encoding 16 vectors side by side ---
//
// A lane group holds kLanes vectors transposed, entry j of every vector together, so that each
// step runs the same operations on every lane and the compiler can vectorise across vectors.
// Every lane still does exactly the operations of the plain rule in the plain order (the norm's
// sum runs sequentially over j within its lane), so the codes and norms are bit for bit those
// of encode_reference.

constexpr size_t kLanes = 16;

struct LaneGroup {
    std::vector<float> x;        // padded_dim x kLanes, entry j of lane l at j * kLanes + l
    std::vector<uint8_t> codes;  // kLanes x dim, one code per byte, row-major by vector
};

// The lane helpers are inlined so that they are compiled for the instruction set of each version
// of encode_lanes.

// Sum of squares of each lane, each in index order.
[[gnu::always_inline]] inline void lane_sums_of_squares(const float* x, size_t dim, float* sums) {
    for (size_t l = 0; l < kLanes; ++l) {
        sums[l] = 0.0f;
    }
    for (size_t j = 0; j < dim; ++j) {
        const float* row = x + j * kLanes;
        for (size_t l = 0; l < kLanes; ++l) {
            sums[l] = sums[l] + row[l] * row[l];
        }
    }
}

[[gnu::always_inline]] inline void lane_walsh_hadamard(float* x, std::span<const float> signs,
                                                       size_t dim) {
    const size_t flipped = std::min(signs.size(), dim);
    for (size_t j = 0; j < flipped; ++j) {
        for (size_t l = 0; l < kLanes; ++l) {
            x[j * kLanes + l] *= signs[j];
        }
    }
    for (size_t h = 1; h < dim; h *= 2) {
        for (size_t i = 0; i < dim; i += 2 * h) {
            for (size_t j = i; j < i + h; ++j) {
                float* a = x + j * kLanes;
                float* b = x + (j + h) * kLanes;
                for (size_t l = 0; l < kLanes; ++l) {
                    const float u = a[l];
                    const float v = b[l];
                    a[l] = u + v;
                    b[l] = u - v;
                }
            }
        }
    }
    const float scale = 1.0f / std::sqrt(static_cast<float>(dim));
    for (size_t j = 0; j < dim; ++j) {
        for (size_t l = 0; l < kLanes; ++l) {
            x[j * kLanes + l] *= scale;
        }
    }
}

// out[r] = sum over c of m[r][c] * v[c], from 0.0f in c order, for each lane.
template <size_t K>
[[gnu::always_inline]] inline void lane_rotate_blocks(std::span<const float> matrices, float* x,
                                                      size_t padded) {
    const size_t blocks = std::min(matrices.size() / (K * K), padded / K);
    for (size_t b = 0; b < blocks; ++b) {
        const float* m = matrices.data() + b * K * K;
        float* v = x + b * K * kLanes;
        float out[K][kLanes];
        for (size_t r = 0; r < K; ++r) {
            for (size_t l = 0; l < kLanes; ++l) {
                out[r][l] = 0.0f;
            }
            for (size_t c = 0; c < K; ++c) {
                for (size_t l = 0; l < kLanes; ++l) {
                    out[r][l] += m[r * K + c] * v[c * kLanes + l];
                }
            }
        }
        for (size_t r = 0; r < K; ++r) {
            std::copy_n(out[r], kLanes, v + r * kLanes);
        }
    }
}

[[gnu::always_inline]] inline void lane_rotate(const Transform& transform, float* x) {
    switch (transform.block) {
        case 2:
            return lane_rotate_blocks<2>(transform.matrices, x, transform.padded_dim);
        case 3:
            return lane_rotate_blocks<3>(transform.matrices, x, transform.padded_dim);
        case 4:
            return lane_rotate_blocks<4>(transform.matrices, x, transform.padded_dim);
        default:
            fail("internal error: rotation block size " + std::to_string(transform.block) +
                 " is outside 2..4");
    }
}

[[gnu::always_inline]] inline void lane_quantise(const float* x, size_t dim,
                                                 std::span<const float> boundaries,
                                                 uint8_t* codes) {
    for (size_t j = 0; j < dim; ++j) {
        uint8_t code[kLanes] = {};
        for (const float b : boundaries) {
            for (size_t l = 0; l < kLanes; ++l) {
                code[l] = static_cast<uint8_t>(code[l] + (x[j * kLanes + l] > b ? 1 : 0));
            }
        }
        for (size_t l = 0; l < kLanes; ++l) {
            codes[l * dim + j] = code[l];
        }
    }
}

// Encodes `count` (at most kLanes) vectors into group.codes and norms. Written once and inlined
// into one function per instruction set below, which the compiler vectorises for that set; every
// version computes the same.
[[gnu::always_inline]] inline void encode_lanes(const float* vectors, size_t count, size_t dim,
                                                const Transform& transform,
                                                std::span<const float> boundaries, LaneGroup& group,
                                                float* norms) {
    float* x = group.x.data();
    std::fill(group.x.begin(), group.x.end(), 0.0f);
    for (size_t l = 0; l < count; ++l) {
        for (size_t j = 0; j < dim; ++j) {
            x[j * kLanes + l] = vectors[l * dim + j];
        }
    }
    float sums[kLanes];
    lane_sums_of_squares(x, dim, sums);
    float scales[kLanes];
    for (size_t l = 0; l < kLanes; ++l) {
        const float norm = std::sqrt(sums[l]);
        norms[l] = norm;
        scales[l] = norm > kMinNorm ? 1.0f / norm : 0.0f;
    }
    for (size_t j = 0; j < dim; ++j) {
        for (size_t l = 0; l < kLanes; ++l) {
            x[j * kLanes + l] *= scales[l];
        }
    }
    // A finite vector whose squares overflow takes the exact power-of-two path on its own.
    for (size_t l = 0; l < count; ++l) {
        const std::span<const float> v(vectors + l * dim, dim);
        if (std::isinf(sums[l]) && all_finite(v)) {
            std::vector<float> row(dim);
            norms[l] = normalise_scaled(v, row);
            for (size_t j = 0; j < dim; ++j) {
                x[j * kLanes + l] = row[j];
            }
        }
    }
    if (transform.has_signs) {
        lane_walsh_hadamard(x, transform.signs, dim);
    }
    lane_rotate(transform, x);
    lane_quantise(x, dim, boundaries, group.codes.data());
}

#define QUILANE_LANES_KERNEL(name, ...)                                                  \
    __VA_ARGS__ void name(const float* vectors, size_t count, size_t dim,                \
                          const Transform& transform, std::span<const float> boundaries, \
                          LaneGroup& group, float* norms) {                              \
        encode_lanes(vectors, count, dim, transform, boundaries, group, norms);          \
    }

QUILANE_LANES_KERNEL(encode_lanes_scalar)
#if defined(__x86_64__)
QUILANE_LANES_KERNEL(encode_lanes_avx2, [[gnu::target("avx2")]])
QUILANE_LANES_KERNEL(encode_lanes_avx512, [[gnu::target("avx512f")]])
#endif
#undef QUILANE_LANES_KERNEL

using LanesKernel = void (*)(const float*, size_t, size_t, const Transform&, std::span<const float>,
                             LaneGroup&, float*);

LanesKernel lanes_kernel(Isa isa) {
#if defined(__x86_64__)
    switch (isa) {
        case Isa::Avx512:
            return encode_lanes_avx512;
        case Isa::Avx2:
            return encode_lanes_avx2;
        case Isa::Scalar:
            break;
    }
#endif
    static_cast<void>(isa);
    return encode_lanes_scalar;
}

// The plain steps for one vector, for the few that do not fill a lane group.
void encode_row(std::span<const float> vector, const Transform& transform,
                std::span<const float> boundaries, std::span<float> row, uint8_t* codes,
                float& norm) {
    std::fill(row.begin(), row.end(), 0.0f);
    norm = normalise_into(vector, row);
    transform_row(transform, vector.size(), row);
    for (size_t j = 0; j < vector.size(); ++j) {
        uint8_t code = 0;
        for (const float b : boundaries) {
            code = static_cast<uint8_t>(code + (row[j] > b ? 1 : 0));
        }
        codes[j] = code;
    }
}

#if defined(__x86_64__)

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
    // A finite vector whose squares overflow takes the exact power-of-two path on its own.
    for (size_t l = 0; l < kLanes; ++l) {
        const std::span<const float> v(vectors + l * dim, dim);
        if (std::isinf(norms[l]) && all_finite(v)) {
            std::vector<float> row(dim);
            norms[l] = normalise_scaled(v, row);
            for (size_t j = 0; j < dim; ++j) {
                x[j * kLanes + l] = row[j];
            }
        }
    }
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

#endif

// Encodes the batch a lane group at a time (the rest a vector at a time) and hands each piece's
// codes (one per byte) to store(codes, first row, rows), so that no buffer grows with the batch.
template <class Store>
void encode_chunks(Isa isa, std::span<const float> vectors, size_t n, size_t dim,
                   const Transform& transform, std::span<const float> boundaries,
                   std::span<float> norms, Store store) {
    const LanesKernel encode_lanes = lanes_kernel(isa);
    LaneGroup group;
    group.codes.resize(checked_mul(kLanes, dim));
    size_t first = 0;
    InterruptPoll poll;
    if (n >= kLanes) {
        group.x.resize(checked_mul(transform.padded_dim, kLanes));
        for (; first + kLanes <= n; first += kLanes) {
            poll();
            encode_lanes(vectors.data() + first * dim, kLanes, dim, transform, boundaries, group,
                         norms.data() + first);
            store(group.codes.data(), first, kLanes);
        }
    }
    std::vector<float> row(transform.padded_dim);
    for (; first < n; ++first) {
        encode_row(vectors.subspan(first * dim, dim), transform, boundaries, row,
                   group.codes.data(), norms[first]);
        store(group.codes.data(), first, 1);
    }
}

}  // namespace

Encoded encode(std::span<const float> vectors, size_t n, size_t dim, const Transform& transform,
               std::span<const float> boundaries, size_t bits) {
    check_encode_inputs(vectors, n, dim, transform, boundaries, bits);
    const size_t record = record_bytes(bits, dim);
    Encoded out;
    out.codes.assign(checked_mul(n, record), 0);
    out.norms.resize(n);
    encode_chunks(active_isa(), vectors, n, dim, transform, boundaries, out.norms,
                  [&](const uint8_t* codes, size_t first, size_t rows) {
                      pack_codes_into(
                          std::span<const uint8_t>(codes, rows * dim), rows, dim, bits,
                          std::span<uint8_t>(out.codes).subspan(first * record, rows * record));
                  });
    return out;
}

void encode_into_blocks(std::span<const float> vectors, size_t n, size_t dim,
                        const Transform& transform, std::span<const float> boundaries, size_t bits,
                        std::span<uint8_t> store, size_t first, std::span<float> norms) {
    encode_into_blocks_on_isa(active_isa(), vectors, n, dim, transform, boundaries, bits, store,
                              first, norms);
}

void encode_into_blocks_on_isa(Isa isa, std::span<const float> vectors, size_t n, size_t dim,
                               const Transform& transform, std::span<const float> boundaries,
                               size_t bits, std::span<uint8_t> store, size_t first,
                               std::span<float> norms) {
    check_encode_inputs(vectors, n, dim, transform, boundaries, bits);
    if (norms.size() < n || store.size() < block_store_bytes(bits, dim, first + n)) {
        fail("internal error: encode given a store too small for " + std::to_string(n) +
             " vectors");
    }
    if (!isa_supported(isa)) {
        fail("internal error: this processor cannot run encode on " + std::string(isa_name(isa)));
    }
    size_t done = 0;
#if defined(__x86_64__)
    // The intrinsics pay here (5 to 7 times the compiler-vectorised lanes in bench_index), since
    // they keep the boundaries in registers and build the block bytes without a pass through
    // memory.
    if (isa == Isa::Avx512 && n >= kLanes && dim <= kMaxGatherDim &&
        ascending_without_nan(boundaries)) {
        std::vector<float> x(checked_mul(transform.padded_dim, kLanes));
        std::vector<uint8_t> block(block_bytes(bits, dim));
        InterruptPoll poll;
        for (; done + kLanes <= n; done += kLanes) {
            poll();
            if (done + 2 * kLanes <= n) {
                prefetch_group(vectors.data() + (done + kLanes) * dim, dim);
            }
            encode_block_avx512(vectors.data() + done * dim, dim, transform, boundaries, bits,
                                x.data(), norms.data() + done, block.data());
            block_lanes_to_store(block.data(), kLanes, dim, bits, store.data(), first + done);
        }
    }
#endif
    encode_chunks(isa, vectors.subspan(done * dim), n - done, dim, transform, boundaries,
                  norms.subspan(done), [&](const uint8_t* codes, size_t row, size_t rows) {
                      codes_to_blocks(codes, rows, dim, bits, store.data(), first + done + row);
                  });
}

Encoded encode_reference(std::span<const float> vectors, size_t n, size_t dim,
                         const Transform& transform, std::span<const float> boundaries,
                         size_t bits) {
    check_encode_inputs(vectors, n, dim, transform, boundaries, bits);
    const size_t padded = transform.padded_dim;
    Encoded out;
    out.norms.resize(n);

    std::vector<float> work(checked_mul(n, padded), 0.0f);
    for (size_t i = 0; i < n; ++i) {
        const std::span<float> row(work.data() + i * padded, padded);
        out.norms[i] = normalise_into(vectors.subspan(i * dim, dim), row);
        if (transform.has_signs) {
            wht_inplace(row, transform.signs, dim);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        rotate_inplace(transform.matrices, transform.block,
                       std::span<float>(work.data() + i * padded, padded));
    }

    std::vector<uint8_t> codes(checked_mul(n, dim));
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < dim; ++j) {
            const float v = work[i * padded + j];
            uint8_t code = 0;
            for (const float b : boundaries) {
                if (v > b) {
                    ++code;
                }
            }
            codes[i * dim + j] = code;
        }
    }
    out.codes = pack_codes(codes, n, dim, bits);
    return out;
}

}  // namespace quilane
