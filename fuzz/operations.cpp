// Random sequences of add, swap_remove, add_with_ids, remove, contains, search and reloading,
// on a plain and an id-mapped index, each checked after every step against a plain model: the
// records, norms and ids each position must hold, and the reference scan over them. Refused
// calls (bad batch lengths, wrong id counts, repeated ids, positions out of range) must throw
// and change nothing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "error.hpp"
#include "fuzz_support.hpp"
#include "id_map.hpp"
#include "index_file.hpp"

namespace {

using namespace quilane;

constexpr size_t kMaxSteps = 48;
constexpr size_t kMaxBatch = 4;
// Few enough ids that batches often repeat one, or one already stored.
constexpr uint64_t kIdSpace = 24;

// What an index must hold, position by position.
struct Model {
    size_t record_size = 0;
    std::vector<uint8_t> records;
    std::vector<float> norms;
    std::vector<uint64_t> ids;  // the id-mapped index only

    size_t len() const { return norms.size(); }

    // Takes the last m records and norms the index now holds as those of the new vectors.
    void append_added(const GyrelIndex& index, size_t m) {
        const std::vector<uint8_t> all = index.records();
        records.insert(records.end(), all.end() - static_cast<ptrdiff_t>(m * record_size),
                       all.end());
        norms.insert(norms.end(), index.norms().end() - static_cast<ptrdiff_t>(m),
                     index.norms().end());
    }

    void swap_remove(size_t p) {
        const size_t last = len() - 1;
        if (p != last) {
            std::memcpy(&records[p * record_size], &records[last * record_size], record_size);
            norms[p] = norms[last];
            if (!ids.empty()) {
                ids[p] = ids[last];
            }
        }
        records.resize(last * record_size);
        norms.pop_back();
        if (!ids.empty()) {
            ids.pop_back();
        }
    }

    bool stores(uint64_t id) const { return std::ranges::find(ids, id) != ids.end(); }
};

void require_matches(const GyrelIndex& index, const Model& model) {
    fuzz::require(index.len() == model.len(), "length");
    fuzz::require(index.records() == model.records, "records by position");
    fuzz::require(fuzz::same_bits(index.norms(), model.norms), "norms by position");
}

void require_matches(const IdMapIndex& index, const Model& model) {
    require_matches(index.inner(), model);
    fuzz::require(std::ranges::equal(index.ids(), model.ids), "ids by position");
}

// Runs call, which must throw the engine's Error with this message.
template <class Call>
void require_refused(Call&& call, const std::string& message) {
    try {
        call();
    } catch (const Error& error) {
        fuzz::require(error.what() == message, "refusal message");
        return;
    }
    fuzz::require(false, "call refused");
}

// Adds m vectors, or checks that a buffer one float too long is refused.
void step_add(GyrelIndex& index, Model& model, fuzz::Input& input, uint8_t flags) {
    const size_t m = input.count(kMaxBatch);
    const size_t dim = index.dim();
    const bool ragged = flags & 2;
    const std::vector<float> vectors = input.floats(m * dim + (ragged ? 1 : 0), flags & 4);
    if (ragged) {
        require_refused([&] { index.add(vectors); },
                        "assertion `left == right` failed: vectors length not a multiple of "
                        "dim\n  left: " +
                            std::to_string(vectors.size()) +
                            "\n right: " + std::to_string(m * dim));
        return;
    }
    index.add(vectors);
    model.append_added(index, m);
}

void step_swap_remove(GyrelIndex& index, Model& model, fuzz::Input& input) {
    const uint64_t p = input.u8() % (model.len() + 2);
    if (p >= model.len()) {
        require_refused([&] { index.swap_remove(p); },
                        "index " + std::to_string(p) + " out of bounds");
        return;
    }
    fuzz::require(index.swap_remove(p) == model.len() - 1, "swap_remove returns the last position");
    model.swap_remove(p);
}

void step_add_with_ids(IdMapIndex& index, Model& model, fuzz::Input& input, uint8_t flags) {
    const size_t m = input.count(kMaxBatch);
    const std::vector<float> vectors = input.floats(m * index.dim(), flags & 4);
    std::vector<uint64_t> ids(m + ((flags & 2) ? 1 : 0));
    for (uint64_t& id : ids) {
        id = input.u8() % kIdSpace;
    }
    if (ids.size() != m) {
        require_refused([&] { index.add_with_ids(vectors, ids); },
                        "assertion `left == right` failed: expected " + std::to_string(m) +
                            " ids, got " + std::to_string(ids.size()) + "\n  left: " +
                            std::to_string(ids.size()) + "\n right: " + std::to_string(m));
        return;
    }
    for (size_t i = 0; i < m; ++i) {
        const bool repeated = model.stores(ids[i]) ||
                              std::find(ids.begin(), ids.begin() + i, ids[i]) != ids.begin() + i;
        if (repeated) {
            require_refused([&] { index.add_with_ids(vectors, ids); },
                            "id " + std::to_string(ids[i]) + " already present in index");
            return;
        }
    }
    index.add_with_ids(vectors, ids);
    model.append_added(index.inner(), m);
    model.ids.insert(model.ids.end(), ids.begin(), ids.end());
}

void step_remove(IdMapIndex& index, Model& model, fuzz::Input& input) {
    const uint64_t id = input.u8() % kIdSpace;
    const auto found = std::ranges::find(model.ids, id);
    fuzz::require(index.remove(id) == (found != model.ids.end()), "remove finds stored ids");
    if (found != model.ids.end()) {
        model.swap_remove(static_cast<size_t>(found - model.ids.begin()));
    }
}

SearchResults step_search(GyrelIndex& index, const Model& model, fuzz::Input& input,
                          uint8_t flags) {
    const size_t nq = input.count(2);
    const uint64_t k = input.count(model.len() + 2);
    const std::vector<float> queries = input.floats(nq * index.dim(), flags & 4);
    const SearchResults got = index.search(queries, k);
    fuzz::require_well_formed(got, model.len());
    fuzz::require(
        fuzz::identical(got, fuzz::reference_search(index, model.records, model.norms, queries, k)),
        "search equals the reference scan");
    return got;
}

void step_search(IdMapIndex& index, const Model& model, fuzz::Input& input, uint8_t flags) {
    const size_t nq = input.count(2);
    const uint64_t k = input.count(model.len() + 2);
    const std::vector<float> queries = input.floats(nq * index.dim(), flags & 4);
    const IdMapIndex::Results got = index.search(queries, k);
    const SearchResults want =
        fuzz::reference_search(index.inner(), model.records, model.norms, queries, k);
    fuzz::require(got.ids.size() == want.positions.size(), "one id per result");
    for (size_t e = 0; e < got.ids.size(); ++e) {
        const int64_t p = want.positions[e];
        fuzz::require(got.ids[e] == (p < 0 ? ~uint64_t{0} : model.ids[static_cast<size_t>(p)]),
                      "search returns the ids of the reference positions");
    }
    fuzz::require(fuzz::same_bits(got.scores, want.scores), "id-mapped scores equal the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input{{data, size}};
    const auto [kind, bits, dim] = fuzz::pick_shape(input);
    const uint64_t seed = input.u64();

    GyrelIndex plain(dim, bits, kind, seed);
    IdMapIndex mapped = IdMapIndex::with_options(dim, bits, kind, seed);
    Model plain_model{plain.record_size(), {}, {}, {}};
    Model mapped_model = plain_model;

    for (size_t step = 0; step < kMaxSteps && !input.empty(); ++step) {
        const uint8_t op = input.u8();
        const uint8_t flags = op >> 3;
        switch (op & 7) {
            case 0:
                step_add(plain, plain_model, input, flags);
                break;
            case 1:
                step_swap_remove(plain, plain_model, input);
                break;
            case 2:
                step_add_with_ids(mapped, mapped_model, input, flags);
                break;
            case 3:
                step_remove(mapped, mapped_model, input);
                break;
            case 4:
                step_search(plain, plain_model, input, flags);
                break;
            case 5:
                step_search(mapped, mapped_model, input, flags);
                break;
            case 6: {
                const uint64_t id = input.u8() % kIdSpace;
                fuzz::require(mapped.contains(id) == mapped_model.stores(id), "contains");
                break;
            }
            default:
                // A reloaded index starts with its caches unbuilt and must go on as before.
                if (flags & 1) {
                    mapped = id_map_from_bytes(id_map_file_bytes(mapped));
                } else {
                    plain = index_from_bytes(index_file_bytes(plain));
                }
        }
        require_matches(plain, plain_model);
        require_matches(mapped, mapped_model);
    }
    return 0;
}
