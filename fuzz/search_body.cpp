// A well-formed header chosen by the first bytes, a body of fuzzed codes and norms (any float
// bits: NaN, infinities, subnormals), and fuzzed queries. The loaded index must search exactly as
// the reference scan over the same records does, with well-formed rows, and the id-mapped
// file with the same body must return the ids of those positions. Every instruction set, with the
// first pass on and off, and with a filter, must match the reference too.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.hpp"
#include "index_file.hpp"

namespace {

using namespace quilane;

constexpr size_t kMaxVectors = 80;
constexpr size_t kMaxQueries = 4;

void append_u32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void append_u64(std::vector<uint8_t>& bytes, uint64_t value) {
    append_u32(bytes, static_cast<uint32_t>(value));
    append_u32(bytes, static_cast<uint32_t>(value >> 32));
}

std::vector<uint8_t> file_head(const char* magic, uint64_t bits, Rotation kind, uint64_t dim,
                               uint64_t n) {
    std::vector<uint8_t> bytes(magic, magic + 4);
    bytes.push_back(2);
    bytes.push_back(static_cast<uint8_t>(bits));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint8_t>(kind) + 2));
    append_u32(bytes, static_cast<uint32_t>(dim));
    append_u32(bytes, static_cast<uint32_t>(n));
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input{{data, size}};
    const auto [kind, bits, dim] = fuzz::pick_shape(input);
    const uint64_t n = input.count(kMaxVectors);
    const uint64_t k = input.count(kMaxVectors + 2);
    const size_t nq = input.count(kMaxQueries);
    const uint64_t seed = input.u64();
    const bool raw_queries = input.u8() & 1;

    std::vector<uint8_t> records(bits * (dim / 8) * n);
    for (uint8_t& byte : records) {
        byte = input.u8();
    }
    const std::vector<float> norms = input.floats(n, true);
    const std::vector<float> queries = input.floats(nq * dim, raw_queries);

    std::vector<uint8_t> plain = file_head("QLIX", bits, kind, dim, n);
    plain.insert(plain.end(), records.begin(), records.end());
    const auto* norm_bytes = reinterpret_cast<const uint8_t*>(norms.data());
    plain.insert(plain.end(), norm_bytes, norm_bytes + norms.size() * sizeof(float));
    append_u64(plain, seed);

    GyrelIndex index = index_from_bytes(plain);
    fuzz::require(index.records() == records, "records load as stored");
    const SearchResults got = index.search(queries, k);
    fuzz::require_well_formed(got, n);
    const SearchResults want = fuzz::reference_search(index, records, norms, queries, k);
    fuzz::require(fuzz::identical(got, want), "search equals the reference scan");
    // Every instruction set with the first pass on and off, and a filter allowing the positions
    // whose first code byte is odd, against the reference over the same positions.
    if (n > 0) {
        std::vector<uint64_t> allowed((n + 63) / 64, 0);
        for (uint64_t p = 0; p < n; ++p) {
            const bool odd = records[p * bits * (dim / 8)] & 1u;
            allowed[p / 64] |= uint64_t{odd || p == 0} << (p % 64);
        }
        const uint64_t kept = count_allowed(allowed, n);
        const uint64_t filtered_k = std::max<uint64_t>(1, std::min(kept, k));
        const std::vector<float>& centroids = index.centroids();
        const Transform t = index.transform();
        const ScanInput plain{records, centroids, norms, dim, bits, n, allowed};
        ScanInput filtered = plain;
        filtered.codes = index.block_codes();
        ScanInput blocked = filtered;
        blocked.allowed = {};
        const SearchResults filtered_want = search_reference(queries, nq, t, plain, filtered_k);
        for (const Isa isa : kAllIsas) {
            for (const FirstPass pass : {FirstPass::Off, FirstPass::On}) {
                if (!isa_supported(isa)) {
                    continue;
                }
                fuzz::require(
                    fuzz::identical(search_with(isa, pass, queries, nq, t, blocked, want.k), want),
                    "every path equals the reference scan");
                fuzz::require(
                    fuzz::identical(search_with(isa, pass, queries, nq, t, filtered, filtered_k),
                                    filtered_want),
                    "filtered paths equal the filtered reference scan");
            }
        }
    }

    // The same body as an id-mapped file, with distinct ids spread over the whole range.
    std::vector<uint8_t> mapped = plain;
    std::copy_n("QLIM", 4, mapped.begin());
    std::vector<uint64_t> ids(n);
    for (uint64_t p = 0; p < n; ++p) {
        ids[p] = ~uint64_t{0} - p * 0x9e3779b97f4a7c15ULL;
        append_u64(mapped, ids[p]);
    }
    IdMapIndex id_map = id_map_from_bytes(mapped);
    const IdMapIndex::Results by_id = id_map.search(queries, k);
    fuzz::require(by_id.ids.size() == got.positions.size(), "one id per position");
    for (size_t e = 0; e < by_id.ids.size(); ++e) {
        const int64_t p = got.positions[e];
        fuzz::require(by_id.ids[e] == (p < 0 ? ~uint64_t{0} : ids[static_cast<size_t>(p)]),
                      "ids of the positions");
    }
    fuzz::require(fuzz::same_bits(by_id.scores, got.scores), "id-mapped scores equal plain scores");
    return 0;
}
