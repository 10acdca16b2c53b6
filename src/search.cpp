#include "search.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "error.hpp"
#include "pack.hpp"

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

// Candidates arrive in ascending position, so a later score equal to a buffered one never
// displaces it; a number always displaces a buffered NaN.
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

void check_scan_inputs(std::span<const float> queries, size_t nq, const Transform& transform,
                       const ScanInput& index, size_t k) {
    const size_t dim = index.dim;
    const bool sizes_ok =
        index.bits >= 2 && index.bits <= 4 && dim != 0 && dim % 8 == 0 &&
        transform.padded_dim >= dim && queries.size() / dim >= nq && k >= 1 && k <= index.n &&
        index.codes.size() / record_bytes(index.bits, dim) >= index.n &&
        index.norms.size() >= index.n && index.centroids.size() >= (size_t{1} << index.bits);
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
    std::vector<float> rows(nq * padded, 0.0f);
    for (size_t q = 0; q < nq; ++q) {
        const std::span<float> row(rows.data() + q * padded, padded);
        std::copy_n(queries.data() + q * dim, dim, row.begin());
        transform_row(transform, dim, row);
    }
    return rows;
}

SearchResults allocate_results(size_t nq, size_t k) {
    SearchResults results;
    results.scores.assign(nq * k, 0.0f);
    results.positions.assign(nq * k, -1);
    results.nq = nq;
    results.k = k;
    return results;
}

// Scratch of one worker, reused across the query rows it scores.
struct RowScratch {
    CandidateBuffer buffer;
    std::vector<float> products;  // products[j * levels + c] = t[j] * centroid[c]
};

// Sum of products[j * levels + code(j)] over the coordinates of one record, in coordinate order.
// Decodes the record plane byte by plane byte; Bits is a constant so the plane loop unrolls.
template <size_t Bits>
float record_dot(const uint8_t* bytes, size_t plane, const float* products) {
    constexpr size_t levels = size_t{1} << Bits;
    float s = 0.0f;
    for (size_t q = 0; q < plane; ++q) {
        for (size_t bit = 0; bit < 8; ++bit) {
            const unsigned shift = static_cast<unsigned>(7 - bit);
            size_t code = 0;
            for (size_t p = 0; p < Bits; ++p) {
                code |= static_cast<size_t>((bytes[p * plane + q] >> shift) & 1u) << p;
            }
            s = s + products[(q * 8 + bit) * levels + code];
        }
    }
    return s;
}

template <size_t Bits>
void scan_records(const ScanInput& index, const float* products, CandidateBuffer& buffer) {
    const size_t plane = index.dim / 8;
    const size_t record = Bits * plane;
    for (size_t i = 0; i < index.n; ++i) {
        const float s = record_dot<Bits>(index.codes.data() + i * record, plane, products);
        offer(buffer, Candidate{s * index.norms[i], i});
    }
}

// Scores one transformed query t (dim entries) against every record and keeps the best k. The
// table holds the same single-precision products t[j] * centroid[code] that the plain rule forms.
void scan_row(std::span<const float> t, const ScanInput& index, size_t k, RowScratch& scratch,
              float* scores, int64_t* positions) {
    const size_t levels = size_t{1} << index.bits;
    scratch.products.resize(index.dim * levels);
    for (size_t j = 0; j < index.dim; ++j) {
        for (size_t c = 0; c < levels; ++c) {
            scratch.products[j * levels + c] = t[j] * index.centroids[c];
        }
    }
    reset(scratch.buffer, k);
    switch (index.bits) {
        case 2:
            scan_records<2>(index, scratch.products.data(), scratch.buffer);
            break;
        case 3:
            scan_records<3>(index, scratch.products.data(), scratch.buffer);
            break;
        default:  // 4: the width was checked on entry
            scan_records<4>(index, scratch.products.data(), scratch.buffer);
            break;
    }
    write_best_first(scratch.buffer, scores, positions);
}

}  // namespace

SearchResults search(std::span<const float> queries, size_t nq, const Transform& transform,
                     const ScanInput& index, size_t k) {
    check_scan_inputs(queries, nq, transform, index, k);
    const size_t padded = transform.padded_dim;
    const std::vector<float> rows = transform_queries(queries, nq, index.dim, transform);
    SearchResults results = allocate_results(nq, k);

    tbb::parallel_for(tbb::blocked_range<size_t>(0, nq), [&](const tbb::blocked_range<size_t>& r) {
        RowScratch scratch;
        for (size_t q = r.begin(); q != r.end(); ++q) {
            const std::span<const float> t(rows.data() + q * padded, index.dim);
            scan_row(t, index, k, scratch, results.scores.data() + q * k,
                     results.positions.data() + q * k);
        }
    });
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
