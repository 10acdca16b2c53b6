#include "search.hpp"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "candidates.hpp"
#include "checked_size.hpp"
#include "error.hpp"
#include "pack.hpp"
#include "parallel.hpp"
#include "scan_task.hpp"

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
    const ScanContext ctx =
        make_scan_context(index, rows, padded, nq, isa, use_first_pass(first_pass, index, k));
    tbb::enumerable_thread_specific<WorkerState> states([&] { return make_worker_state(ctx, k); });
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
