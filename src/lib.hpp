// The index record: packed codes and norms of the stored vectors, addressed by position, and the
// lazily built caches that adding and searching need.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "encode.hpp"
#include "rotation.hpp"
#include "search.hpp"
#include "transform.hpp"

namespace quilane {

// A slot filled once by the first caller that needs it. Concurrent callers wait for that build;
// a build that throws leaves the slot empty, and the next caller builds again. Reads after the
// build take no lock. Mutex is std::mutex except in tests that need to see a caller wait.
template <class T, class Mutex = std::mutex>
class OnceCell {
  public:
    OnceCell() = default;
    // Moving is for records changing owner, never while another thread uses the cell.
    OnceCell(OnceCell&& other) noexcept : value_(std::move(other.value_)) {
        ready_.store(other.ready_.load(std::memory_order_acquire), std::memory_order_release);
    }
    OnceCell& operator=(OnceCell&& other) noexcept {
        value_ = std::move(other.value_);
        ready_.store(other.ready_.load(std::memory_order_acquire), std::memory_order_release);
        return *this;
    }

    template <class Build>
    const T& get_or_build(Build&& build) {
        if (!ready_.load(std::memory_order_acquire)) {
            std::lock_guard<Mutex> lock(mutex_);
            if (!ready_.load(std::memory_order_relaxed)) {
                value_.emplace(build());
                ready_.store(true, std::memory_order_release);
            }
        }
        return *value_;
    }

    bool is_built() const { return ready_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> ready_{false};
    Mutex mutex_;
    std::optional<T> value_;
};

class GyrelIndex {
  public:
    // Checks, in order: bits is 2, 3 or 4; dim is a multiple of 8; walshrotor3 needs a power of
    // two; and dim is not 0. Builds nothing and draws no random numbers.
    GyrelIndex(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed);

    // A record holding stored data, as a file reader produces it: codes are n packed records,
    // converted in place. Checks the parameters as the constructor does and that the stores hold
    // n records.
    static GyrelIndex from_parts(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed,
                                 uint64_t n, std::vector<uint8_t> codes, std::vector<float> norms);

    GyrelIndex(GyrelIndex&&) noexcept = default;
    GyrelIndex& operator=(GyrelIndex&&) noexcept = default;

    // Appends vectors.size() / dim vectors, row-major.
    void add(std::span<const float> vectors);
    // The best k stored vectors for each of the queries.size() / dim query rows. allowed, when
    // not empty, is a bitmap of the positions that may be returned (bit p % 64 of word p / 64,
    // ceil(n / 64) words): the result is that of an index of only those vectors in position
    // order, with k' = max(1, min(k, number allowed)); none allowed gives the empty index's rows.
    SearchResults search(std::span<const float> queries, uint64_t k,
                         std::span<const uint64_t> allowed = {});
    // Moves the last vector into position idx; returns the position it had (n - 1 before the call).
    uint64_t swap_remove(uint64_t idx);
    // Builds the block matrices and the centroids so that a first search need not.
    void prepare();

    uint64_t dim() const { return dim_; }
    uint64_t bits() const { return bits_; }
    uint64_t len() const { return n_; }
    uint64_t seed() const { return seed_; }
    Rotation rotation() const { return rotation_; }
    uint64_t record_size() const { return bits_ * (dim_ / 8); }
    // The codes as the scan reads them: a compact block store (pack.hpp) of n positions.
    std::span<const uint8_t> block_codes() const { return codes_; }
    // The codes as packed records in position order, the layout of files (a copy).
    std::vector<uint8_t> records() const;
    // Positions first ... first + count - 1 as packed records into out.
    void copy_records(uint64_t first, uint64_t count, uint8_t* out) const;
    std::span<const float> norms() const { return norms_; }

    // The caches, each built on first use.
    const BlockMatrices& block_matrices();
    const std::vector<float>& centroids();
    const std::optional<std::vector<float>>& sign_vector();

    bool block_matrices_built() const { return block_matrices_.is_built(); }
    bool centroids_built() const { return centroids_.is_built(); }
    bool sign_vector_built() const { return sign_vector_.is_built(); }

    // The transform, its caches built on first use.
    Transform transform();

  private:
    // Shrinks the stores, the codes in their padded working form, to n positions: zeroes the lanes
    // of the last block past them and makes it compact again.
    void truncate(uint64_t n);

    // A compact block store at rest; padded only inside add and swap_remove. Records are
    // converted at load and write.
    std::vector<uint8_t> codes_;
    std::vector<float> norms_;
    uint64_t dim_;
    uint64_t bits_;
    uint64_t n_ = 0;
    uint64_t seed_;
    OnceCell<BlockMatrices> block_matrices_;
    OnceCell<std::vector<float>> centroids_;
    OnceCell<std::optional<std::vector<float>>> sign_vector_;
    Rotation rotation_;
};

}  // namespace quilane
