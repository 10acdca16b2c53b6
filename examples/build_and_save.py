"""Build an index from a collection of embeddings and save it to a file.

    python examples/build_and_save.py --out vectors.qlix [--n 20000] [--dim 128] [--bits 4]

The embeddings are synthetic (unit vectors gathered around topics); replace
`make_embeddings` with your own model's output, as a float32 array of shape (n, dim).
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
import numpy.typing as npt

import quilane


def make_embeddings(n: int, dim: int, seed: int = 0) -> npt.NDArray[np.float32]:
    """Unit vectors scattered around a few hundred topic directions, as text embeddings are.

    The same arguments always give the same vectors, so other examples can rebuild them.
    """
    rng = np.random.default_rng(seed)
    topics = rng.standard_normal((max(1, n // 50), dim))
    vectors = topics[rng.integers(0, len(topics), size=n)] + 0.7 * rng.standard_normal((n, dim))
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors.astype(np.float32)


def build_index(
    vectors: npt.NDArray[np.float32], bits: int, batch: int = 8192
) -> quilane.GyrelIndex:
    """Adds the rows in batches, the way a stream of embeddings would arrive."""
    index = quilane.GyrelIndex(vectors.shape[1], bits)
    for start in range(0, len(vectors), batch):
        # A slice of whole rows of a C-ordered array is itself C-contiguous: no copy.
        index.add(vectors[start : start + batch])
    return index


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="vectors.qlix", help="index file to write")
    parser.add_argument("--n", type=int, default=20_000, help="number of vectors")
    parser.add_argument("--dim", type=int, default=128, help="a positive multiple of 8")
    parser.add_argument("--bits", type=int, default=4, choices=(2, 3, 4))
    args = parser.parse_args(argv)

    vectors = make_embeddings(args.n, args.dim)
    began = time.perf_counter()
    index = build_index(vectors, args.bits)
    elapsed = time.perf_counter() - began
    index.write(args.out)

    size = os.path.getsize(args.out)
    print(f"built {index!r} in {elapsed:.2f} s")
    print(
        f"wrote {args.out}: {size} bytes, {size / max(1, len(index)):.1f} per vector "
        f"(float32 would take {4 * args.dim})"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
