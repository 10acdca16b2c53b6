#include "search.hpp"

#include <tbb/enumerable_thread_specific.h>
#include <tbb/task_arena.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "checked_size.hpp"
#include "error.hpp"
#include "pack.hpp"
#include "parallel.hpp"

namespace quilane {

namespace {

struct Candidate {
    float score;
    uint64_t position;
};

// The one order of every ranking: higher score first, NaN below every number (also below -inf),
// and among equal scores the lower position first. Positions are distinct, so this is a strict
// total order: sorts are deterministic, and the k best of a scan do not depend on how the stored
// vectors were visited or split.
bool ranks_above(const Candidate& a, const Candidate& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) {
        return b_nan;
    }
    if (!a_nan && a.score != b.score) {
        return a.score > b.score;
    }
    return a.position < b.position;
}

bool ranks_below(const Candidate& a, const Candidate& b) {
    return ranks_above(b, a);
}

// The best k candidates of one query. Once full it is kept worst first, so that a candidate that
// does not belong costs one comparison.
struct CandidateBuffer {
    std::vector<Candidate> items;
    size_t k = 0;
};

void reset(CandidateBuffer& buffer, size_t k) {
    buffer.items.clear();
    buffer.items.reserve(k);
    buffer.k = k;
}

// Candidates may arrive in any order: the order is total, so the buffer ends with the same k
// best whatever the order. Once full, a candidate enters only if it ranks above the worst.
void offer(CandidateBuffer& buffer, Candidate candidate) {
    std::vector<Candidate>& items = buffer.items;
    if (items.size() < buffer.k) {
        items.push_back(candidate);
        if (items.size() == buffer.k && buffer.k >= 2) {
            std::sort(items.begin(), items.end(), ranks_below);
        }
        return;
    }
    if (!ranks_above(candidate, items.front())) {
        return;
    }
    items.front() = candidate;
    for (size_t i = 0; i + 1 < items.size() && ranks_above(items[i], items[i + 1]); ++i) {
        std::swap(items[i], items[i + 1]);
    }
}

// Writes the buffer best first into one row of the outputs.
void write_best_first(CandidateBuffer& buffer, float* scores, int64_t* positions) {
    std::sort(buffer.items.begin(), buffer.items.end(), ranks_above);
    for (size_t r = 0; r < buffer.items.size(); ++r) {
        scores[r] = buffer.items[r].score;
        positions[r] = static_cast<int64_t>(buffer.items[r].position);
    }
}

// blocks: whether the codes are a block store rather than packed records.
void check_scan_inputs(std::span<const float> queries, size_t nq, const Transform& transform,
                       const ScanInput& index, size_t k, bool blocks) {
    const size_t dim = index.dim;
    const bool shape_ok = index.bits >= 2 && index.bits <= 4 && dim != 0 && dim % 8 == 0;
    const bool codes_ok =
        shape_ok &&
        (blocks ? index.codes.size() / block_bytes(index.bits, dim) >= block_count(index.n)
                : index.codes.size() / record_bytes(index.bits, dim) >= index.n);
    const bool sizes_ok = codes_ok && transform.padded_dim >= dim && queries.size() / dim >= nq &&
                          k >= 1 && k <= index.n && index.norms.size() >= index.n &&
                          index.centroids.size() >= (size_t{1} << index.bits);
    if (!sizes_ok) {
        fail("internal error: search given inconsistent inputs (nq " + std::to_string(nq) + ", n " +
             std::to_string(index.n) + ", k " + std::to_string(k) + ")");
    }
}

// Each query copied into a zero-padded row and moved into the frame of the stored codes. Queries
// are not normalised.
std::vector<float> transform_queries(std::span<const float> queries, size_t nq, size_t dim,
                                     const Transform& transform) {
    const size_t padded = transform.padded_dim;
    std::vector<float> rows(checked_mul(nq, padded), 0.0f);
    for (size_t q = 0; q < nq; ++q) {
        const std::span<float> row(rows.data() + q * padded, padded);
        std::copy_n(queries.data() + q * dim, dim, row.begin());
        transform_row(transform, dim, row);
    }
    return rows;
}

SearchResults allocate_results(size_t nq, size_t k) {
    SearchResults results;
    results.scores.assign(checked_mul(nq, k), 0.0f);
    results.positions.assign(results.scores.size(), -1);
    results.nq = nq;
    results.k = k;
    return results;
}

// --- Block kernels ---
//
// Each SIMD lane scores one stored vector of a block against one query: it adds the query's
// table entries T[j][code] for j = 0, 1, ... starting from 0.0f, then multiplies by the norm.
// T[j][e] = t[j] * centroid[e mod 2^bits] for e in 0 ... 15 is the very product the plain rule
// forms, so every lane computes bit for bit the plain score. Replicating the table over 16
// entries lets a kernel index it with the low 4 bits of the shifted group string unmasked.

constexpr size_t kTableWidth = 16;
// Queries that share one decoding of a block; also independent sums that hide add latency.
constexpr size_t kMaxGroup = 4;
// The tables of a query group should stay in the first-level cache.
constexpr size_t kTableBudgetBytes = 32 * 1024;
// A chunk of blocks that stays in the second-level cache while every query group passes over it.
constexpr size_t kChunkBudgetBytes = 256 * 1024;
// Chunks per worker when there are few query groups, so that one query uses every core.
constexpr size_t kChunksPerWorker = 8;

// One kernel call: one block against `group` queries.
struct BlockJob {
    const uint8_t* block;
    size_t groups;        // dim / 8
    const float* tables;  // one table of dim * kTableWidth floats per query ...
    size_t table_stride;  // ... this many floats apart
    const float* norms;   // kBlockVectors norms
    float* scores;        // group x kBlockVectors scores
};

using BlockKernel = void (*)(const BlockJob&);

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
BlockKernel kernel_of(ScanPath path) {
#if defined(__x86_64__)
    switch (path) {
        case ScanPath::Avx512:
            return score_block_avx512<Bits, G>;
        case ScanPath::Avx2:
            return score_block_avx2<Bits, G>;
        case ScanPath::Scalar:
            break;
    }
#else
    (void)path;
#endif
    return score_block_scalar<Bits, G>;
}

template <size_t Bits>
BlockKernel kernel_of(ScanPath path, size_t group) {
    switch (group) {
        case 1:
            return kernel_of<Bits, 1>(path);
        case 2:
            return kernel_of<Bits, 2>(path);
        case 3:
            return kernel_of<Bits, 3>(path);
        default:
            return kernel_of<Bits, kMaxGroup>(path);
    }
}

BlockKernel kernel_of(ScanPath path, size_t bits, size_t group) {
    switch (bits) {
        case 2:
            return kernel_of<2>(path, group);
        case 3:
            return kernel_of<3>(path, group);
        default:
            return kernel_of<4>(path, group);
    }
}

// --- Splitting the scan ---

// How the scan is cut into tasks: each task scores one chunk of blocks against one group of
// queries.
struct ScanPlan {
    size_t group = 1;         // queries per kernel call
    size_t query_groups = 0;  // ceil(nq / group)
    size_t chunk_blocks = 1;  // blocks per chunk
    size_t chunks = 0;
};

ScanPlan plan_scan(size_t nq, const ScanInput& index) {
    ScanPlan plan;
    const size_t table_bytes = checked_mul(index.dim, kTableWidth, sizeof(float));
    plan.group = std::clamp<size_t>(kTableBudgetBytes / table_bytes, 1, kMaxGroup);
    plan.query_groups = (nq + plan.group - 1) / plan.group;
    const size_t blocks = block_count(index.n);
    const size_t cached =
        std::max<size_t>(1, kChunkBudgetBytes / block_bytes(index.bits, index.dim));
    const size_t workers =
        static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
    const size_t wanted_chunks =
        (kChunksPerWorker * workers + plan.query_groups - 1) / plan.query_groups;
    const size_t spread = (blocks + wanted_chunks - 1) / wanted_chunks;
    plan.chunk_blocks = std::clamp<size_t>(spread, 1, cached);
    plan.chunks = (blocks + plan.chunk_blocks - 1) / plan.chunk_blocks;
    return plan;
}

// What one worker keeps across the tasks it runs: the best k so far of every query among the
// vectors it scored, the tables of its current query group and the scores of one block.
struct WorkerState {
    std::vector<CandidateBuffer> buffers;
    std::vector<float> tables;
    std::vector<float> scores;
};

// tables[q * dim * 16 + j * 16 + e] = t_q[j] * centroid[e mod 2^bits].
void build_tables(const float* rows, size_t padded, size_t count, const ScanInput& index,
                  std::vector<float>& tables) {
    const size_t levels = size_t{1} << index.bits;
    tables.resize(checked_mul(count, index.dim, kTableWidth));
    float* out = tables.data();
    for (size_t q = 0; q < count; ++q) {
        const float* t = rows + q * padded;
        for (size_t j = 0; j < index.dim; ++j) {
            for (size_t e = 0; e < kTableWidth; ++e) {
                *out++ = t[j] * index.centroids[e % levels];
            }
        }
    }
}

// Offers the scores of one block. Until the buffer is full, and while its worst score is NaN,
// every lane is offered; then only lanes not below the worst score (the comparison is false for
// NaN), since an equal score may still enter from a lower position.
void offer_block(CandidateBuffer& buffer, const float* scores, size_t lanes, size_t first) {
    const bool full = buffer.items.size() == buffer.k;
    const float threshold =
        full ? buffer.items.front().score : std::numeric_limits<float>::quiet_NaN();
    for (size_t lane = 0; lane < lanes; ++lane) {
        if (!(scores[lane] < threshold)) {
            offer(buffer, Candidate{scores[lane], first + lane});
        }
    }
}

void run_task(BlockKernel kernel, const ScanPlan& plan, size_t chunk, size_t query_group,
              const std::vector<float>& rows, size_t padded, size_t nq, const ScanInput& index,
              WorkerState& state) {
    const size_t q0 = query_group * plan.group;
    const size_t count = std::min(plan.group, nq - q0);
    build_tables(rows.data() + q0 * padded, padded, count, index, state.tables);
    state.scores.resize(plan.group * kBlockVectors);
    const size_t stride = index.dim * kTableWidth;
    const size_t bytes = block_bytes(index.bits, index.dim);
    const size_t first_block = chunk * plan.chunk_blocks;
    const size_t last_block = std::min(first_block + plan.chunk_blocks, block_count(index.n));
    std::array<float, kBlockVectors> tail_norms{};
    for (size_t block = first_block; block < last_block; ++block) {
        const size_t first = block * kBlockVectors;
        const size_t lanes = std::min(kBlockVectors, index.n - first);
        const float* norms = index.norms.data() + first;
        if (lanes < kBlockVectors) {
            std::copy_n(norms, lanes, tail_norms.begin());
            norms = tail_norms.data();
        }
        kernel(BlockJob{index.codes.data() + block * bytes, index.dim / 8, state.tables.data(),
                        stride, norms, state.scores.data()});
        for (size_t q = 0; q < count; ++q) {
            offer_block(state.buffers[q0 + q], state.scores.data() + q * kBlockVectors, lanes,
                        first);
        }
    }
}

// Every stored vector went to exactly one worker's buffer, so the best k of the union of the
// buffers are the best k overall; the order is total, so they come out the same for any split.
void merge_into_results(tbb::enumerable_thread_specific<WorkerState>& states, size_t nq, size_t k,
                        SearchResults& results) {
    parallel_for_each(nq, [&](size_t q) {
        CandidateBuffer merged;
        merged.k = k;
        for (WorkerState& state : states) {
            const std::vector<Candidate>& items = state.buffers[q].items;
            merged.items.insert(merged.items.end(), items.begin(), items.end());
        }
        std::partial_sort(merged.items.begin(), merged.items.begin() + static_cast<ptrdiff_t>(k),
                          merged.items.end(), ranks_above);
        merged.items.resize(k);
        write_best_first(merged, results.scores.data() + q * k, results.positions.data() + q * k);
    });
}

}  // namespace

bool scan_path_supported(ScanPath path) {
#if defined(__x86_64__)
    switch (path) {
        case ScanPath::Avx512:
            return __builtin_cpu_supports("avx512f");
        case ScanPath::Avx2:
            return __builtin_cpu_supports("avx2");
        case ScanPath::Scalar:
            return true;
    }
    return false;
#else
    return path == ScanPath::Scalar;
#endif
}

ScanPath best_scan_path() {
    for (const ScanPath path : {ScanPath::Avx512, ScanPath::Avx2}) {
        if (scan_path_supported(path)) {
            return path;
        }
    }
    return ScanPath::Scalar;
}

SearchResults search(std::span<const float> queries, size_t nq, const Transform& transform,
                     const ScanInput& index, size_t k) {
    static const ScanPath best = best_scan_path();
    return search_on_path(best, queries, nq, transform, index, k);
}

SearchResults search_on_path(ScanPath path, std::span<const float> queries, size_t nq,
                             const Transform& transform, const ScanInput& index, size_t k) {
    check_scan_inputs(queries, nq, transform, index, k, true);
    if (!scan_path_supported(path)) {
        fail("internal error: this processor cannot run scan path " +
             std::to_string(static_cast<int>(path)));
    }
    const size_t padded = transform.padded_dim;
    const std::vector<float> rows = transform_queries(queries, nq, index.dim, transform);
    SearchResults results = allocate_results(nq, k);
    if (nq == 0) {
        return results;
    }
    const ScanPlan plan = plan_scan(nq, index);

    tbb::enumerable_thread_specific<WorkerState> states([&] {
        WorkerState state;
        state.buffers.resize(nq);
        for (CandidateBuffer& buffer : state.buffers) {
            buffer.k = k;
        }
        return state;
    });
    const size_t tasks = plan.chunks * plan.query_groups;
    parallel_for_each(tasks, [&](size_t task) {
        const size_t chunk = task / plan.query_groups;
        const size_t query_group = task % plan.query_groups;
        const size_t count = std::min(plan.group, nq - query_group * plan.group);
        run_task(kernel_of(path, index.bits, count), plan, chunk, query_group, rows, padded, nq,
                 index, states.local());
    });
    merge_into_results(states, nq, k, results);
    return results;
}

SearchResults search_reference(std::span<const float> queries, size_t nq,
                               const Transform& transform, const ScanInput& index, size_t k) {
    check_scan_inputs(queries, nq, transform, index, k, false);
    const size_t dim = index.dim;
    const size_t padded = transform.padded_dim;
    const size_t record = record_bytes(index.bits, dim);
    const std::vector<float> rows = transform_queries(queries, nq, dim, transform);
    SearchResults results = allocate_results(nq, k);

    std::vector<uint8_t> codes(dim);
    CandidateBuffer buffer;
    for (size_t q = 0; q < nq; ++q) {
        const float* t = rows.data() + q * padded;
        reset(buffer, k);
        for (size_t i = 0; i < index.n; ++i) {
            unpack_record(index.codes.data() + i * record, dim, index.bits, codes.data());
            float s = 0.0f;
            for (size_t j = 0; j < dim; ++j) {
                s = s + t[j] * index.centroids[codes[j]];
            }
            s = s * index.norms[i];
            offer(buffer, Candidate{s, i});
        }
        write_best_first(buffer, results.scores.data() + q * k, results.positions.data() + q * k);
    }
    return results;
}

}  // namespace quilane
