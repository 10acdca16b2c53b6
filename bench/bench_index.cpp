// Add and search throughput of one index:
//   bench_index [n=100000] [dim=128] [bits=4] [nq=100] [k=10]
//               [data=gaussian|clustered|ties|near|raw:FILE] [parts=all|scan]
// The scan is timed with its first pass off and on, with the share of pairs it scored exactly,
// with filters allowing 1 % and 100 % of the positions, and for a single query beside the time
// to stream the bytes it reads. raw:FILE reads float32 rows of dim (the first nq are the
// queries, the next n at most are stored); parts=scan skips the add, encode and file figures.
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_reduce.h>

#include <unistd.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codebook.hpp"
#include "encode.hpp"
#include "error.hpp"
#include "index_file.hpp"
#include "lib.hpp"
#include "pack.hpp"
#include "search.hpp"

namespace {

constexpr int kRepeats = 3;

uint64_t argument(int argc, char** argv, int i, uint64_t fallback) {
    return argc > i ? std::strtoull(argv[i], nullptr, 10) : fallback;
}

std::vector<float> gaussian_vectors(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(count);
    for (float& x : v) {
        x = normal(rng);
    }
    return v;
}

template <class F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best of a few runs: the machine is shared, and the fastest run is the least disturbed.
template <class F>
double best_seconds(F&& f) {
    double best = seconds(f);
    for (int r = 1; r < kRepeats; ++r) {
        best = std::min(best, seconds(f));
    }
    return best;
}

// Encoding alone (into a store made beforehand) for every rotation kind on every encode path this
// processor runs, so that the paths compare within one run.
void print_encode_per_kind(std::span<const float> vectors, size_t n, size_t dim, size_t bits) {
    const quilane::Codebook& book = quilane::cached_codebook(static_cast<uint32_t>(bits), dim);
    std::vector<uint8_t> store(quilane::block_store_bytes(bits, dim, n));
    std::vector<float> norms(n);
    for (uint8_t tag = 0; tag < quilane::kRotationCount; ++tag) {
        const auto kind = static_cast<quilane::Rotation>(tag);
        quilane::GyrelIndex index(dim, bits, kind, 117900524);
        const auto& signs = index.sign_vector();
        const quilane::BlockMatrices& blocks = index.block_matrices();
        const quilane::Transform t{
            signs ? std::span<const float>(*signs) : std::span<const float>(), signs.has_value(),
            blocks.matrices, quilane::block_size(kind), blocks.padded_dim};
        double scalar_s = 0;
        for (const quilane::Isa isa : quilane::kAllIsas) {
            if (!quilane::isa_supported(isa)) {
                continue;
            }
            const double s = best_seconds([&] {
                quilane::encode_into_blocks_on_isa(isa, vectors, n, dim, t, book.boundaries, bits,
                                                   store, 0, norms);
            });
            scalar_s = isa == quilane::Isa::Scalar ? s : scalar_s;
            std::printf("encode: %-11s %-6s %.3f s, %.0f vectors/s",
                        std::string(quilane::rotation_name(kind)).c_str(),
                        std::string(quilane::isa_name(isa)).c_str(), s, static_cast<double>(n) / s);
            if (isa != quilane::Isa::Scalar && scalar_s > 0) {
                std::printf(", %.2fx scalar", scalar_s / s);
            }
            std::printf("\n");
        }
    }
}

// Layout conversion alone, whole blocks at once and a record at a time (which takes the plain
// per-record path), and whole files through the page cache and in memory.
void print_file_figures(quilane::GyrelIndex& index) {
    const size_t n = index.len();
    const size_t dim = index.dim();
    const size_t bits = index.bits();
    const size_t record = quilane::record_bytes(bits, dim);
    const std::vector<uint8_t> records = index.records();
    std::vector<uint8_t> store(quilane::block_store_bytes(bits, dim, n));
    const double gb = static_cast<double>(records.size()) / 1e9;
    const double whole_s = best_seconds(
        [&] { quilane::records_to_blocks(records.data(), n, dim, bits, store.data(), 0); });
    const double single_s = best_seconds([&] {
        for (size_t i = 0; i < n; ++i) {
            quilane::records_to_blocks(records.data() + i * record, 1, dim, bits, store.data(), i);
        }
    });
    std::vector<uint8_t> back(records.size());
    const double back_s = best_seconds(
        [&] { quilane::blocks_to_records(store.data(), 0, n, dim, bits, back.data()); });
    const double back_single_s = best_seconds([&] {
        for (size_t i = 0; i < n; ++i) {
            quilane::blocks_to_records(store.data(), i, 1, dim, bits, back.data() + i * record);
        }
    });
    std::printf("convert: to blocks %.2f GB/s (a record at a time %.2f GB/s, %.2fx)\n",
                gb / whole_s, gb / single_s, single_s / whole_s);
    std::printf("convert: to records %.2f GB/s (a record at a time %.2f GB/s, %.2fx)\n",
                gb / back_s, gb / back_single_s, back_single_s / back_s);

    const std::vector<uint8_t> bytes = quilane::index_file_bytes(index);
    const double file_gb = static_cast<double>(bytes.size()) / 1e9;
    const double emit_s = best_seconds([&] { quilane::index_file_bytes(index); });
    const double parse_s = best_seconds([&] { quilane::index_from_bytes(bytes); });
    const std::string path = "/tmp/bench_index_" + std::to_string(::getpid()) + ".qidx";
    const double write_s = best_seconds([&] { quilane::write_index(path, index); });
    const double load_s = best_seconds([&] { quilane::read_index(path); });
    std::remove(path.c_str());
    std::printf("file:   %.1f MB; write %.2f GB/s, load %.2f GB/s (page cache)\n", file_gb * 1e3,
                file_gb / write_s, file_gb / load_s);
    std::printf("file:   in memory, no system calls: emit %.2f GB/s, parse %.2f GB/s\n",
                file_gb / emit_s, file_gb / parse_s);
}

}  // namespace

// Rows of dim float32 from a file: the first nq are the queries, then up to n stored vectors.
std::vector<float> file_data(const std::string& path, size_t& n, size_t nq, size_t dim,
                             std::vector<float>& queries) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> rows;
    std::vector<float> row(dim);
    while (rows.size() < (n + nq) * dim &&
           in.read(reinterpret_cast<char*>(row.data()),
                   static_cast<std::streamsize>(dim * sizeof(float)))) {
        rows.insert(rows.end(), row.begin(), row.end());
    }
    if (rows.size() <= nq * dim) {
        throw quilane::Error("bench_index: " + path + " holds too few rows of dim " +
                             std::to_string(dim));
    }
    queries.assign(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(nq * dim));
    n = rows.size() / dim - nq;
    return std::vector<float>(rows.begin() + static_cast<std::ptrdiff_t>(nq * dim), rows.end());
}

// Clustered like real embeddings: 1000 centres, vectors near them, queries near stored vectors.
// "ties": every vector one of 50 exact copies, so that the k-th score is a tie of many.
// "near": every vector one of 50 copies moved by a relative 1e-3, so that the scores near the
// k-th lie closer together than any bound can tell apart.
std::vector<float> search_data(const std::string& kind, size_t n, size_t nq, size_t dim,
                               std::vector<float>& queries) {
    std::mt19937 rng(3);
    std::normal_distribution<float> normal;
    std::vector<float> x = gaussian_vectors(n * dim, 1);
    queries = gaussian_vectors(nq * dim, 2);
    if (kind == "clustered") {
        const std::vector<float> centres = gaussian_vectors(1000 * dim, 4);
        for (size_t i = 0; i < n; ++i) {
            const size_t c = rng() % 1000;
            for (size_t j = 0; j < dim; ++j) {
                x[i * dim + j] = centres[c * dim + j] + 0.5f * x[i * dim + j];
            }
        }
        for (size_t q = 0; q < nq; ++q) {
            const size_t i = rng() % n;
            for (size_t j = 0; j < dim; ++j) {
                queries[q * dim + j] = x[i * dim + j] + 0.3f * normal(rng);
            }
        }
    } else if (kind == "ties" || kind == "near") {
        const float spread = kind == "near" ? 1e-3f : 0.0f;
        for (size_t i = 50; i < n; ++i) {
            for (size_t j = 0; j < dim; ++j) {
                x[i * dim + j] = x[(i % 50) * dim + j] * (1.0f + spread * normal(rng));
            }
        }
    }
    return x;
}

// A plain sum of a store as 64-byte lines on every core, with the widest loads the processor
// has: memory, not arithmetic, bounds it, and no scan reads the same bytes faster.
using Line = uint64_t __attribute__((vector_size(64)));

__attribute__((target_clones("avx512f", "avx2", "default"))) uint64_t sum_lines(
    const std::byte* bytes, size_t first, size_t last) {
    Line sum{};
    for (size_t i = first; i < last; ++i) {
        Line line;
        std::memcpy(&line, bytes + 64 * i, 64);
        sum += line;
    }
    uint64_t total = 0;
    for (int w = 0; w < 8; ++w) {
        total += sum[w];
    }
    return total;
}

uint64_t sum_store(std::span<const std::byte> bytes) {
    const size_t lines = bytes.size() / 64;
    uint64_t sum = tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, lines), uint64_t{0},
        [&](const tbb::blocked_range<size_t>& range, uint64_t partial) {
            return partial + sum_lines(bytes.data(), range.begin(), range.end());
        },
        std::plus<>());
    for (size_t b = 64 * lines; b < bytes.size(); ++b) {
        sum += std::to_integer<uint64_t>(bytes[b]);
    }
    return sum;
}

// One query on all cores: the path the search chooses, the exact kernel alone and the first pass,
// beside the plain sum over the codes and norms the scan reads. Taken in turn, so that a change
// in what else the shared machine runs falls on all four alike; a single query takes
// milliseconds, so it takes many runs to find the least disturbed.
void print_single_query(quilane::GyrelIndex& index, const std::vector<float>& queries,
                        const quilane::Transform& t, const quilane::ScanInput& input, size_t k) {
    constexpr int kSingleRepeats = 30;
    const std::span<const float> one(queries.data(), index.dim());
    auto pass = [&](quilane::FirstPass choice) {
        return [&, choice] {
            quilane::search_with(quilane::active_isa(), choice, one, 1, t, input, k);
        };
    };
    const auto codes = std::as_bytes(index.block_codes());
    const auto norms = std::as_bytes(index.norms());
    uint64_t checksum = 0;
    const std::array<std::function<void()>, 4> runs = {
        [&] { index.search(one, k); }, pass(quilane::FirstPass::Off), pass(quilane::FirstPass::On),
        [&] { checksum += sum_store(codes) + sum_store(norms); }};
    std::array<double, 4> best;
    best.fill(std::numeric_limits<double>::infinity());
    for (int r = 0; r < kSingleRepeats; ++r) {
        for (size_t i = 0; i < runs.size(); ++i) {
            best[i] = std::min(best[i], seconds(runs[i]));
        }
    }
    const auto [chosen_s, off_s, on_s, stream_s] = best;
    const double mb = static_cast<double>(codes.size() + norms.size()) / 1e6;
    std::printf(
        "single query: %.2f ms as chosen, exact kernel %.2f ms, first pass %.2f ms; streaming "
        "the %.1f MB of codes and norms %.2f ms (%.1f GB/s): chosen / stream %.2fx (sum %llu)\n",
        1e3 * chosen_s, 1e3 * off_s, 1e3 * on_s, mb, 1e3 * stream_s, mb / 1e3 / stream_s,
        chosen_s / stream_s, static_cast<unsigned long long>(checksum % 10));
}

// The scan with its first pass off and on, on one core and on all, and with filters.
void print_scan_figures(quilane::GyrelIndex& index, const std::vector<float>& queries, size_t nq,
                        size_t k) {
    const quilane::Transform t = index.transform();
    const quilane::ScanInput input{index.block_codes(),
                                   index.centroids(),
                                   index.norms(),
                                   index.dim(),
                                   index.bits(),
                                   index.len(),
                                   {}};
    const double pairs = static_cast<double>(nq) * static_cast<double>(index.len());
    for (const auto pass : {quilane::FirstPass::Off, quilane::FirstPass::On}) {
        auto run = [&] {
            return quilane::search_with(quilane::active_isa(), pass, queries, nq, t, input, k);
        };
        double one_s = 0;
        {
            tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
            one_s = best_seconds(run);
        }
        const double all_s = best_seconds(run);
        const double share = static_cast<double>(run().scored_exactly) / pairs;
        std::printf(
            "scan, first pass %s: 1 thread %.3f s (%.3g pairs/s), all %.3f s (%.3g "
            "pairs/s), scored exactly %.3f %%\n",
            pass == quilane::FirstPass::On ? "on " : "off", one_s, pairs / one_s, all_s,
            pairs / all_s, 100.0 * share);
    }
    print_single_query(index, queries, t, input, k);
    const double plain_s = best_seconds([&] { index.search(queries, k); });
    std::mt19937_64 rng(5);
    for (const double fraction : {0.01, 1.0}) {
        std::vector<uint64_t> allowed((index.len() + 63) / 64, 0);
        for (uint64_t p = 0; p < index.len(); ++p) {
            if (fraction >= 1.0 || static_cast<double>(rng() % 10000) < fraction * 10000) {
                allowed[p / 64] |= uint64_t{1} << (p % 64);
            }
        }
        const double s = best_seconds([&] { index.search(queries, k, allowed); });
        std::printf("search allowing %.0f %%: %.3f s, %.2fx of unfiltered\n", 100 * fraction, s,
                    s / plain_s);
    }
}

int main(int argc, char** argv) {
    uint64_t n = argument(argc, argv, 1, 100000);
    const uint64_t dim = argument(argc, argv, 2, 128);
    const uint64_t bits = argument(argc, argv, 3, 4);
    const uint64_t nq = argument(argc, argv, 4, 100);
    const uint64_t k = argument(argc, argv, 5, 10);
    const std::string data = argc > 6 ? argv[6] : "gaussian";
    const bool scan_only = argc > 7 && std::string(argv[7]) == "scan";
    try {
        std::vector<float> queries;
        const std::vector<float> vectors = data.starts_with("raw:")
                                               ? file_data(data.substr(4), n, nq, dim, queries)
                                               : search_data(data, n, nq, dim, queries);
        std::printf("n %llu, dim %llu, bits %llu, nq %llu, k %llu, rotor3, %s data\n",
                    static_cast<unsigned long long>(n), static_cast<unsigned long long>(dim),
                    static_cast<unsigned long long>(bits), static_cast<unsigned long long>(nq),
                    static_cast<unsigned long long>(k), data.c_str());

        // The caches and the codebook are built before the clock starts: add times encoding only.
        quilane::GyrelIndex index(dim, bits, quilane::Rotation::Rotor3, 117900524);
        if (scan_only) {
            index.add(vectors);
            print_scan_figures(index, queries, nq, k);
            return 0;
        }
        double add_s = 0;
        for (int r = 0; r < kRepeats; ++r) {
            quilane::GyrelIndex fresh(dim, bits, quilane::Rotation::Rotor3, 117900524);
            fresh.prepare();
            const double s = seconds([&] { fresh.add(vectors); });
            add_s = r == 0 ? s : std::min(add_s, s);
            index = std::move(fresh);
        }
        std::printf("add:    %.3f s, %.0f vectors/s (one batch)\n", add_s,
                    static_cast<double>(n) / add_s);
        {
            quilane::GyrelIndex single(dim, bits, quilane::Rotation::Rotor3, 117900524);
            single.prepare();
            const double s = seconds([&] {
                for (uint64_t i = 0; i < n; ++i) {
                    single.add(std::span(vectors).subspan(i * dim, dim));
                }
            });
            std::printf("add:    %.3f s, %.0f vectors/s (one vector per call)\n", s,
                        static_cast<double>(n) / s);
        }

        print_encode_per_kind(vectors, n, dim, bits);
        print_file_figures(index);

        const double pairs = static_cast<double>(nq) * static_cast<double>(n);
        double single_s = 0;
        {
            tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
            single_s = best_seconds([&] { index.search(queries, k); });
        }
        const double pooled_s = best_seconds([&] { index.search(queries, k); });
        std::printf("search: 1 thread   %.3f s, %.3g pairs/s\n", single_s, pairs / single_s);
        std::printf("search: %d threads  %.3f s, %.3g pairs/s\n", tbb::info::default_concurrency(),
                    pooled_s, pairs / pooled_s);
        print_scan_figures(index, queries, nq, k);
    } catch (const quilane::Error& e) {
        std::fprintf(stderr, "bench_index: %s\n", e.what());
        return 1;
    }
    return 0;
}
