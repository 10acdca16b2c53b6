// Arbitrary bytes loaded as each index format (the bytes forms that from_bytes and pickles use).
// Loading either refuses them with an IoError or yields an index that writes back exactly the
// bytes it was read from (trailing bytes aside), can be searched and reconstructed, and whose ids
// can all be removed at once.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "index_file.hpp"
#include "reconstruct.hpp"

namespace {

using namespace quilane;

template <class Load>
auto try_load(std::span<const uint8_t> bytes, Load load) -> std::optional<decltype(load(bytes))> {
    try {
        return load(bytes);
    } catch (const IoError&) {
        return std::nullopt;
    }
}

bool is_prefix(const std::vector<uint8_t>& written, std::span<const uint8_t> bytes) {
    return written.size() <= bytes.size() &&
           std::equal(written.begin(), written.end(), bytes.begin());
}

// Files may declare any dim; the transform of a huge one is the caller's memory to spend, so
// only dims an embedding might have are searched.
constexpr uint64_t kLargestSearchedDim = 1024;

// One query of ones: enough to walk every stored record, whatever its codes and norm.
void require_searchable(GyrelIndex& index) {
    if (index.dim() > kLargestSearchedDim) {
        return;
    }
    const std::vector<float> query(index.dim(), 1.0f);
    const SearchResults got = index.search(query, 3);
    fuzz::require_well_formed(got, index.len());
    const std::vector<uint64_t> first = {0, index.len() / 2};
    if (index.len() > 0) {
        fuzz::require(reconstruct(index, first).size() == 2 * index.dim(),
                      "reconstruction gives a row per position");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    if (auto index = try_load(bytes, index_from_bytes)) {
        fuzz::require(is_prefix(index_file_bytes(*index), bytes),
                      "plain index writes back as read");
        require_searchable(*index);
    }
    if (auto index = try_load(bytes, id_map_from_bytes)) {
        fuzz::require(is_prefix(id_map_file_bytes(*index), bytes), "id map writes back as read");
        for (const uint64_t id : index->ids()) {
            fuzz::require(index->contains(id), "every stored id is found");
        }
        require_searchable(index->inner());
        const std::vector<uint64_t> ids(index->ids().begin(), index->ids().end());
        fuzz::require(index->remove_many(ids) == ids.size() && index->len() == 0,
                      "every stored id is removed");
    }
    return 0;
}
