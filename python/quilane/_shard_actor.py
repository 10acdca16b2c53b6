"""The actor that holds one shard of a ``quilane.ray.ShardedIndex``: an ``IdMapIndex`` that
reopens the files of the last save or load whenever Ray restarts it. Imported by
``quilane.ray``, which checks first that Ray is installed."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

from quilane import IdMapIndex, PanicException

# Reads are idempotent, so a read in flight when its shard dies is sent again to the restarted
# actor; writes are not retried (the restart has already dropped everything since the last save).
READ_RETRIES = 5

Source = str | None


class Shard:
    """One IdMapIndex in one actor process.

    Every call names the shard's source: the file of the last save or load, or None for a shard
    that was never saved. ``open`` opens the index from it when the ShardedIndex is made; a
    restarted actor runs ``__init__`` again and reopens the index on its next call, from the
    source named then.

    The calls that a later bytes form and a batched removal of IdMapIndex would replace are each
    in one place: ``_open`` and ``save`` (files), ``present`` and ``remove`` (one id at a time).
    """

    def __init__(self, dim: int, bits: int, rotation: str) -> None:
        self._parameters = (dim, bits, rotation)
        self._index: IdMapIndex | None = None

    def _current(self, source: Source) -> IdMapIndex:
        if self._index is None:
            # Every shard is opened when its index is made or loaded, so an actor that has to
            # open it here is a restarted one.
            self._index = self._open(source)
            warnings.warn(
                f"shard actor restarted and reloaded {source or 'nothing (never saved)'}: "
                "the changes made since are lost",
                RuntimeWarning,
                stacklevel=1,
            )
        return self._index

    def _open(self, source: Source) -> IdMapIndex:
        if source is None:
            index = IdMapIndex(*self._parameters)
        else:
            index = IdMapIndex.load(source)
            found = (index.dim, index.bits, index.rotation)
            if found != self._parameters:
                raise OSError(
                    f"{source}: shard has (dim, bits, rotation) {found}, "
                    f"the manifest {self._parameters}"
                )
        index.prepare()
        return index

    @ray.method(max_task_retries=READ_RETRIES)
    def open(self, source: Source) -> None:
        if self._index is None:
            self._index = self._open(source)

    @ray.method(max_task_retries=READ_RETRIES)
    def present(self, source: Source, ids: npt.NDArray[np.uint64]) -> npt.NDArray[np.bool_]:
        index = self._current(source)
        return np.fromiter((index.contains(i) for i in ids.tolist()), dtype=bool, count=len(ids))

    def add(self, source: Source, vectors: npt.NDArray[np.float32],
            ids: npt.NDArray[np.uint64]) -> str | None:
        """Adds the batch; the engine's message instead of raising when it refuses it."""
        try:
            self._current(source).add_with_ids(vectors, ids)
        except PanicException as refusal:
            return str(refusal)
        return None

    def remove(self, source: Source, ids: npt.NDArray[np.uint64]) -> int:
        return self._current(source).remove_many(ids)

    @ray.method(max_task_retries=READ_RETRIES)
    def contains(self, source: Source, id: int) -> bool:
        return self._current(source).contains(id)

    @ray.method(max_task_retries=READ_RETRIES)
    def length(self, source: Source) -> int:
        return len(self._current(source))

    @ray.method(max_task_retries=READ_RETRIES)
    def search(
        self, source: Source, queries: npt.NDArray[np.float32], k: int
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64], int]:
        index = self._current(source)
        scores, ids = index.search(queries, k)
        return scores, ids, len(index)

    def save(self, source: Source, path: str) -> None:
        self._current(source).write(path)


ShardActor = ray.remote(Shard)


def gather(refs: Sequence[Any]) -> list[Any]:
    """``ray.get`` that raises a shard's own exception rather than Ray's wrapper of it."""
    try:
        return list(ray.get(list(refs)))
    except ray.exceptions.RayTaskError as failure:
        cause = failure.cause
        if isinstance(cause, BaseException) and not isinstance(cause, ray.exceptions.RayError):
            raise cause from None
        raise
