// How the scan is cut into tasks, and one task: a chunk of stored blocks against a group of
// queries, judged by the first pass (first_pass.hpp) where the plan runs it, and scored exactly
// wherever the first pass cannot rule a vector out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "candidates.hpp"
#include "first_pass.hpp"
#include "isa.hpp"
#include "scan_kernels.hpp"
#include "search.hpp"

namespace quilane {

// Whether the scan runs its first pass; never changes a result.
bool use_first_pass(FirstPass choice, const ScanInput& index, size_t k);

// Each task scores one chunk of blocks against one group of queries.
struct ScanPlan {
    bool first_pass = false;
    size_t group = 1;         // queries per kernel call: of the first pass when it runs
    size_t query_groups = 0;  // ceil(nq / group)
    size_t chunk_blocks = 1;  // blocks per chunk
    size_t chunks = 0;
};

ScanPlan plan_scan(size_t nq, const ScanInput& index, Isa isa, bool first_pass);

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
    std::vector<uint8_t> last_block;  // the compact last block, padded
};

ScanContext make_scan_context(const ScanInput& index, const std::vector<float>& rows, size_t padded,
                              size_t nq, Isa isa, bool first_pass);

// How often the first pass of one query group could not rule a judged block out.
struct Tally {
    size_t judged = 0;
    size_t rescored = 0;
};

// What one worker keeps across the tasks it runs: the best k so far of every query among the
// vectors it scored, with the bar each sets, and scratch space.
struct WorkerState {
    std::vector<CandidateBuffer> buffers;  // per query
    std::vector<Bar> bars;                 // per query
    std::vector<Tally> tallies;            // per query group
    std::vector<float> tables;             // float tables of a query group, for exact scores
    std::vector<float> scores;             // of one kernel call
    std::vector<uint32_t> sums;          // first-pass sums of every lane of a chunk, query by query
    std::vector<uint32_t> largest_sums;  // of every block of a chunk, query by query
    std::vector<float> tail_norms;       // the last block's norms, padded
    std::vector<float> chunk_norms;      // the largest norm of each chunk, once found
    std::vector<uint8_t> gathered;       // one block of lanes copied from others
    uint64_t scored_exactly = 0;
};

WorkerState make_worker_state(const ScanContext& ctx, size_t k);

// Scores one chunk of blocks against one group of queries into the worker's buffers.
void run_task(const ScanContext& ctx, size_t chunk, size_t query_group, WorkerState& state);

}  // namespace quilane
