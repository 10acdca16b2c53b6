#include "id_map.hpp"

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <unordered_set>

#include "error.hpp"
#include "parallel.hpp"

namespace quilane {

namespace {

constexpr uint64_t kEmptySlotId = std::numeric_limits<uint64_t>::max();
// Hashing one id takes a fraction of a microsecond: the interrupt check's clock is read this
// seldom.
constexpr size_t kIdsPerPoll = 1024;

uint64_t random_u64(std::random_device& device) {
    const uint64_t high = device();
    const uint64_t low = device();
    return (high << 32) | (low & 0xffffffffULL);
}

// Fails with the message for the first id of the batch, in batch order, that is already stored or
// repeats an earlier id of the same batch. Runs before anything is changed.
void check_batch_ids(const PositionMap& position_of, std::span<const uint64_t> batch) {
    std::unordered_set<uint64_t, KeyedIdHash> seen(batch.size(), position_of.hash_function());
    InterruptPoll poll(kIdsPerPoll);
    for (const uint64_t id : batch) {
        poll();
        if (position_of.contains(id) || !seen.insert(id).second) {
            fail("id " + std::to_string(id) + " already present in index");
        }
    }
}

// Room for extra more entries that keeps geometric growth: reserving the exact size on every
// call would reallocate the ids and rehash the map each time, making adding one id at a time
// quadratic.
void reserve_for_append(std::vector<uint64_t>& ids, size_t extra) {
    const size_t needed = ids.size() + extra;
    if (needed > ids.capacity()) {
        ids.reserve(std::max(needed, 2 * ids.capacity()));
    }
}

void reserve_for_insert(PositionMap& map, size_t extra) {
    const size_t needed = map.size() + extra;
    if (static_cast<float>(needed) >
        map.max_load_factor() * static_cast<float>(map.bucket_count())) {
        map.reserve(std::max(needed, 2 * map.size()));
    }
}

}  // namespace

KeyedIdHash KeyedIdHash::random() {
    std::random_device device;
    KeyedIdHash hash;
    hash.k0 = random_u64(device);
    hash.k1 = random_u64(device);
    return hash;
}

size_t KeyedIdHash::operator()(uint64_t id) const noexcept {
    return sip_hash_u64<1, 3>(k0, k1, id);
}

IdMapIndex::IdMapIndex(GyrelIndex inner)
    : inner_(std::move(inner)), position_of_(0, KeyedIdHash::random()) {}

IdMapIndex IdMapIndex::with_options(uint64_t dim, uint64_t bits, Rotation rotation, uint64_t seed) {
    return IdMapIndex(GyrelIndex(dim, bits, rotation, seed));
}

IdMapIndex IdMapIndex::from_parts(GyrelIndex inner, std::vector<uint64_t> ids) {
    if (ids.size() != inner.len()) {
        fail_assert_eq(ids.size(), inner.len(), "one id per stored vector");
    }
    IdMapIndex index(std::move(inner));
    index.position_of_.reserve(ids.size());
    for (uint64_t position = 0; position < ids.size(); ++position) {
        if (!index.position_of_.emplace(ids[position], position).second) {
            fail("duplicate ids in .qlim file");
        }
    }
    index.ids_ = std::move(ids);
    return index;
}

void IdMapIndex::add_with_ids(std::span<const float> vectors, std::span<const uint64_t> ids) {
    const uint64_t length = vectors.size();
    const uint64_t count = length / dim();
    if (count * dim() != length) {
        fail_assert_eq(length, count * dim(), "vector buffer not a multiple of dim");
    }
    if (ids.size() != count) {
        fail_assert_eq(
            ids.size(), count,
            "expected " + std::to_string(count) + " ids, got " + std::to_string(ids.size()));
    }
    check_batch_ids(position_of_, ids);
    reserve_for_append(ids_, ids.size());
    reserve_for_insert(position_of_, ids.size());
    if (ids.empty()) {
        inner_.add(vectors);
        return;
    }

    const uint64_t base = inner_.len();
    size_t entered = 0;
    try {
        InterruptPoll poll(kIdsPerPoll);
        for (; entered < ids.size(); ++entered) {
            poll();
            position_of_.emplace(ids[entered], base + entered);
        }
        ids_.insert(ids_.end(), ids.begin(), ids.end());
        inner_.add(vectors);
    } catch (...) {
        // Whatever failed (a node allocation, an encoding cache), the batch leaves no trace.
        ids_.resize(base);
        for (size_t i = 0; i < entered; ++i) {
            position_of_.erase(ids[i]);
        }
        throw;
    }
}

bool IdMapIndex::remove(uint64_t id) {
    const auto found = position_of_.find(id);
    if (found == position_of_.end()) {
        return false;
    }
    const uint64_t position = found->second;
    const uint64_t last = ids_.size() - 1;
    inner_.swap_remove(position);
    position_of_.erase(found);
    if (position != last) {
        const uint64_t moved = ids_[last];
        ids_[position] = moved;
        position_of_.find(moved)->second = position;
    }
    ids_.pop_back();
    return true;
}

uint64_t IdMapIndex::remove_many(std::span<const uint64_t> ids) {
    uint64_t removed = 0;
    for (const uint64_t id : ids) {
        removed += remove(id) ? 1 : 0;
    }
    return removed;
}

std::optional<uint64_t> IdMapIndex::position_of(uint64_t id) const {
    const auto found = position_of_.find(id);
    if (found == position_of_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool IdMapIndex::contains(uint64_t id) const {
    return !position_of_.empty() && position_of_.contains(id);
}

IdMapIndex::Results IdMapIndex::search(std::span<const float> queries, uint64_t k,
                                       std::span<const uint64_t> allowed) {
    SearchResults found = inner_.search(queries, k, allowed);
    Results results;
    results.ids.reserve(found.positions.size());
    for (const int64_t position : found.positions) {
        results.ids.push_back(position < 0 ? kEmptySlotId : ids_[static_cast<uint64_t>(position)]);
    }
    results.scores = std::move(found.scores);
    return results;
}

}  // namespace quilane
