"""Keep an index in step with a changing catalogue, addressed by your own ids.

    python examples/id_map_updates.py [--items 5000] [--dim 64]

Items carry 64-bit ids of their own (database keys, hashes). New items are added, changed items
are re-embedded and replaced, withdrawn items are deleted, and searches answer with the ids.
"""

from __future__ import annotations

import argparse
import os
import tempfile

import numpy as np
import numpy.typing as npt

import quilane


def upsert(
    index: quilane.IdMapIndex, vectors: npt.NDArray[np.float32], ids: npt.NDArray[np.uint64]
) -> int:
    """Adds the vectors, replacing those already stored under the same ids.

    Returns how many ids were replaced. A batch that names an id twice is refused before the
    index changes, since it is not clear which of the two vectors should win.
    """
    if len(np.unique(ids)) != len(ids):
        raise ValueError("upsert: the batch names an id more than once")
    replaced = sum(index.remove(int(item)) for item in ids)
    index.add_with_ids(vectors, ids)
    return replaced


def delete(index: quilane.IdMapIndex, ids: npt.NDArray[np.uint64]) -> int:
    """Removes the given ids; those that are not stored are skipped. Returns how many went."""
    return sum(index.remove(int(item)) for item in ids)


def random_unit_vectors(rng: np.random.Generator, n: int, dim: int) -> npt.NDArray[np.float32]:
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=5_000, help="catalogue size")
    parser.add_argument("--dim", type=int, default=64, help="a positive multiple of 8")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(3)

    # Sparse 64-bit keys, as a hash of a product code would give (collisions are dropped).
    ids = rng.permutation(np.unique(rng.integers(0, 2**64 - 1, size=args.items, dtype=np.uint64)))
    vectors = random_unit_vectors(rng, len(ids), args.dim)
    index = quilane.IdMapIndex(args.dim, bits=4)
    index.add_with_ids(vectors, ids)
    print(f"catalogue: {index!r}")

    # Ten items change: their new vectors replace the old ones under the same ids.
    changed = ids[:10]
    new_vectors = random_unit_vectors(rng, len(changed), args.dim)
    replaced = upsert(index, new_vectors, changed)
    _, best = index.search(new_vectors, 1)
    print(
        f"upserted {len(changed)} items ({replaced} replaced); each new vector finds its own id "
        f"first: {bool(np.all(best[:, 0] == changed))}"
    )

    # Adding an id that is stored already is an error that leaves the index as it was.
    try:
        index.add_with_ids(new_vectors[:1], changed[:1])
    except quilane.PanicException as error:
        print(f"adding a stored id again is refused: {error}")

    withdrawn = ids[-100:]
    removed = delete(index, withdrawn)
    _, found = index.search(vectors[-100:], 10)
    print(
        f"deleted {removed} items; {int(withdrawn[0])} in index: {int(withdrawn[0]) in index}; "
        f"searches for them return none of them: {not np.isin(found, withdrawn).any()}"
    )

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "catalogue.qlim")
        index.write(path)
        reloaded = quilane.IdMapIndex.load(path)
    same = all(reloaded.contains(int(item)) == index.contains(int(item)) for item in ids)
    print(f"written and loaded back: {reloaded!r}, same ids: {same}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
