"""What sharding over Ray costs on one machine: a ShardedIndex against one IdMapIndex.

    .venv/bin/python bench/sharded.py [--n 1000000] [--dim 128] [--bits 4] [--shards 4]

Prints the time of a batch of 100 queries and of a single query for one IdMapIndex and for a
ShardedIndex of the same vectors on a local Ray instance, and the fan-out overhead: the time of
the same searches on a ShardedIndex holding one vector per shard (calls, transport and merge with
next to no scan). All shards share this machine's cores, so the sharded times here show the
overhead, not the speed-up of a cluster; docs/scaling.md turns these figures into cluster
estimates. The machine is shared and noisy: compare figures within one run.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
from collections.abc import Callable

import numpy as np
import numpy.typing as npt
import ray

import quilane
from quilane.ray import ShardedIndex, shard_of

BATCH = 100
K = 10


def interleaved_medians(
    searches: list[Callable[[npt.NDArray[np.float32], int], object]],
    queries: npt.NDArray[np.float32],
    repeats: int,
) -> list[tuple[float, float]]:
    """Per search: (seconds per batch of BATCH queries, seconds per single query), medians.

    The searches take turns within every repeat, so that the load of this shared machine falls
    on all of them alike."""
    batches: list[list[float]] = [[] for _ in searches]
    singles: list[list[float]] = [[] for _ in searches]
    for search in searches:  # the first call may build caches
        search(queries[:BATCH], K)
    for repeat in range(repeats):
        for search, batch_times, single_times in zip(searches, batches, singles):
            began = time.perf_counter()
            search(queries[:BATCH], K)
            batch_times.append(time.perf_counter() - began)
            for row in range(4 * repeat, 4 * repeat + 4):
                began = time.perf_counter()
                search(queries[row % BATCH : row % BATCH + 1], K)
                single_times.append(time.perf_counter() - began)
    return [(statistics.median(b), statistics.median(s)) for b, s in zip(batches, singles)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    vectors = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    ids = np.arange(args.n, dtype=np.uint64)
    queries = rng.standard_normal((BATCH, args.dim), dtype=np.float32)
    print(
        f"machine: {platform.machine()}, {os.cpu_count()} cores, Python "
        f"{platform.python_version()}, Ray {ray.__version__}, quilane {quilane.__version__}"
    )
    print(f"n = {args.n:,}, dim {args.dim}, bits {args.bits}, {args.shards} shards, k {K}")

    one = quilane.IdMapIndex(args.dim, args.bits)
    one.add_with_ids(vectors, ids)
    one.prepare()

    ray.init(include_dashboard=False, log_to_driver=False, _node_ip_address="127.0.0.1",
             object_store_memory=2 * 2**30)
    sharded = ShardedIndex(args.dim, args.bits, num_shards=args.shards)
    began = time.perf_counter()
    for start in range(0, args.n, 200_000):
        sharded.add_with_ids(vectors[start : start + 200_000], ids[start : start + 200_000])
    add_seconds = time.perf_counter() - began
    exact = np.array_equal(sharded.search(queries, K)[0], one.search(queries, K)[0])

    # One vector per shard: what a search costs apart from the scan.
    owners = shard_of(ids[: 64 * args.shards], args.shards)
    one_per_shard = np.array([np.flatnonzero(owners == s)[0] for s in range(args.shards)])
    tiny = ShardedIndex(args.dim, args.bits, num_shards=args.shards)
    tiny.add_with_ids(vectors[one_per_shard], ids[one_per_shard])

    (one_batch, one_single), (sharded_batch, sharded_single), (fan_batch, fan_single) = (
        interleaved_medians([one.search, sharded.search, tiny.search], queries, args.repeats)
    )
    ray.shutdown()

    print(f"sharded add: {args.n / add_seconds:.3g} vectors/s over Ray (one index: in-process)")
    print(f"scores equal to one index: {exact}")
    print(f"{'':28}{'batch of 100':>14}{'single query':>14}")
    for name, batch, single in [
        ("one IdMapIndex", one_batch, one_single),
        (f"ShardedIndex, {args.shards} shards", sharded_batch, sharded_single),
        ("fan-out (1 vector per shard)", fan_batch, fan_single),
    ]:
        print(f"{name:28}{1e3 * batch:11.2f} ms{1e3 * single:11.2f} ms")
    print(
        f"ratios sharded / one: batch {sharded_batch / one_batch:.2f}x, "
        f"single {sharded_single / one_single:.2f}x"
    )
    print(
        f"one index scan rate: {args.n * BATCH / one_batch:.3g} vector-query pairs/s (batch), "
        f"{args.n / one_single:.3g} vectors/s (single query)"
    )
    print(
        f"fan-out overhead per search: {1e3 * fan_batch:.2f} ms (batch of 100), "
        f"{1e3 * fan_single:.2f} ms (single query)"
    )
    print_scan_rates(rng, args.repeats)
    return 0


def print_scan_rates(rng: np.random.Generator, repeats: int) -> None:
    """Scan rates of one IdMapIndex at the dims and bits of docs/scaling.md, on all cores."""
    n = 100_000
    print(f"one IdMapIndex, n = {n:,}, all {os.cpu_count()} cores:")
    print(f"{'dim':>5}{'bits':>5}{'bytes/vector':>14}{'batch pairs/s':>15}{'single vectors/s':>18}")
    for dim in (384, 768):
        vectors = rng.standard_normal((n, dim), dtype=np.float32)
        queries = rng.standard_normal((BATCH, dim), dtype=np.float32)
        for bits in (2, 3, 4):
            index = quilane.IdMapIndex(dim, bits)
            index.add_with_ids(vectors, np.arange(n, dtype=np.uint64))
            ((batch, single),) = interleaved_medians([index.search], queries, repeats)
            print(
                f"{dim:5}{bits:5}{bits * dim // 8 + 4:14}{n * BATCH / batch:15.3g}"
                f"{n / single:18.3g}"
            )


if __name__ == "__main__":
    raise SystemExit(main())
