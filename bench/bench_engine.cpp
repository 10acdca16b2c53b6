// Costs of the engine's building blocks that an index pays once per process or per index: the
// codebook (uncached, as its first use in a process costs) and the block matrices.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "codebook.hpp"
#include "rotation.hpp"
#include "transform.hpp"

namespace {

void BM_Codebook(benchmark::State& state) {
    const auto bits = static_cast<uint32_t>(state.range(0));
    const auto dim = static_cast<size_t>(state.range(1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(quilane::codebook(bits, dim));
    }
}
BENCHMARK(BM_Codebook)
    ->ArgNames({"bits", "dim"})
    ->ArgsProduct({{2, 3, 4}, {8, 64, 128, 384, 1024, 2048, 4096}})
    ->Unit(benchmark::kMillisecond);

// The defining computation the codebook above replaces for these dims: the baseline of its
// speed-up in the same run.
void BM_IntegratedCodebook(benchmark::State& state) {
    const auto bits = static_cast<uint32_t>(state.range(0));
    const auto dim = static_cast<size_t>(state.range(1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(quilane::integrated_codebook(bits, dim));
    }
}
BENCHMARK(BM_IntegratedCodebook)
    ->ArgNames({"bits", "dim"})
    ->ArgsProduct({{2, 3, 4}, {128, 1024}})
    ->Unit(benchmark::kMillisecond);

void BM_BlockMatrices(benchmark::State& state) {
    const auto kind = static_cast<quilane::Rotation>(state.range(0));
    state.SetLabel(std::string(quilane::rotation_name(kind)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(quilane::precompute_block_matrices(1024, kind, 117900524));
    }
}
BENCHMARK(BM_BlockMatrices)->ArgName("tag")->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
