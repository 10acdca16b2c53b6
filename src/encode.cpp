#include "encode.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "checked_size.hpp"
#include "encode_avx512.hpp"
#include "error.hpp"
#include "isa.hpp"
#include "normalise.hpp"
#include "pack.hpp"
#include "parallel.hpp"
#include "rotation.hpp"

namespace quilane {

namespace {

void check_encode_inputs(std::span<const float> vectors, size_t n, size_t dim,
                         const Transform& transform, std::span<const float> boundaries,
                         size_t bits) {
    if (bits < 2 || bits > 4 || dim == 0 || dim % 8 != 0 || transform.padded_dim < dim ||
        boundaries.size() != (size_t{1} << bits) - 1 || vectors.size() / dim < n) {
        fail("internal error: encode given inconsistent inputs (n " + std::to_string(n) + ", dim " +
             std::to_string(dim) + ", bits " + std::to_string(bits) + ")");
    }
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
    rescale_overflowed_lanes(vectors, count, dim, kLanes, norms, x);
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
    // The intrinsics pay here (5 to 7 times the compiler-vectorised lanes in bench_index), since
    // they keep the boundaries in registers and build the block bytes without a pass through
    // memory.
    const size_t done = isa == Isa::Avx512
                            ? encode_groups_avx512(vectors, n, dim, transform, boundaries, bits,
                                                   store, first, norms)
                            : 0;
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
