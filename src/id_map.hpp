// An index addressed by the caller's 64-bit ids rather than by position.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lib.hpp"

namespace quilane {

// SipHash-c-d of one 64-bit little-endian message under the key (k0, k1).
template <int CompressionRounds, int FinalizationRounds>
uint64_t sip_hash_u64(uint64_t k0, uint64_t k1, uint64_t message) {
    uint64_t v0 = k0 ^ 0x736f6d6570736575ULL;
    uint64_t v1 = k1 ^ 0x646f72616e646f6dULL;
    uint64_t v2 = k0 ^ 0x6c7967656e657261ULL;
    uint64_t v3 = k1 ^ 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    };
    auto absorb = [&](uint64_t word) {
        v3 ^= word;
        for (int i = 0; i < CompressionRounds; ++i) {
            round();
        }
        v0 ^= word;
    };
    absorb(message);
    // The last block carries the message length (8 bytes) in its top byte and nothing else.
    absorb(uint64_t{8} << 56);
    v2 ^= 0xff;
    for (int i = 0; i < FinalizationRounds; ++i) {
        round();
    }
    return v0 ^ v1 ^ v2 ^ v3;
}

// SipHash-1-3 of the id under a key drawn at random for each map, so that nobody can choose ids
// that collide.
struct KeyedIdHash {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
    static KeyedIdHash random();
    size_t operator()(uint64_t id) const noexcept;
};

using PositionMap = std::unordered_map<uint64_t, uint64_t, KeyedIdHash>;

class IdMapIndex {
  public:
    // Same checks and messages as the GyrelIndex constructor.
    static IdMapIndex with_options(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed);

    // A record as a file reader produces it: ids[p] is the id of position p of inner. Fails (as
    // an Error) with "duplicate ids in .qlim file" when an id repeats, and when there is not
    // exactly one id per stored vector.
    static IdMapIndex from_parts(GyrelIndex inner, std::vector<uint64_t> ids);

    // Appends vectors.size() / dim vectors; vector i gets ids[i]. The whole batch is checked
    // before the first change.
    void add_with_ids(std::span<const float> vectors, std::span<const uint64_t> ids);
    // True when the id was stored (and its vector is now gone), false when it was not.
    bool remove(uint64_t id);
    // remove for each id in turn, so the result is exactly that of the single calls; returns how
    // many were stored.
    uint64_t remove_many(std::span<const uint64_t> ids);
    bool contains(uint64_t id) const;
    // Where the id's vector sits in the inner index, if the id is stored.
    std::optional<uint64_t> position_of(uint64_t id) const;

    struct Results {
        std::vector<float> scores;  // nq * k', as the inner index's search returns them
        std::vector<uint64_t> ids;  // empty slots read 2^64 - 1
    };
    // allowed: a bitmap over positions of the inner index, as GyrelIndex::search takes it.
    Results search(std::span<const float> queries, uint64_t k,
                   std::span<const uint64_t> allowed = {});

    void prepare() { inner_.prepare(); }
    uint64_t len() const { return ids_.size(); }
    uint64_t dim() const { return inner_.dim(); }
    uint64_t bits() const { return inner_.bits(); }
    Rotation rotation() const { return inner_.rotation(); }
    const GyrelIndex& inner() const { return inner_; }
    GyrelIndex& inner() { return inner_; }
    std::span<const uint64_t> ids() const { return ids_; }

  private:
    explicit IdMapIndex(GyrelIndex inner);

    GyrelIndex inner_;
    std::vector<uint64_t> ids_;
    PositionMap position_of_;
};

}  // namespace quilane
