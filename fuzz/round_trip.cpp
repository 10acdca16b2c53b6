// An index built from fuzzed vectors (any float bits when the input asks for them) and ids,
// written, loaded and written again: both writes give the same bytes, and the loaded index, whose
// caches start unbuilt, searches bit for bit as the one that was written.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "error.hpp"
#include "fuzz_support.hpp"
#include "index_file.hpp"

namespace {

using namespace quilane;

constexpr size_t kMaxVectors = 40;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input{{data, size}};
    const auto [kind, bits, dim] = fuzz::pick_shape(input);
    const uint64_t seed = input.u64();
    const size_t n = input.count(kMaxVectors);
    const bool raw = input.u8() & 1;
    const std::vector<float> vectors = input.floats(n * dim, raw);
    std::vector<uint64_t> ids(n);
    for (uint64_t& id : ids) {
        id = input.u64();
    }
    const std::vector<float> queries = input.floats(2 * dim, false);

    IdMapIndex written = IdMapIndex::with_options(dim, bits, kind, seed);
    try {
        written.add_with_ids(vectors, ids);
    } catch (const Error&) {
        // Repeated ids: the batch is refused whole.
        fuzz::require(written.len() == 0 && written.inner().len() == 0, "refused batch stored");
    }
    const std::vector<uint8_t> mapped = id_map_file_bytes(written);
    IdMapIndex loaded = id_map_from_bytes(mapped);
    fuzz::require(id_map_file_bytes(loaded) == mapped, "id map rewrites byte for byte");
    const IdMapIndex::Results want = written.search(queries, 5);
    const IdMapIndex::Results got = loaded.search(queries, 5);
    fuzz::require(got.ids == want.ids, "loaded id map finds the same ids");
    fuzz::require(fuzz::same_bits(got.scores, want.scores), "loaded id map scores the same");

    const std::vector<uint8_t> plain = index_file_bytes(written.inner());
    GyrelIndex reloaded = index_from_bytes(plain);
    fuzz::require(index_file_bytes(reloaded) == plain, "plain index rewrites byte for byte");
    fuzz::require(fuzz::identical(reloaded.search(queries, 5), written.inner().search(queries, 5)),
                  "loaded plain index searches the same");
    return 0;
}
