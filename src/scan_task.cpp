#include "scan_task.hpp"

#include <tbb/task_arena.h>

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "checked_size.hpp"
#include "pack.hpp"
#include "parallel.hpp"
#include "scan_kernels.hpp"

namespace quilane {

namespace {

// The tables of a query group should stay in the first-level cache, with room beside them for
// the codes passing through: at dim 384, groups of 4 queries (24 KiB of first-pass tables) scan
// 3 % faster than groups of 5 (bench_index).
constexpr size_t kTableBudgetBytes = 24 * 1024;
// A chunk of blocks that stays in the second-level cache while every query group passes over it.
constexpr size_t kChunkBudgetBytes = 256 * 1024;
// With the first pass a chunk is as large as this: the bar a task leaves for the next rises from
// nothing only in a worker's first chunk of a query group, which larger chunks spread over more
// vectors. Their integer sums, 64 bytes per block and query, stay within the second-level cache;
// their codes are read once per query group, so they need not.
constexpr size_t kFirstPassChunkBlocks = 1024;
// Chunks per worker when there are few query groups, so that one query uses every core.
constexpr size_t kChunksPerWorker = 8;

// With few stored vectors per result the bars settle too late to skip much. A single query
// takes the first pass too: it reads the same bytes with less arithmetic than the exact kernel,
// which on its own does not keep up with memory (bench_index, "single query").
constexpr size_t kFirstPassMinVectorsPerResult = 64;
// (block, query) pairs a worker's first pass judges for one query group before it may give up
// on that group.
constexpr size_t kJudgedBeforeGivingUp = 256;
// Blocks with the largest sums a query scores first in each task, a few kernel calls: with them
// the bar starts near where it ends.
constexpr size_t kLeadingBlocks = 4 * kMaxExactBlocks;

// Lanes of one block that may still enter beyond which the block is scored whole rather than
// its lanes gathered: copying a block's lanes costs about an eighth of scoring the block, and
// every 16 lanes gathered cost one block's scoring. On near ties any limit from 4 to 16 scans in
// the same time (bench_index).
constexpr int kMostGatheredFromOneBlock = 8;

constexpr uint32_t kAllLanes = (uint32_t{1} << kBlockVectors) - 1;

// Never a largest norm, which is NaN or not negative.
constexpr float kNormNotFound = -1.0f;

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

// Quantises every query into its group's interleaved tables.
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
        ctx.quantised[q] =
            quantise_query(ctx.rows.data() + q * ctx.padded, index.centroids.data(), index.dim,
                           index.bits, tables, count * kChunkTableBytes, ctx.isa);
    });
}

// The largest norm of a chunk, found by the worker's first task on it and kept for its others:
// found in the task, a single query reads the norms in the same pass over memory as the codes,
// where a pass of its own before the scan took 0.16 of its 2.4 ms (bench_index).
float chunk_norm(const ScanContext& ctx, size_t chunk, WorkerState& state) {
    if (state.chunk_norms.empty()) {
        state.chunk_norms.assign(ctx.plan.chunks, kNormNotFound);
    }
    float& norm = state.chunk_norms[chunk];
    if (norm == kNormNotFound) {
        const size_t chunk_vectors = ctx.plan.chunk_blocks * kBlockVectors;
        const size_t first = chunk * chunk_vectors;
        norm = largest_norm(ctx.index.norms.data() + first,
                            std::min(ctx.index.n - first, chunk_vectors), ctx.isa);
    }
    return norm;
}

// The lanes of the block starting at `first` that hold allowed stored vectors, bit per lane.
uint32_t live_lanes(const ScanInput& index, size_t first, size_t lanes) {
    const uint32_t stored = lanes == kBlockVectors ? kAllLanes : (uint32_t{1} << lanes) - 1;
    if (index.allowed.empty()) {
        return stored;
    }
    // Blocks start at multiples of 16, so one word holds all of a block's bits.
    return static_cast<uint32_t>(index.allowed[first / 64] >> (first % 64)) & stored;
}

// The bar a buffer sets: armed once it is full.
Bar bar_of(const CandidateBuffer& buffer) {
    return buffer.items.size() == buffer.k ? bar_below(buffer.items.front().score) : Bar{};
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
    return bar_of(buffer);
}

// The lanes of a block whose sums are above a limit of sum_limit: the others are ruled out by
// the limit's test at the chunk's largest norm, which is monotone (first_pass.cpp, step 5) and
// for a single vector implies lane_cannot_reach, its low end being at most its high end. With
// them most lanes of a judged block are ruled out by one integer comparison.
uint32_t lanes_above(const uint32_t* sums, int64_t limit) {
    uint32_t above = 0;
    for (size_t lane = 0; lane < kBlockVectors; ++lane) {
        above |= uint32_t{static_cast<int64_t>(sums[lane]) > limit} << lane;
    }
    return above;
}

// The live lanes of a block that may hold a vector clearing an armed bar, judged from their
// first-pass sums (first_pass.cpp says why leaving a lane out is safe).
uint32_t lanes_may_enter(const QuantisedQuery& query, const Bar& bar, const uint32_t* sums,
                         const float* norms, uint32_t live) {
    uint32_t may = 0;
    for (; live != 0; live &= live - 1) {
        const size_t lane = static_cast<size_t>(std::countr_zero(live));
        if (!lane_cannot_reach(query, bar, sums[lane], norms[lane])) {
            may |= uint32_t{1} << lane;
        }
    }
    return may;
}

// The float tables of one query group (in a buffer of room for all), each built on first need:
// with the first pass most tasks score few blocks exactly, and some none.
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

// One stored block as a task reads it.
struct BlockView {
    const uint8_t* codes;
    const float* norms;  // 16, zero past the stored vectors
    size_t first;        // its first position
    uint32_t live;       // the lanes to offer
};

BlockView view_block(const ScanContext& ctx, size_t block, WorkerState& state) {
    const ScanInput& index = ctx.index;
    const size_t first = block * kBlockVectors;
    const size_t lanes = std::min(kBlockVectors, index.n - first);
    const float* norms = index.norms.data() + first;
    if (lanes < kBlockVectors) {
        state.tail_norms.assign(kBlockVectors, 0.0f);
        std::copy_n(norms, lanes, state.tail_norms.begin());
        norms = state.tail_norms.data();
    }
    return BlockView{block_at(ctx, block), norms, first, live_lanes(index, first, lanes)};
}

// Lanes of several blocks waiting to be scored together: each copied into one block (a block's
// row holds byte v of lane v at every width), they score exactly as in their own blocks, for the
// price of one block. After its first pass a block that may still enter usually holds one such
// lane (bench_index, dim 384).
struct GatheredLanes {
    std::array<LaneSource, kBlockVectors> sources;
    size_t source_count = 0;
    // Zero past `count`: the lanes there keep whatever codes they hold, and are not offered.
    std::array<float, kBlockVectors> norms{};
    std::array<size_t, kBlockVectors> positions{};
    size_t count = 0;

    bool has_room(uint32_t lanes) const {
        return count + static_cast<size_t>(std::popcount(lanes)) <= kBlockVectors;
    }

    void add(const BlockView& view, uint32_t lanes) {
        LaneSource& source = sources[source_count++];
        source = LaneSource{view.codes, 0, {}};
        for (; lanes != 0; lanes &= lanes - 1, ++count) {
            const auto lane = static_cast<size_t>(std::countr_zero(lanes));
            source.positions |= uint32_t{1} << count;
            source.lanes[count] = static_cast<uint8_t>(lane);
            norms[count] = view.norms[lane];
            positions[count] = view.first + lane;
        }
    }
};

// Scores the gathered lanes against query `query` with its float table, offers them and empties
// the gathering. Returns the bar the buffer sets.
Bar score_gathered(const ScanContext& ctx, size_t query, const float* table,
                   GatheredLanes& gathered, WorkerState& state) {
    CandidateBuffer& buffer = state.buffers[query];
    if (gathered.count != 0) {
        const size_t rows = record_bytes(ctx.index.bits, ctx.index.dim);
        state.gathered.resize(kBlockVectors * rows);
        gather_lanes({gathered.sources.data(), gathered.source_count}, rows, state.gathered.data(),
                     ctx.isa);
        const uint8_t* codes = state.gathered.data();
        const float* norms = gathered.norms.data();
        blocks_kernel(ctx.isa, ctx.index.bits, 1)(
            BlockJob{&codes, &norms, ctx.index.dim / 8, table, 0, state.scores.data()});
        state.scored_exactly += kBlockVectors;
        for (size_t v = 0; v < gathered.count; ++v) {
            offer(buffer, Candidate{state.scores[v], gathered.positions[v]});
        }
        gathered = GatheredLanes{};
    }
    return bar_of(buffer);
}

// The blocks and queries of one task.
struct TaskRange {
    size_t chunk;
    size_t query_group;
    size_t q0;     // its first query
    size_t count;  // its queries
    size_t first_block;
    size_t last_block;  // one past
};

// Every block of the task scored exactly for every query of its group.
void score_exactly(const ScanContext& ctx, const TaskRange& task, WorkerState& state) {
    const size_t stride = ctx.index.dim * kTableWidth;
    state.tables.resize(checked_mul(task.count, stride));
    GroupTables tables{ctx, task.q0, state.tables};
    for (size_t block = task.first_block; block < task.last_block; ++block) {
        const BlockView view = view_block(ctx, block, state);
        if (view.live == 0) {
            continue;
        }
        // A group kernel reads the tables of all its queries, one stride apart.
        for (size_t q = 0; q < task.count; ++q) {
            tables.of(q);
        }
        for (size_t g = 0; g < task.count; g += kMaxExactGroup) {
            const size_t queries = std::min(kMaxExactGroup, task.count - g);
            block_kernel(ctx.isa, ctx.index.bits, queries)(
                BlockJob{&view.codes, &view.norms, ctx.index.dim / 8, tables.of(g), stride,
                         state.scores.data() + g * kBlockVectors});
        }
        state.scored_exactly += task.count * kBlockVectors;
        for (size_t q = 0; q < task.count; ++q) {
            state.bars[task.q0 + q] =
                offer_block(state.buffers[task.q0 + q], state.scores.data() + q * kBlockVectors,
                            view.live, view.first);
        }
    }
}

const uint8_t* group_tables(const ScanContext& ctx, const TaskRange& task) {
    return ctx.first_pass_tables.data() + task.query_group * ctx.group_table_bytes;
}

// The first pass over the task's blocks for its whole query group: the sums of block i and query q
// at state.sums + (q * blocks + i) * 16, and the largest of them at state.largest_sums[q * blocks
// + i]. Kept rather than formed again for the blocks that need them: 64 bytes per block and
// query, and computing them again took a twentieth of a dim-384 batch.
void first_pass_over(const ScanContext& ctx, const TaskRange& task, WorkerState& state) {
    const FirstPassKernel kernel = first_pass_kernel(ctx.isa, task.count);
    const size_t blocks = task.last_block - task.first_block;
    state.sums.resize(blocks * task.count * kBlockVectors);
    state.largest_sums.resize(blocks * task.count);
    // Whole blocks lie one after another in the store; a padded last block lies apart.
    const size_t whole = std::min(task.last_block, ctx.index.n / kBlockVectors);
    auto pass = [&](size_t first, size_t count) {
        const size_t place = first - task.first_block;
        kernel(FirstPassJob{
            block_at(ctx, first), count, record_bytes(ctx.index.bits, ctx.index.dim),
            group_tables(ctx, task), task.count * kChunkTableBytes,
            state.sums.data() + place * kBlockVectors, state.largest_sums.data() + place, blocks});
    };
    if (whole > task.first_block) {
        pass(task.first_block, whole - task.first_block);
    }
    if (task.last_block > std::max(whole, task.first_block)) {
        pass(task.last_block - 1, 1);
    }
}

// The indices of the kLeadingBlocks blocks of a chunk with the largest sums, largest first:
// scored first, they raise the bar from nothing before the rest of the chunk is judged.
std::vector<size_t> leading_blocks(const uint32_t* largest, size_t blocks) {
    struct Held {
        uint32_t sum;
        size_t index;
    };
    // Sorted by sum, the earlier block first among equal sums; with one place to spare.
    std::array<Held, kLeadingBlocks + 1> held;
    size_t count = 0;
    for (size_t i = 0; i < blocks; ++i) {
        // Once full, most blocks fall at this one comparison.
        if (count == kLeadingBlocks && largest[i] <= held[count - 1].sum) {
            continue;
        }
        size_t place = count++;
        for (; place > 0 && held[place - 1].sum < largest[i]; --place) {
            held[place] = held[place - 1];
        }
        held[place] = Held{largest[i], i};
        count = std::min(count, kLeadingBlocks);
    }
    std::vector<size_t> leading(count);
    for (size_t h = 0; h < count; ++h) {
        leading[h] = held[h].index;
    }
    return leading;
}

// Lanes of a task's blocks scored before its blocks are judged, which judging leaves out: the
// block's index in the task and its lanes.
struct ScoredLanes {
    size_t block;
    uint32_t lanes;
};

// Where k is at most a block's lanes, the leading blocks are not scored whole: their kBlockVectors
// live lanes with the largest sums are gathered into one block and scored in one kernel call,
// each lane exactly as in its own block. Every lane among the best kBlockVectors sums lies in a
// leading block, whose largest sum is at least that lane's, so the bar they set is near the one of
// the whole leading blocks, for the price of one block instead of kLeadingBlocks (bench_index: at
// dim 384 and k = 10 these made half the blocks scored).
std::vector<ScoredLanes> score_leading_lanes(const ScanContext& ctx, const TaskRange& task,
                                             size_t q, const std::vector<size_t>& leading,
                                             GroupTables& tables, WorkerState& state) {
    struct Lane {
        uint32_t sum;
        size_t block;  // its index in `leading`
        size_t lane;
    };
    const size_t blocks = task.last_block - task.first_block;
    const uint32_t* sums = state.sums.data() + q * blocks * kBlockVectors;
    const uint32_t* largest_sums = state.largest_sums.data() + q * blocks;
    // Each leading block has a lane as large as the least of their largest sums, so the best
    // lanes are among those that reach it: usually a few more than kBlockVectors of all.
    const uint32_t least = leading.empty() ? 0 : largest_sums[leading.back()];
    std::vector<Lane> lanes;
    std::array<BlockView, kLeadingBlocks> views;
    for (size_t b = 0; b < leading.size(); ++b) {
        views[b] = view_block(ctx, task.first_block + leading[b], state);
        const uint32_t* block_sums = sums + leading[b] * kBlockVectors;
        for (uint32_t live = views[b].live; live != 0; live &= live - 1) {
            const auto lane = static_cast<size_t>(std::countr_zero(live));
            if (block_sums[lane] >= least) {
                lanes.push_back(Lane{block_sums[lane], b, lane});
            }
        }
    }
    const size_t count = std::min(kBlockVectors, lanes.size());
    std::partial_sort(lanes.begin(), lanes.begin() + static_cast<ptrdiff_t>(count), lanes.end(),
                      [](const Lane& a, const Lane& b) { return a.sum > b.sum; });
    std::vector<ScoredLanes> scored(leading.size());
    for (size_t b = 0; b < leading.size(); ++b) {
        scored[b].block = leading[b];
    }
    for (size_t v = 0; v < count; ++v) {
        scored[lanes[v].block].lanes |= uint32_t{1} << lanes[v].lane;
    }
    GatheredLanes gathered;
    for (size_t b = 0; b < leading.size(); ++b) {
        if (scored[b].lanes != 0) {
            gathered.add(views[b], scored[b].lanes);
        }
    }
    state.bars[task.q0 + q] = score_gathered(ctx, task.q0 + q, tables.of(q), gathered, state);
    return scored;
}

// Scores exactly, for query q of the task, every block its first pass cannot rule out: the
// leading blocks or their best lanes first, then the rest in order, a few blocks per kernel
// call.
void rescore(const ScanContext& ctx, const TaskRange& task, size_t q, GroupTables& tables,
             WorkerState& state) {
    const ScanInput& index = ctx.index;
    const size_t query = task.q0 + q;
    const QuantisedQuery& bound = ctx.quantised[query];
    CandidateBuffer& buffer = state.buffers[query];
    Bar& bar = state.bars[query];
    Tally& tally = state.tallies[task.query_group];
    // A largest sum up to which every block of the chunk is ruled out at a glance.
    const float most_norm = chunk_norm(ctx, task.chunk, state);
    const uint32_t most_sum = static_cast<uint32_t>(255 * record_bytes(index.bits, index.dim));
    int64_t limit = sum_limit(bound, bar, most_norm, most_sum);
    const size_t blocks = task.last_block - task.first_block;
    const uint32_t* largest_sums = state.largest_sums.data() + q * blocks;
    const uint32_t* lane_sums = state.sums.data() + q * blocks * kBlockVectors;
    std::array<BlockView, kMaxExactBlocks> pending;
    size_t waiting = 0;
    auto score_pending = [&] {
        if (waiting == 0) {
            return;
        }
        std::array<const uint8_t*, kMaxExactBlocks> codes;
        std::array<const float*, kMaxExactBlocks> norms;
        for (size_t b = 0; b < waiting; ++b) {
            codes[b] = pending[b].codes;
            norms[b] = pending[b].norms;
        }
        blocks_kernel(ctx.isa, index.bits, waiting)(BlockJob{
            codes.data(), norms.data(), index.dim / 8, tables.of(q), 0, state.scores.data()});
        for (size_t b = 0; b < waiting; ++b) {
            bar = offer_block(buffer, state.scores.data() + b * kBlockVectors, pending[b].live,
                              pending[b].first);
        }
        state.scored_exactly += waiting * kBlockVectors;
        waiting = 0;
        limit = sum_limit(bound, bar, most_norm, most_sum);
    };
    GatheredLanes gathered;
    auto score_lanes = [&] {
        bar = score_gathered(ctx, query, tables.of(q), gathered, state);
        limit = sum_limit(bound, bar, most_norm, most_sum);
    };
    // Every block whose largest sum is above the limit is judged, without its lanes already
    // scored. Its lanes that may still enter are scored in its block, with a few blocks per
    // kernel call, where they are many (before the bar is armed, all are), and gathered with
    // those of other blocks where they are few.
    auto judge = [&](size_t i, uint32_t done) {
        BlockView view = view_block(ctx, task.first_block + i, state);
        view.live &= ~done;
        if (view.live == 0) {
            return;
        }
        // Only blocks judged against a full buffer count towards giving up: before, the bar
        // still rises from nothing.
        const bool counted = bar.armed;
        tally.judged += counted;
        uint32_t may_enter = view.live;
        if (bar.armed && bound.usable) {
            const uint32_t* sums = lane_sums + i * kBlockVectors;
            may_enter =
                lanes_may_enter(bound, bar, sums, view.norms, view.live & lanes_above(sums, limit));
            if (may_enter == 0) {
                return;
            }
        }
        tally.rescored += counted;
        if (std::popcount(may_enter) > kMostGatheredFromOneBlock) {
            pending[waiting++] = view;
            if (waiting == kMaxExactBlocks) {
                score_pending();
            }
            return;
        }
        if (!gathered.has_room(may_enter)) {
            score_lanes();
        }
        gathered.add(view, may_enter);
    };
    std::vector<ScoredLanes> scored;
    if (!bar.armed) {
        const std::vector<size_t> leading = leading_blocks(largest_sums, blocks);
        if (buffer.k <= kBlockVectors) {
            scored = score_leading_lanes(ctx, task, q, leading, tables, state);
            limit = sum_limit(bound, bar, most_norm, most_sum);
        } else {
            for (const size_t i : leading) {
                judge(i, 0);
                scored.push_back(ScoredLanes{i, kAllLanes});
            }
            score_pending();
        }
        std::sort(scored.begin(), scored.end(),
                  [](const ScoredLanes& a, const ScoredLanes& b) { return a.block < b.block; });
    }
    auto next_scored = scored.begin();
    for (size_t i = 0; i < blocks; ++i) {
        uint32_t done = 0;
        if (next_scored != scored.end() && next_scored->block == i) {
            done = next_scored++->lanes;
        }
        if (done == kAllLanes) {
            continue;
        }
        if (static_cast<int64_t>(largest_sums[i]) > limit) {
            judge(i, done);
        } else {
            ++tally.judged;  // ruled out at a glance, which takes a full buffer
        }
    }
    score_pending();
    score_lanes();
}

}  // namespace

bool use_first_pass(FirstPass choice, const ScanInput& index, size_t k) {
    if (choice == FirstPass::Off) {
        return false;
    }
    return choice == FirstPass::On || index.n / k >= kFirstPassMinVectorsPerResult;
}

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
    const size_t largest_chunk =
        first_pass ? kFirstPassChunkBlocks
                   : std::max<size_t>(1, kChunkBudgetBytes / block_bytes(index.bits, index.dim));
    const size_t workers = std::min(
        thread_limit(), static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency())));
    const size_t wanted_chunks =
        (kChunksPerWorker * workers + plan.query_groups - 1) / plan.query_groups;
    const size_t spread = (blocks + wanted_chunks - 1) / wanted_chunks;
    plan.chunk_blocks = std::clamp<size_t>(spread, 1, largest_chunk);
    plan.chunks = (blocks + plan.chunk_blocks - 1) / plan.chunk_blocks;
    return plan;
}

ScanContext make_scan_context(const ScanInput& index, const std::vector<float>& rows, size_t padded,
                              size_t nq, Isa isa, bool first_pass) {
    ScanContext ctx{index, rows, padded, nq, plan_scan(nq, index, isa, first_pass),
                    isa,   {},   {},     0,  padded_last_block(index)};
    if (first_pass) {
        quantise_queries(ctx);
    }
    return ctx;
}

WorkerState make_worker_state(const ScanContext& ctx, size_t k) {
    WorkerState state;
    state.buffers.resize(ctx.nq);
    for (CandidateBuffer& buffer : state.buffers) {
        buffer.k = k;
    }
    state.bars.resize(ctx.nq);
    state.tallies.resize(ctx.plan.query_groups);
    return state;
}

void run_task(const ScanContext& ctx, size_t chunk, size_t query_group, WorkerState& state) {
    const ScanPlan& plan = ctx.plan;
    const size_t q0 = query_group * plan.group;
    const size_t first_block = chunk * plan.chunk_blocks;
    const TaskRange task{
        chunk,       query_group,
        q0,          std::min(plan.group, ctx.nq - q0),
        first_block, std::min(first_block + plan.chunk_blocks, block_count(ctx.index.n))};
    state.scores.resize(std::max(plan.group, kMaxExactBlocks) * kBlockVectors);
    // Where most judged blocks need scoring exactly anyway (near ties), the first pass is pure
    // cost: once it has failed to rule out half of what it judged for a query group, the worker
    // scores that group's later chunks exactly, which gives the same result.
    const Tally& tally = state.tallies[query_group];
    if (!plan.first_pass ||
        (tally.judged >= kJudgedBeforeGivingUp && 2 * tally.rescored > tally.judged)) {
        score_exactly(ctx, task, state);
        return;
    }
    first_pass_over(ctx, task, state);
    state.tables.resize(checked_mul(task.count, ctx.index.dim, kTableWidth));
    GroupTables tables{ctx, task.q0, state.tables};
    for (size_t q = 0; q < task.count; ++q) {
        rescore(ctx, task, q, tables, state);
    }
}

}  // namespace quilane
