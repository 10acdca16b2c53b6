"""Filtered search and re-ranking, as ratios within one run (`make bench`).

Filtered search: an index of 1,000,000 random vectors (dim 128, 4 bits), 100 queries, k = 10,
searched with an allow mask of 1 %, 10 % and 100 % of the positions, each against the unfiltered
search of the same run (best of several repeats).

Re-ranking: the data of the demo (`python -m quilane` with its defaults: 20,000 clustered vectors
of dim 128, 500 queries); recall@10 of the index alone and of asking it for 4k = 40 and re-ranking
to 10 with quilane.rerank against the float32 vectors, and the cost of that against the plain
search of k = 10.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np

import quilane
from quilane.__main__ import clustered_data, exact_top_k, recall


def best_seconds(call: Callable[[], object], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        call()
        times.append(time.perf_counter() - began)
    return min(times)


def ratio(call: Callable[[], object], baseline: Callable[[], object], repeats: int) -> float:
    """Best time of call over best time of baseline, the two run alternately, so that a change
    in the machine's load reaches both."""
    calls: list[float] = []
    baselines: list[float] = []
    for _ in range(repeats):
        baselines.append(best_seconds(baseline, 1))
        calls.append(best_seconds(call, 1))
    return min(calls) / min(baselines)


def filtered_search(n: int, repeats: int) -> None:
    rng = np.random.default_rng(1)
    index = quilane.GyrelIndex(128, 4)
    for start in range(0, n, 100_000):
        index.add(rng.standard_normal((min(100_000, n - start), 128), dtype=np.float32))
    queries = rng.standard_normal((100, 128), dtype=np.float32)
    index.search(queries, 10)
    plain = best_seconds(lambda: index.search(queries, 10), repeats)
    print(f"== filtered search: n = {n:,}, dim 128, bits 4, nq 100, k 10")
    print(f"unfiltered: {1e3 * plain:.1f} ms per batch")
    for share in (0.01, 0.10, 1.0):
        mask = rng.random(n) < share
        positions = np.flatnonzero(mask)
        unfiltered = lambda: index.search(queries, 10)  # noqa: E731
        masked = ratio(lambda: index.search(queries, 10, allow=mask), unfiltered, repeats)
        listed = ratio(lambda: index.search(queries, 10, allow=positions), unfiltered, repeats)
        print(f"allow {100 * share:5.1f} %: mask {masked:.2f}x, "
              f"positions {listed:.2f}x of the unfiltered time")


def reranking(candidates_factor: int, repeats: int) -> None:
    rng = np.random.default_rng(7)
    k = 10
    data = clustered_data(rng, 20_500, 128, 64)
    data, queries = np.ascontiguousarray(data[:20_000]), np.ascontiguousarray(data[20_000:])
    exact = exact_top_k(data, queries, k, batch=100)
    wide = candidates_factor * k
    print(f"\n== re-ranking: demo data (20,000 x 128 in 64 clusters, 500 queries), "
          f"k {k}, {wide} candidates")
    print(f"{'bits':>4}  {'recall@10':>9}  {'re-ranked':>9}  {'cost':>5}  {'rerank alone':>12}")
    for bits in (2, 3, 4):
        index = quilane.GyrelIndex(128, bits)
        index.add(data)
        index.search(queries, k)
        found = index.search(queries, k)[1]
        _, candidates = index.search(queries, wide)
        reranked = quilane.rerank(queries, candidates, data, k)[1]
        search = lambda: index.search(queries, k)  # noqa: E731
        both = ratio(
            lambda: quilane.rerank(queries, index.search(queries, wide)[1], data, k), search,
            repeats,
        )
        alone = ratio(lambda: quilane.rerank(queries, candidates, data, k), search, repeats)
        print(f"{bits:>4}  {recall(found, exact):>9.3f}  {recall(reranked, exact):>9.3f}  "
              f"{both:>4.2f}x  {alone:>11.3f}x")
    print("cost: time of search(4k) + rerank against search(k); rerank alone likewise")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    filtered_search(args.n, args.repeats)
    reranking(4, args.repeats)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
