#include "search.hpp"

#include <tbb/enumerable_thread_specific.h>
#include <tbb/task_arena.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "checked_size.hpp"
#include "error.hpp"
#include "first_pass.hpp"
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

bool is_allowed(const ScanInput& index, size_t position) {
    return index.allowed.empty() || ((index.allowed[position / 64] >> (position % 64)) & 1u);
}

// The codes may be packed records or a compact block store: both take the same bytes.
void check_scan_inputs(std::span<const float> queries, size_t nq, const Transform& transform,
                       const ScanInput& index, size_t k) {
    const size_t dim = index.dim;
    const bool shape_ok = index.bits >= 2 && index.bits <= 4 && dim != 0 && dim % 8 == 0;
    // A compact block store takes the bytes of the records.
    const bool codes_ok = shape_ok && index.codes.size() / record_bytes(index.bits, dim) >= index.n;
    const bool allowed_ok = index.allowed.empty() || index.allowed.size() >= (index.n + 63) / 64;
    const bool sizes_ok = codes_ok && allowed_ok && transform.padded_dim >= dim &&
                          queries.size() / dim >= nq && k >= 1 && k <= index.n &&
                          index.norms.size() >= index.n &&
                          index.centroids.size() >= (size_t{1} << index.bits) &&
                          k <= count_allowed(index.allowed, index.n);
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
            return kernel_of<Bits, kMaxGroup>(path);
    }
}

BlockKernel kernel_of(Isa path, size_t bits, size_t group) {
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
    const size_t workers = std::min(
        thread_limit(), static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency())));
    const size_t wanted_chunks =
        (kChunksPerWorker * workers + plan.query_groups - 1) / plan.query_groups;
    const size_t spread = (blocks + wanted_chunks - 1) / wanted_chunks;
    plan.chunk_blocks = std::clamp<size_t>(spread, 1, cached);
    plan.chunks = (blocks + plan.chunk_blocks - 1) / plan.chunk_blocks;
    return plan;
}

// A single query streams the store once and is bound by memory, where the first pass gains
// nothing; with few stored vectors per result the thresholds settle too late to skip much.
constexpr size_t kFirstPassMinQueries = 2;
constexpr size_t kFirstPassMinVectorsPerResult = 64;

bool use_first_pass(FirstPass choice, size_t nq, const ScanInput& index, size_t k) {
    if (!first_pass_fits(index.bits) || choice == FirstPass::Off) {
        return false;
    }
    return choice == FirstPass::On ||
           (nq >= kFirstPassMinQueries && index.n / k >= kFirstPassMinVectorsPerResult);
}

// What every task reads.
struct ScanContext {
    const ScanInput& index;
    const std::vector<float>& rows;  // transformed queries
    size_t padded;
    size_t nq;
    ScanPlan plan;
    Isa isa;
    bool first_pass;
    std::vector<QuantisedQuery> quantised;  // one per query when first_pass
    std::vector<uint8_t> last_block;        // the compact last block, padded
};

const uint8_t* block_at(const ScanContext& ctx, size_t block) {
    const size_t bytes = block_bytes(ctx.index.bits, ctx.index.dim);
    return block < ctx.index.n / kBlockVectors ? ctx.index.codes.data() + block * bytes
                                               : ctx.last_block.data();
}

// The last, partial block of a compact store padded to 16 lanes; as large as the transform a
// search builds anyway (at most 8 bytes per coordinate against 12), and only for the search.
std::vector<uint8_t> padded_last_block(const ScanInput& index) {
    const size_t whole = index.n / kBlockVectors;
    if (whole * kBlockVectors == index.n) {
        return {};
    }
    const size_t record = record_bytes(index.bits, index.dim);
    std::vector<uint8_t> block(block_bytes(index.bits, index.dim), 0);
    std::copy_n(index.codes.data() + whole * kBlockVectors * record,
                (index.n - whole * kBlockVectors) * record, block.begin());
    pad_last_block(block.data(), index.n % kBlockVectors, index.dim, index.bits);
    return block;
}

// What one worker keeps across the tasks it runs: the best k so far of every query among the
// vectors it scored, the tables of its current query group and the scores of one block.
struct WorkerState {
    std::vector<CandidateBuffer> buffers;
    std::vector<float> tables;
    std::vector<float> scores;
    std::vector<uint32_t> sums;
    uint64_t scored_exactly = 0;
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

// The lanes of the block starting at `first` that hold allowed stored vectors, bit per lane.
uint32_t live_lanes(const ScanInput& index, size_t first, size_t lanes) {
    const uint32_t stored = lanes == kBlockVectors ? 0xFFFFu : (uint32_t{1} << lanes) - 1;
    if (index.allowed.empty()) {
        return stored;
    }
    // Blocks start at multiples of 16, so one word holds all of a block's bits.
    return static_cast<uint32_t>(index.allowed[first / 64] >> (first % 64)) & stored;
}

// Offers the scores of one block's live lanes. Until the buffer is full, and while its worst
// score is NaN, every lane is offered; then only lanes not below the worst score (the comparison
// is false for NaN), since an equal score may still enter from a lower position.
void offer_block(CandidateBuffer& buffer, const float* scores, uint32_t live, size_t first) {
    const bool full = buffer.items.size() == buffer.k;
    const float threshold =
        full ? buffer.items.front().score : std::numeric_limits<float>::quiet_NaN();
    for (; live != 0; live &= live - 1) {
        const size_t lane = static_cast<size_t>(std::countr_zero(live));
        if (!(scores[lane] < threshold)) {
            offer(buffer, Candidate{scores[lane], first + lane});
        }
    }
}

// Whether a block's live lanes may hold a vector that enters the buffer, judged from their
// first-pass sums (first_pass.cpp says why a false answer is safe).
bool may_enter(const CandidateBuffer& buffer, const QuantisedQuery& query, const uint32_t* sums,
               const float* norms, float max_norm, uint32_t live) {
    if (buffer.items.size() < buffer.k || !query.usable) {
        return true;
    }
    const float worst = buffer.items.front().score;
    if (std::isnan(worst)) {
        return true;
    }
    uint32_t max_sum = 0;
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        max_sum = std::max(max_sum, sums[lane]);
    }
    if (block_cannot_reach(query, max_sum, max_norm, worst)) {
        return false;
    }
    for (; live != 0; live &= live - 1) {
        const size_t lane = static_cast<size_t>(std::countr_zero(live));
        if (!lane_cannot_reach(query, sums[lane], norms[lane], worst)) {
            return true;
        }
    }
    return false;
}

// The largest norm of a block, or NaN when one is NaN or negative (the block test then never
// skips, and the lanes are judged one by one).
float largest_norm(const float* norms) {
    float largest = 0.0f;
    bool unordered = false;
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        largest = std::max(largest, norms[lane]);
        unordered |= !(norms[lane] >= 0.0f);
    }
    return unordered ? std::numeric_limits<float>::quiet_NaN() : largest;
}

void run_task(const ScanContext& ctx, size_t chunk, size_t query_group, WorkerState& state) {
    const ScanInput& index = ctx.index;
    const ScanPlan& plan = ctx.plan;
    const size_t q0 = query_group * plan.group;
    const size_t count = std::min(plan.group, ctx.nq - q0);
    const BlockKernel group_kernel = kernel_of(ctx.isa, index.bits, count);
    const BlockKernel one_kernel = kernel_of(ctx.isa, index.bits, 1);
    const FirstPassKernel first_pass = first_pass_kernel(ctx.isa, count);
    // With the first pass, most tasks never score exactly; their float tables are built on
    // first need.
    bool tables_built = false;
    auto ensure_tables = [&] {
        if (!tables_built) {
            build_tables(ctx.rows.data() + q0 * ctx.padded, ctx.padded, count, index, state.tables);
            tables_built = true;
        }
    };
    std::array<const uint8_t*, kMaxGroup> quantised{};
    if (ctx.first_pass) {
        for (size_t q = 0; q < count; ++q) {
            quantised[q] = ctx.quantised[q0 + q].tables.data();
        }
    } else {
        ensure_tables();
    }
    state.scores.resize(plan.group * kBlockVectors);
    state.sums.resize(plan.group * kBlockVectors);
    const size_t stride = index.dim * kTableWidth;
    const size_t first_block = chunk * plan.chunk_blocks;
    const size_t last_block = std::min(first_block + plan.chunk_blocks, block_count(index.n));
    std::array<float, kBlockVectors> tail_norms{};
    for (size_t block = first_block; block < last_block; ++block) {
        const size_t first = block * kBlockVectors;
        const size_t lanes = std::min(kBlockVectors, index.n - first);
        const uint32_t live = live_lanes(index, first, lanes);
        if (live == 0) {
            continue;
        }
        const float* norms = index.norms.data() + first;
        if (lanes < kBlockVectors) {
            std::copy_n(norms, lanes, tail_norms.begin());
            norms = tail_norms.data();
        }
        const uint8_t* codes = block_at(ctx, block);
        auto score = [&](BlockKernel kernel, size_t q, float* scores) {
            kernel(BlockJob{codes, index.dim / 8, state.tables.data() + q * stride, stride, norms,
                            scores});
        };
        if (!ctx.first_pass) {
            score(group_kernel, 0, state.scores.data());
            state.scored_exactly += count * kBlockVectors;
            for (size_t q = 0; q < count; ++q) {
                offer_block(state.buffers[q0 + q], state.scores.data() + q * kBlockVectors, live,
                            first);
            }
            continue;
        }
        first_pass(FirstPassJob{codes, record_bytes(index.bits, index.dim), quantised.data(),
                                state.sums.data()});
        const float max_norm = largest_norm(norms);
        std::array<bool, kMaxGroup> rescore{};
        size_t rescored = 0;
        for (size_t q = 0; q < count; ++q) {
            rescore[q] = may_enter(state.buffers[q0 + q], ctx.quantised[q0 + q],
                                   state.sums.data() + q * kBlockVectors, norms, max_norm, live);
            rescored += rescore[q];
        }
        if (rescored == 0) {
            continue;
        }
        ensure_tables();
        state.scored_exactly += rescored * kBlockVectors;
        if (rescored == count) {
            score(group_kernel, 0, state.scores.data());
        }
        for (size_t q = 0; q < count; ++q) {
            if (!rescore[q]) {
                continue;
            }
            float* scores = state.scores.data() + q * kBlockVectors;
            if (rescored != count) {
                score(one_kernel, q, scores);
            }
            offer_block(state.buffers[q0 + q], scores, live, first);
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

size_t count_allowed(std::span<const uint64_t> allowed, size_t n) {
    if (allowed.empty()) {
        return n;
    }
    size_t count = 0;
    for (size_t w = 0; w < n / 64; ++w) {
        count += static_cast<size_t>(std::popcount(allowed[w]));
    }
    if (n % 64 != 0) {
        const uint64_t below_n = (uint64_t{1} << (n % 64)) - 1;
        count += static_cast<size_t>(std::popcount(allowed[n / 64] & below_n));
    }
    return count;
}

SearchResults search(std::span<const float> queries, size_t nq, const Transform& transform,
                     const ScanInput& index, size_t k) {
    return search_with(active_isa(), FirstPass::ByShape, queries, nq, transform, index, k);
}

SearchResults search_with(Isa isa, FirstPass first_pass, std::span<const float> queries, size_t nq,
                          const Transform& transform, const ScanInput& index, size_t k) {
    check_scan_inputs(queries, nq, transform, index, k);
    if (!isa_supported(isa)) {
        fail("internal error: this processor cannot run " + std::string(isa_name(isa)));
    }
    const size_t padded = transform.padded_dim;
    const std::vector<float> rows = transform_queries(queries, nq, index.dim, transform);
    SearchResults results = allocate_results(nq, k);
    if (nq == 0) {
        return results;
    }
    ScanContext ctx{index,
                    rows,
                    padded,
                    nq,
                    plan_scan(nq, index),
                    isa,
                    use_first_pass(first_pass, nq, index, k),
                    {},
                    padded_last_block(index)};
    if (ctx.first_pass) {
        ctx.quantised.resize(nq);
        parallel_for_each(nq, [&](size_t q) {
            ctx.quantised[q] = quantise_query(rows.data() + q * padded, index.centroids.data(),
                                              index.dim, index.bits);
        });
    }

    tbb::enumerable_thread_specific<WorkerState> states([&] {
        WorkerState state;
        state.buffers.resize(nq);
        for (CandidateBuffer& buffer : state.buffers) {
            buffer.k = k;
        }
        return state;
    });
    const ScanPlan& plan = ctx.plan;
    parallel_for_each(plan.chunks * plan.query_groups, [&](size_t task) {
        run_task(ctx, task / plan.query_groups, task % plan.query_groups, states.local());
    });
    merge_into_results(states, nq, k, results);
    for (const WorkerState& state : states) {
        results.scored_exactly += state.scored_exactly;
    }
    return results;
}

SearchResults search_reference(std::span<const float> queries, size_t nq,
                               const Transform& transform, const ScanInput& index, size_t k) {
    check_scan_inputs(queries, nq, transform, index, k);
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
            if (!is_allowed(index, i)) {
                continue;
            }
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
