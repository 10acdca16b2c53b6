"""Load a saved index once, then answer queries as a service would.

    python examples/build_and_save.py --out vectors.qlix
    python examples/load_and_serve.py --index vectors.qlix [--requests 200] [--k 10]

Each request is one query vector (say, an embedded search phrase); the service answers it with
the k best positions and their scores. Every call runs on all processors: a batch of requests is
split over query rows and stored vectors, a single request over the stored vectors.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import numpy.typing as npt

import quilane
from build_and_save import make_embeddings


def open_service(path: str) -> quilane.GyrelIndex:
    """Loads the index and builds its caches, so the first request is as fast as the rest."""
    index = quilane.GyrelIndex.load(path)
    index.prepare()
    return index


def answer(
    index: quilane.GyrelIndex, query: npt.NDArray[np.float32], k: int
) -> list[tuple[int, float]]:
    """The k best (position, score) pairs for one query vector of shape (dim,)."""
    scores, positions = index.search(query.reshape(1, -1), k)
    return [(int(p), float(s)) for p, s in zip(positions[0], scores[0])]


def noisy_copies(
    vectors: npt.NDArray[np.float32], count: int, seed: int
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
    """Queries that each resemble one stored vector, and the positions they came from."""
    rng = np.random.default_rng(seed)
    sources = rng.integers(0, len(vectors), size=count)
    noise = 0.1 * rng.standard_normal((count, vectors.shape[1]))
    return (vectors[sources] + noise).astype(np.float32), sources


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--index", default="vectors.qlix", help="file from build_and_save.py")
    parser.add_argument("--requests", type=int, default=200, help="queries to answer")
    parser.add_argument("--k", type=int, default=10, help="results per query")
    args = parser.parse_args(argv)

    began = time.perf_counter()
    index = open_service(args.index)
    print(f"loaded {index!r} in {1e3 * (time.perf_counter() - began):.1f} ms")

    # The queries are rebuilt from the vectors build_and_save.py stored, with its default seed.
    stored = make_embeddings(len(index), index.dim)
    queries, sources = noisy_copies(stored, args.requests, seed=1)

    latencies = []
    found = 0
    for query, source in zip(queries, sources):
        began = time.perf_counter()
        hits = answer(index, query, args.k)
        latencies.append(time.perf_counter() - began)
        found += any(position == source for position, _ in hits)
    print(
        f"one request at a time: median {1e3 * np.median(latencies):.2f} ms, "
        f"99th percentile {1e3 * np.percentile(latencies, 99):.2f} ms; "
        f"the source vector was among the top {args.k} for {found} of {args.requests}"
    )

    began = time.perf_counter()
    scores, positions = index.search(queries, args.k)
    batched = time.perf_counter() - began
    print(
        f"all {args.requests} requests in one batch: {1e3 * batched:.1f} ms, "
        f"{1e3 * batched / args.requests:.3f} ms per query"
    )
    print(f"first request: positions {positions[0][:5].tolist()}, scores {scores[0][:5].round(3)}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
