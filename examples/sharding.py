"""Spread a large collection over several indexes and merge their answers.

    python examples/sharding.py [--n 60000] [--shards 4] [--dim 96] [--k 10]

Shards keep each index file small, let a collection grow beyond what one file holds
(2**32 - 1 vectors) and let machines or processes share the work. Every shard is an IdMapIndex
over global ids; a search asks each shard for its top k and keeps the best k of the union.
Built with the same dim, bits and rotation, every shard encodes a vector exactly as a single
index would, so the merged answer has exactly the scores a single index over everything gives.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np
import numpy.typing as npt

import quilane


def shard_of(ids: npt.NDArray[np.uint64], shards: int) -> npt.NDArray[np.int64]:
    """The shard that owns each id: a fixed rule, so updates and deletes find their shard."""
    return (ids % np.uint64(shards)).astype(np.int64)


def build_shards(
    vectors: npt.NDArray[np.float32],
    ids: npt.NDArray[np.uint64],
    shards: int,
    bits: int = 4,
    batch: int = 10_000,
) -> list[quilane.IdMapIndex]:
    """Streams the collection in batches, routing every vector to the shard of its id."""
    indexes = [quilane.IdMapIndex(vectors.shape[1], bits) for _ in range(shards)]
    for start in range(0, len(vectors), batch):
        chunk, chunk_ids = vectors[start : start + batch], ids[start : start + batch]
        owner = shard_of(chunk_ids, shards)
        for number, index in enumerate(indexes):
            mine = owner == number
            # Boolean selection copies, and the copies are C-contiguous as the index requires.
            index.add_with_ids(chunk[mine], chunk_ids[mine])
    return indexes


def search_shards(
    indexes: list[quilane.IdMapIndex], queries: npt.NDArray[np.float32], k: int
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
    """The best k over all shards per query row, best first.

    Returns (scores, ids) of shape (nq, min(k, vectors stored)), like one index would.
    """
    stored = sum(len(index) for index in indexes)
    k_effective = max(1, min(k, stored))
    parts = [index.search(queries, k) for index in indexes]
    # An empty shard answers one placeholder column (score -inf); the sort puts it last, and
    # as long as anything is stored, k_effective never reaches it.
    scores = np.concatenate([part[0] for part in parts], axis=1)
    ids = np.concatenate([part[1] for part in parts], axis=1)
    order = np.argsort(-scores, axis=1, kind="stable")[:, :k_effective]
    return np.take_along_axis(scores, order, axis=1), np.take_along_axis(ids, order, axis=1)


def save_shards(indexes: list[quilane.IdMapIndex], directory: str) -> list[str]:
    paths = []
    for number, index in enumerate(indexes):
        path = os.path.join(directory, f"shard-{number:03d}.qlim")
        index.write(path)
        paths.append(path)
    return paths


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=60_000, help="vectors in the collection")
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--dim", type=int, default=96, help="a positive multiple of 8")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(5)

    vectors = rng.standard_normal((args.n, args.dim)).astype(np.float32)
    ids = np.arange(1_000_000, 1_000_000 + args.n, dtype=np.uint64)
    queries = rng.standard_normal((args.queries, args.dim)).astype(np.float32)

    indexes = build_shards(vectors, ids, args.shards)
    print("shards:", ", ".join(str(len(index)) for index in indexes), "vectors")

    with tempfile.TemporaryDirectory() as directory:
        paths = save_shards(indexes, directory)
        total = sum(os.path.getsize(path) for path in paths)
        loaded = [quilane.IdMapIndex.load(path) for path in paths]
    print(f"saved and reloaded {len(paths)} shard files, {total} bytes in all")

    began = time.perf_counter()
    scores, _ = search_shards(loaded, queries, args.k)
    elapsed = time.perf_counter() - began
    print(f"merged top {args.k} for {args.queries} queries in {1e3 * elapsed:.1f} ms")

    whole = quilane.IdMapIndex(args.dim, 4)
    whole.add_with_ids(vectors, ids)
    whole_scores, _ = whole.search(queries, args.k)
    print(f"same scores as one index over everything: {np.array_equal(scores, whole_scores)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
