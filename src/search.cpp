#include "search.hpp"

#include <tbb/enumerable_thread_specific.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "candidates.hpp"
#include "checked_size.hpp"
#include "error.hpp"
#include "first_pass.hpp"
#include "pack.hpp"
#include "parallel.hpp"
#include "scan_kernels.hpp"

namespace quilane {

namespace {

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

// --- Splitting the scan ---

// The tables of a query group should stay in the first-level cache.
constexpr size_t kTableBudgetBytes = 32 * 1024;
// A chunk of blocks that stays in the second-level cache while every query group passes over it.
constexpr size_t kChunkBudgetBytes = 256 * 1024;
// Chunks per worker when there are few query groups, so that one query uses every core.
constexpr size_t kChunksPerWorker = 8;

// With few stored vectors per result the thresholds settle too late to skip much. A single
// query takes the first pass too: it reads the same bytes with less arithmetic than the exact
// kernel, which on its own does not keep up with memory (bench_index, "single query").
constexpr size_t kFirstPassMinVectorsPerResult = 64;
// Pairs of a task the first pass judges before it may give up on the rest.
constexpr size_t kJudgedBeforeGivingUp = 256;

bool use_first_pass(FirstPass choice, const ScanInput& index, size_t k) {
    if (!first_pass_fits(index.bits) || choice == FirstPass::Off) {
        return false;
    }
    return choice == FirstPass::On || index.n / k >= kFirstPassMinVectorsPerResult;
}

// How the scan is cut into tasks: each task scores one chunk of blocks against one group of
// queries.
struct ScanPlan {
    bool first_pass = false;
    size_t group = 1;         // queries per kernel call: of the first pass when it runs
    size_t query_groups = 0;  // ceil(nq / group)
    size_t chunk_blocks = 1;  // blocks per chunk
    size_t chunks = 0;
};

ScanPlan plan_scan(size_t nq, const ScanInput& index, Isa isa, bool first_pass) {
    ScanPlan plan;
    plan.first_pass = first_pass;
    if (first_pass) {
        const size_t chunks = first_pass_chunks(record_bytes(index.bits, index.dim));
        const size_t table_bytes = checked_mul(chunks, kChunkTableBytes);
        plan.group =
            std::clamp<size_t>(kTableBudgetBytes / table_bytes, 1, first_pass_group_limit(isa));
    } else {
        const size_t table_bytes = checked_mul(index.dim, kTableWidth, sizeof(float));
        plan.group = std::clamp<size_t>(kTableBudgetBytes / table_bytes, 1, kMaxExactGroup);
    }
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

// What every task reads.
struct ScanContext {
    const ScanInput& index;
    const std::vector<float>& rows;  // transformed queries
    size_t padded;
    size_t nq;
    ScanPlan plan;
    Isa isa;
    // With the first pass: each query's bound, and the integer tables of each query group, those
    // of its queries interleaved chunk by chunk (first_pass.hpp).
    std::vector<QuantisedQuery> quantised;
    std::vector<uint8_t> first_pass_tables;
    size_t group_table_bytes = 0;     // of one query group
    std::vector<float> chunk_norms;   // the largest norm of each chunk (largest_norm)
    std::vector<uint8_t> last_block;  // the compact last block, padded
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

// The largest of `count` norms, or NaN when one is NaN or negative (the block test then never
// skips, and the lanes are judged one by one).
float largest_norm(const float* norms, size_t count) {
    float largest = 0.0f;
    bool unordered = false;
    for (size_t i = 0; i < count; ++i) {
        largest = std::max(largest, norms[i]);
        unordered |= !(norms[i] >= 0.0f);
    }
    return unordered ? std::numeric_limits<float>::quiet_NaN() : largest;
}

// Quantises every query into its group's interleaved tables, and bounds the norms of each chunk.
void quantise_queries(ScanContext& ctx) {
    const ScanInput& index = ctx.index;
    const ScanPlan& plan = ctx.plan;
    const size_t chunks = first_pass_chunks(record_bytes(index.bits, index.dim));
    ctx.group_table_bytes = checked_mul(chunks, plan.group, kChunkTableBytes);
    ctx.first_pass_tables.assign(checked_mul(plan.query_groups, ctx.group_table_bytes), 0);
    ctx.quantised.resize(ctx.nq);
    parallel_for_each(ctx.nq, [&](size_t q) {
        const size_t group = q / plan.group;
        const size_t count = std::min(plan.group, ctx.nq - group * plan.group);
        uint8_t* tables = ctx.first_pass_tables.data() + group * ctx.group_table_bytes +
                          (q % plan.group) * kChunkTableBytes;
        ctx.quantised[q] = quantise_query(ctx.rows.data() + q * ctx.padded, index.centroids.data(),
                                          index.dim, index.bits, tables, count * kChunkTableBytes);
    });
    const size_t chunk_vectors = plan.chunk_blocks * kBlockVectors;
    ctx.chunk_norms.resize(plan.chunks);
    parallel_for_each(plan.chunks, [&](size_t chunk) {
        const size_t first = chunk * chunk_vectors;
        ctx.chunk_norms[chunk] =
            largest_norm(index.norms.data() + first, std::min(index.n - first, chunk_vectors));
    });
}

// What one worker keeps across the tasks it runs: the best k so far of every query among the
// vectors it scored with the bar each sets, the float tables of its current query group and the
// scores of one block.
struct WorkerState {
    std::vector<CandidateBuffer> buffers;
    std::vector<Bar> bars;
    std::vector<float> tables;
    std::vector<float> scores;
    std::vector<uint32_t> sums;
    std::vector<uint32_t> largest_sums;
    uint64_t scored_exactly = 0;
};

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
// is false for NaN), since an equal score may still enter from a lower position. Returns the
// bar the buffer sets afterwards.
Bar offer_block(CandidateBuffer& buffer, const float* scores, uint32_t live, size_t first) {
    const bool full = buffer.items.size() == buffer.k;
    const float threshold =
        full ? buffer.items.front().score : std::numeric_limits<float>::quiet_NaN();
    for (; live != 0; live &= live - 1) {
        const size_t lane = static_cast<size_t>(std::countr_zero(live));
        if (!(scores[lane] < threshold)) {
            offer(buffer, Candidate{scores[lane], first + lane});
        }
    }
    return buffer.items.size() == buffer.k ? bar_below(buffer.items.front().score) : Bar{};
}

// Whether a block's live lanes may hold a vector that clears the bar, judged from their
// first-pass sums (first_pass.cpp says why a false answer is safe).
bool may_enter(const QuantisedQuery& query, const Bar& bar, const uint32_t* sums,
               uint32_t largest_sum, const float* norms, float largest_norm, uint32_t live) {
    if (!bar.armed || !query.usable) {
        return true;
    }
    if (block_cannot_reach(query, bar, largest_sum, largest_norm)) {
        return false;
    }
    for (; live != 0; live &= live - 1) {
        const size_t lane = static_cast<size_t>(std::countr_zero(live));
        if (!lane_cannot_reach(query, bar, sums[lane], norms[lane])) {
            return true;
        }
    }
    return false;
}

// The float tables of one query group (in a buffer of room for all), each built on first need:
// with the first pass most tasks never score exactly.
struct GroupTables {
    const ScanContext& ctx;
    size_t q0;
    std::vector<float>& tables;
    uint32_t built = 0;  // bit per query of the group

    const float* of(size_t q) {
        const size_t stride = ctx.index.dim * kTableWidth;
        if (!((built >> q) & 1u)) {
            build_table(ctx.rows.data() + (q0 + q) * ctx.padded, ctx.index.centroids, ctx.index.dim,
                        ctx.index.bits, tables.data() + q * stride);
            built |= uint32_t{1} << q;
        }
        return tables.data() + q * stride;
    }
};

void run_task(const ScanContext& ctx, size_t chunk, size_t query_group, WorkerState& state) {
    const ScanInput& index = ctx.index;
    const ScanPlan& plan = ctx.plan;
    const size_t q0 = query_group * plan.group;
    const size_t count = std::min(plan.group, ctx.nq - q0);
    const size_t stride = index.dim * kTableWidth;
    state.tables.resize(checked_mul(count, stride));
    GroupTables tables{ctx, q0, state.tables};
    const BlockKernel one_kernel = block_kernel(ctx.isa, index.bits, 1);
    const FirstPassKernel first_pass = first_pass_kernel(ctx.isa, count);
    const uint8_t* group_tables =
        ctx.first_pass_tables.data() + query_group * ctx.group_table_bytes;
    state.scores.resize(plan.group * kBlockVectors);
    state.sums.resize(plan.group * kBlockVectors);
    state.largest_sums.resize(plan.group);
    const size_t first_block = chunk * plan.chunk_blocks;
    const size_t last_block = std::min(first_block + plan.chunk_blocks, block_count(index.n));
    // Per query, a largest sum up to which every block of the chunk is skipped at a glance.
    const float chunk_norm = plan.first_pass ? ctx.chunk_norms[chunk] : 0.0f;
    const uint32_t most_sum = static_cast<uint32_t>(254 * record_bytes(index.bits, index.dim));
    std::array<int64_t, kMaxFirstPassGroup> limits{};
    auto update_limit = [&](size_t q) {
        limits[q] = sum_limit(ctx.quantised[q0 + q], state.bars[q0 + q], chunk_norm, most_sum);
    };
    for (size_t q = 0; plan.first_pass && q < count; ++q) {
        update_limit(q);
    }
    // Where most blocks need scoring exactly anyway (near ties), the first pass is
    // pure cost: the task scores the rest of its chunk exactly, which gives the same result.
    bool skim = plan.first_pass;
    size_t judged = 0;    // (block, query) pairs the first pass judged against a full buffer ...
    size_t rescored = 0;  // ... and those it could not rule out
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
            kernel(BlockJob{codes, index.dim / 8, tables.of(q), stride, norms, scores});
            state.bars[q0 + q] = offer_block(state.buffers[q0 + q], scores, live, first);
        };
        if (!skim) {
            // A group kernel reads the tables of all its queries, one stride apart.
            for (size_t q = 0; q < count; ++q) {
                tables.of(q);
            }
            for (size_t g = 0; g < count; g += kMaxExactGroup) {
                block_kernel(ctx.isa, index.bits, std::min(kMaxExactGroup, count - g))(
                    BlockJob{codes, index.dim / 8, tables.of(g), stride, norms,
                             state.scores.data() + g * kBlockVectors});
            }
            state.scored_exactly += count * kBlockVectors;
            for (size_t q = 0; q < count; ++q) {
                state.bars[q0 + q] = offer_block(
                    state.buffers[q0 + q], state.scores.data() + q * kBlockVectors, live, first);
            }
            continue;
        }
        first_pass(FirstPassJob{codes, record_bytes(index.bits, index.dim), group_tables,
                                state.sums.data(), state.largest_sums.data()});
        float block_norm = -1.0f;  // computed on first need
        for (size_t q = 0; q < count; ++q) {
            // Until a buffer is full nothing is skipped; only the blocks judged after count.
            const bool armed = state.bars[q0 + q].armed;
            judged += armed;
            if (static_cast<int64_t>(state.largest_sums[q]) <= limits[q]) {
                continue;
            }
            if (block_norm < 0.0f) {
                block_norm = largest_norm(norms, kBlockVectors);
            }
            if (may_enter(ctx.quantised[q0 + q], state.bars[q0 + q],
                          state.sums.data() + q * kBlockVectors, state.largest_sums[q], norms,
                          block_norm, live)) {
                score(one_kernel, q, state.scores.data());
                state.scored_exactly += kBlockVectors;
                update_limit(q);
                rescored += armed;
            }
        }
        skim = !(judged >= kJudgedBeforeGivingUp && 2 * rescored > judged);
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
    const bool skim = use_first_pass(first_pass, index, k);
    ScanContext ctx{index, rows, padded, nq, plan_scan(nq, index, isa, skim), isa,
                    {},    {},   0,      {}, padded_last_block(index)};
    if (skim) {
        quantise_queries(ctx);
    }

    tbb::enumerable_thread_specific<WorkerState> states([&] {
        WorkerState state;
        state.buffers.resize(nq);
        for (CandidateBuffer& buffer : state.buffers) {
            buffer.k = k;
        }
        state.bars.resize(nq);
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
