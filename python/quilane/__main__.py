"""End-to-end demo: `python -m quilane`.

Builds an index over a synthetic clustered data set for 2, 3 and 4 bits, searches it, and prints
recall@k against exact inner-product search and the time per query.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from collections.abc import Iterable
from typing import TypeVar

import numpy as np
import numpy.typing as npt

from quilane import GyrelIndex, __version__

try:
    from tqdm import tqdm
except ImportError:  # the progress bar is optional
    tqdm = None

FloatArray = npt.NDArray[np.float32]
IntArray = npt.NDArray[np.int64]
Item = TypeVar("Item")


def progress(iterable: Iterable[Item], description: str, total: int) -> Iterable[Item]:
    """Shows a bar once the loop has taken more than a second."""
    if tqdm is None:
        return iterable
    bar: Iterable[Item] = tqdm(
        iterable, desc=description, total=total, delay=1.0, leave=False, file=sys.stderr
    )
    return bar


def batches(count: int, size: int) -> list[tuple[int, int]]:
    """(start, stop) bounds that cover range(count) in steps of size."""
    return [(start, min(start + size, count)) for start in range(0, count, size)]


def clustered_data(rng: np.random.Generator, n: int, dim: int, clusters: int) -> FloatArray:
    """Points scattered around random centres, so that neighbours are meaningful."""
    centres = rng.standard_normal((clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, size=n)
    noise = rng.standard_normal((n, dim)).astype(np.float32)
    return (centres[labels] + 0.6 * noise).astype(np.float32)


def exact_top_k(data: FloatArray, queries: FloatArray, k: int, batch: int) -> IntArray:
    """Indices of the k largest inner products per query, best first, by a dense product."""
    result = np.empty((len(queries), k), dtype=np.int64)
    chunks = batches(len(queries), batch)
    for start, stop in progress(chunks, "exact search", len(chunks)):
        scores = queries[start:stop] @ data.T
        top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1)
        result[start:stop] = np.take_along_axis(top, order, axis=1)
    return result


def build_index(data: FloatArray, bits: int, rotation: str, batch: int) -> GyrelIndex:
    """An index of the data at the given width, filled batch by batch."""
    index = GyrelIndex(data.shape[1], bits, rotation)
    index.prepare()
    chunks = batches(len(data), batch)
    for start, stop in progress(chunks, f"adding ({bits} bits)", len(chunks)):
        index.add(data[start:stop])
    return index


def timed_search(
    index: GyrelIndex, queries: FloatArray, k: int, batch: int
) -> tuple[IntArray, float]:
    """The positions found for every query and the seconds the searches took in all."""
    found = np.empty((len(queries), k), dtype=np.int64)
    chunks = batches(len(queries), batch)
    began = time.perf_counter()
    for start, stop in progress(chunks, f"searching ({index.bits} bits)", len(chunks)):
        _, found[start:stop] = index.search(queries[start:stop], k)
    return found, time.perf_counter() - began


def recall(found: IntArray, exact: IntArray) -> float:
    """Share of the exact top-k positions that the index also returned, over all queries."""
    hits = sum(len(np.intersect1d(f, e)) for f, e in zip(found, exact))
    return hits / exact.size


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    """The demo's options, checked: an invalid combination exits with a usage message."""
    parser = argparse.ArgumentParser(prog="python -m quilane", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=20_000, help="stored vectors (default 20000)")
    parser.add_argument("--dim", type=int, default=128, help="a multiple of 8 (default 128)")
    parser.add_argument("--queries", type=int, default=500, help="query vectors (default 500)")
    parser.add_argument("--clusters", type=int, default=64, help="clusters in the data (default 64)")
    parser.add_argument("--k", type=int, default=10, help="neighbours per query (default 10)")
    parser.add_argument("--rotation", default="rotor3",
                        help="planar2, rotor3, iso4 or walshrotor3 (default rotor3)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the synthetic data")
    args = parser.parse_args(argv)
    if args.dim <= 0 or args.dim % 8 != 0:
        parser.error("--dim must be a positive multiple of 8")
    if not 0 < args.k <= args.n:
        parser.error("--k must be between 1 and --n")
    if args.queries <= 0 or args.clusters <= 0:
        parser.error("--queries and --clusters must be positive")
    return args


def main(argv: list[str] | None = None) -> int:
    """Runs the demo and prints its table; returns the process exit status."""
    args = parse_arguments(argv)
    rng = np.random.default_rng(args.seed)
    data = clustered_data(rng, args.n + args.queries, args.dim, args.clusters)
    data, queries = data[: args.n], data[args.n :]

    print(f"quilane {__version__}: {args.n} vectors of dim {args.dim} in {args.clusters} clusters, "
          f"{args.queries} queries, rotation {args.rotation}; float32 takes {4 * args.dim} bytes/vector")
    began = time.perf_counter()
    exact = exact_top_k(data, queries, args.k, batch=100)
    exact_time = time.perf_counter() - began
    print(f"exact search (NumPy): {1e3 * exact_time / args.queries:.3f} ms per query")
    print(f"{'bits':>4}  {'recall@' + str(args.k):>9}  {'ms/query':>8}  {'build s':>7}  {'bytes/vector':>12}")
    for bits in (2, 3, 4):
        began = time.perf_counter()
        index = build_index(data, bits, args.rotation, batch=2000)
        build_time = time.perf_counter() - began
        found, search_time = timed_search(index, queries, args.k, batch=50)
        record_bytes = bits * args.dim // 8 + 4
        print(f"{bits:>4}  {recall(found, exact):>9.3f}  {1e3 * search_time / args.queries:>8.3f}"
              f"  {build_time:>7.2f}  {record_bytes:>12}")
    return 0


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        sys.exit(main())
