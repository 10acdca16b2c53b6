#include "lib.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "checked_size.hpp"
#include "codebook.hpp"
#include "error.hpp"
#include "pack.hpp"
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
    records_to_blocks_in_place(codes, n, dim, bits);
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
    // The batch is encoded in bounded chunks straight into the grown stores, so adding needs no
    // copy of its codes. Both stores are grown before either is written.
    reserve_for_append(codes_, block_store_bytes(bits_, dim_, n_ + m) - codes_.size());
    reserve_for_append(norms_, m);
    codes_.resize(block_store_bytes(bits_, dim_, n_ + m), 0);
    norms_.resize(n_ + m);
    try {
        encode_into_blocks(vectors, m, dim_, t, book.boundaries, bits_, codes_, n_,
                           std::span<float>(norms_).subspan(n_));
    } catch (...) {
        truncate(n_);
        throw;
    }
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
        const size_t slots = checked_mul(nq, effective_k);
        empty.scores.assign(slots, -std::numeric_limits<float>::infinity());
        empty.positions.assign(slots, -1);
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
    if (idx != last) {
        std::vector<uint8_t> record(record_size());
        blocks_to_records(codes_.data(), last, 1, dim_, bits_, record.data());
        records_to_blocks(record.data(), 1, dim_, bits_, codes_.data(), idx);
        norms_[idx] = norms_[last];
    }
    truncate(last);
    n_ = last;
    return last;
}

void GyrelIndex::truncate(uint64_t n) {
    codes_.resize(block_store_bytes(bits_, dim_, n));
    for (uint64_t p = n; p < block_count(n) * kBlockVectors; ++p) {
        clear_block_lane(codes_.data(), p, dim_, bits_);
    }
    norms_.resize(n);
}

std::vector<uint8_t> GyrelIndex::records() const {
    std::vector<uint8_t> out(checked_mul(n_, record_size()));
    blocks_to_records(codes_.data(), 0, n_, dim_, bits_, out.data());
    return out;
}

void GyrelIndex::prepare() {
    block_matrices();
    centroids();
}

}  // namespace quilane
