#include "lib.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "codebook.hpp"
#include "error.hpp"
#include "wht.hpp"

namespace quilane {

namespace {

void check_parameters(uint64_t dim, uint64_t bits, Rotation rotation) {
    if (bits < 2 || bits > 4) {
        fail("bits must be 2, 3, or 4");
    }
    if (dim % 8 != 0) {
        fail("dim must be a multiple of 8");
    }
    if (rotation == Rotation::WalshRotor3 && !is_power_of_two(dim)) {
        fail("Rotation::WalshRotor3 requires dim to be a power of 2 (got " + std::to_string(dim) +
             ")");
    }
    // Every later step divides by dim, and the codebook has no meaning for it.
    if (dim == 0) {
        fail("dim must be positive");
    }
}

// Grows the capacity geometrically, as appending element by element would: an exact reserve
// on every add makes adding one vector at a time copy the whole store each call.
template <class T>
void reserve_for_append(std::vector<T>& store, size_t extra) {
    const size_t needed = store.size() + extra;
    if (needed > store.capacity()) {
        store.reserve(std::max(needed, 2 * store.capacity()));
    }
}

}  // namespace

GyrelIndex::GyrelIndex(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed)
    : dim_(dim), bits_(bits), seed_(seed), rotation_(rotation) {
    check_parameters(dim, bits, rotation);
}

GyrelIndex GyrelIndex::from_parts(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed,
                                  uint64_t n, std::vector<uint8_t> codes,
                                  std::vector<float> norms) {
    GyrelIndex index(dim, bits, rotation, seed);
    const uint64_t record = index.record_size();
    if (norms.size() != n || (record != 0 && codes.size() / record != n) ||
        codes.size() != record * n) {
        fail("stores do not hold " + std::to_string(n) + " records");
    }
    index.codes_ = std::move(codes);
    index.norms_ = std::move(norms);
    index.n_ = n;
    return index;
}

const BlockMatrices& GyrelIndex::block_matrices() {
    return block_matrices_.get_or_build(
        [&] { return precompute_block_matrices(dim_, rotation_, seed_); });
}

const std::vector<float>& GyrelIndex::centroids() {
    return centroids_.get_or_build(
        [&] { return cached_codebook(static_cast<uint32_t>(bits_), dim_).centroids; });
}

const std::optional<std::vector<float>>& GyrelIndex::sign_vector() {
    return sign_vector_.get_or_build([&]() -> std::optional<std::vector<float>> {
        if (rotation_ != Rotation::WalshRotor3) {
            return std::nullopt;
        }
        return make_sign_vector(dim_, seed_ + kSignSeedOffset);
    });
}

Transform GyrelIndex::transform() {
    const BlockMatrices& blocks = block_matrices();
    const std::optional<std::vector<float>>& signs = sign_vector();
    Transform t;
    if (signs) {
        t.signs = *signs;
        t.has_signs = true;
    }
    t.matrices = blocks.matrices;
    t.block = block_size(rotation_);
    t.padded_dim = blocks.padded_dim;
    return t;
}

void GyrelIndex::add(std::span<const float> vectors) {
    const uint64_t length = vectors.size();
    const uint64_t m = length / dim_;
    if (m * dim_ != length) {
        fail_assert_eq(length, m * dim_, "vectors length not a multiple of dim");
    }
    if (m == 0) {
        return;
    }
    const Transform t = transform();
    const Codebook& book = cached_codebook(static_cast<uint32_t>(bits_), dim_);
    Encoded encoded = encode(vectors, m, dim_, t, book.boundaries, bits_);
    // Reserve both stores before appending either, so that running out of memory leaves the
    // record as it was.
    reserve_for_append(codes_, encoded.codes.size());
    reserve_for_append(norms_, encoded.norms.size());
    codes_.insert(codes_.end(), encoded.codes.begin(), encoded.codes.end());
    norms_.insert(norms_.end(), encoded.norms.begin(), encoded.norms.end());
    n_ += m;
}

SearchResults GyrelIndex::search(std::span<const float> queries, uint64_t k) {
    const uint64_t length = queries.size();
    const uint64_t nq = length / dim_;
    if (nq * dim_ != length) {
        fail_assert_eq(length, nq * dim_);
    }
    block_matrices();
    const std::vector<float>& levels = centroids();
    sign_vector();

    uint64_t effective_k = std::min(n_, k);
    if (effective_k == 0) {
        effective_k = 1;
    }
    if (n_ == 0) {
        SearchResults empty;
        empty.scores.assign(nq * effective_k, -std::numeric_limits<float>::infinity());
        empty.positions.assign(nq * effective_k, -1);
        empty.nq = nq;
        empty.k = effective_k;
        return empty;
    }
    const ScanInput input{codes_, levels, norms_, dim_, bits_, n_};
    SearchResults results = quilane::search(queries, nq, transform(), input, effective_k);
    results.nq = nq;
    results.k = effective_k;
    return results;
}

uint64_t GyrelIndex::swap_remove(uint64_t idx) {
    if (idx >= n_) {
        fail("index " + std::to_string(idx) + " out of bounds");
    }
    const uint64_t last = n_ - 1;
    const uint64_t record = record_size();
    if (idx != last) {
        std::memcpy(codes_.data() + idx * record, codes_.data() + last * record, record);
        norms_[idx] = norms_[last];
    }
    codes_.resize(last * record);
    norms_.resize(last);
    n_ = last;
    return last;
}

void GyrelIndex::prepare() {
    block_matrices();
    centroids();
}

}  // namespace quilane
