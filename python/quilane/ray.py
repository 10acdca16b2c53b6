"""An IdMapIndex spread over the machines of a Ray cluster.

``ShardedIndex`` keeps ``num_shards`` shards, each one ``IdMapIndex`` in its own Ray actor, on
whatever nodes the cluster has. An id always lives in the shard ``shard_of(id, num_shards)``
names, so adds, removals and membership tests go to one shard, and a search goes to every shard at
once and merges their top ``k``. Every shard encodes a vector exactly as a single index with the
same ``dim``, ``bits`` and ``rotation`` would, so the merged scores equal that single index's
scores bit for bit, and its ids up to the order of equal scores.

Installed with ``pip install "quilane[ray]"``; ``import quilane`` alone never imports Ray.

The shard of an id
------------------
``shard_of(id, num_shards) = splitmix64(id) mod num_shards``, where ``splitmix64`` is the
finaliser of the SplitMix64 generator over 64-bit unsigned integers (wrapping arithmetic)::

    z = id + 0x9E3779B97F4A7C15
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB
    z = z ^ (z >> 31)

It spreads consecutive ids evenly and is the same on every machine and in every version: saved
shards depend on it, and the manifest names it (``"hash": "splitmix64-mod"``).

Saved directories
-----------------
``save(directory)`` writes one ``QLIM`` file per shard, each replaced atomically as
``IdMapIndex.write`` does, then ``manifest.json`` (format name, format version, ``dim``,
``bits``, ``rotation``, ``num_shards``, the hash and the shard file names) atomically, last, and
then deletes the shard files the previous manifest named. The shard files of each save have new
names, so a reader sees either the previous complete save or the new one. ``directory`` must be
a path that the caller and every node can reach: a local disk on one machine, a shared file
system on a cluster.

Faults
------
Shard actors are created restartable (``max_restarts=-1`` unless ``actor_options`` says
otherwise). A restarted shard reloads the files of the last ``save`` or ``load`` of this index,
or starts empty if there was none: the changes since then are lost, and the actor warns so on
its standard error, which Ray shows on the driver's console. Reads in flight when a shard dies are retried; an add or removal in flight fails with
Ray's error.

Mutations (``add_with_ids``, ``remove_many``, ``save``) from one ``ShardedIndex`` object are
serialised by a lock; two ``ShardedIndex`` objects must not change the same shards at once. A
search that runs while a batch is being added may see part of the batch.
"""

from __future__ import annotations

import json
import operator
import os
import tempfile
import threading
import uuid
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import ray
except ImportError as error:  # pragma: no cover - exercised without Ray installed
    raise ImportError(
        'quilane.ray needs Ray, which is not installed: pip install "quilane[ray]"'
    ) from error

from quilane import IdMapIndex, PanicException
from quilane._shard_actor import READ_RETRIES, ShardActor, Source, gather

__all__ = ["MANIFEST", "ShardedIndex", "shard_of"]

MANIFEST = "manifest.json"
_FORMAT = "quilane-sharded"
_FORMAT_VERSION = 1
_HASH = "splitmix64-mod"

_GOLDEN_GAMMA = np.uint64(0x9E3779B97F4A7C15)
_MIX_1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX_2 = np.uint64(0x94D049BB133111EB)

# Ray's own limit for sending an argument inside the call message.
_INLINE_BYTES = 100 * 1024

def shard_of(ids: npt.NDArray[np.uint64], num_shards: int) -> npt.NDArray[np.intp]:
    """The shard that owns each id: ``splitmix64(id) mod num_shards``, elementwise."""
    if num_shards < 1:
        raise ValueError(f"num_shards must be at least 1, got {num_shards}")
    z = np.asarray(ids, dtype=np.uint64) + _GOLDEN_GAMMA
    z = (z ^ (z >> np.uint64(30))) * _MIX_1
    z = (z ^ (z >> np.uint64(27))) * _MIX_2
    z ^= z >> np.uint64(31)
    return (z % np.uint64(num_shards)).astype(np.intp)


# The checks below repeat those of IdMapIndex.add_with_ids, in its order and with its messages:
# a batch is split between shards, so it must be refused before any shard sees a part of it.
def _require_array(value: object, ndim: int, dtype: type[np.generic], name: str) -> None:
    if not (isinstance(value, np.ndarray) and value.ndim == ndim and value.dtype == dtype):
        raise TypeError(
            f"argument '{name}': '{type(value).__qualname__}' object cannot be cast as 'ndarray'"
        )


def _rows_contiguous(array: npt.NDArray[Any]) -> bool:
    rows, columns = array.shape
    if rows == 0 or columns == 0:
        return True
    item = array.itemsize
    return (columns == 1 or array.strides[1] == item) and (
        rows == 1 or array.strides[0] == columns * item
    )


def _elements_contiguous(array: npt.NDArray[Any]) -> bool:
    return array.shape[0] < 2 or array.strides[0] == array.itemsize


def _assertion_failure(left: int, right: int, message: str) -> PanicException:
    return PanicException(
        f"assertion `left == right` failed: {message}\n  left: {left}\n right: {right}"
    )


def _checked_ids(ids: object) -> npt.NDArray[np.uint64]:
    _require_array(ids, 1, np.uint64, "ids")
    assert isinstance(ids, np.ndarray)
    if not _elements_contiguous(ids):
        raise ValueError("ids must be C-contiguous")
    return ids


def _checked_batch(
    vectors: object, ids: object, dim: int
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
    """The batch as ``(count, dim)`` rows and its ids, or the error a single index raises."""
    _require_array(vectors, 2, np.float32, "vectors")
    _require_array(ids, 1, np.uint64, "ids")
    assert isinstance(vectors, np.ndarray) and isinstance(ids, np.ndarray)
    if not _rows_contiguous(vectors):
        raise ValueError("vectors must be C-contiguous")
    if not _elements_contiguous(ids):
        raise ValueError("ids must be C-contiguous")
    length = vectors.size
    count = length // dim
    if count * dim != length:
        raise _assertion_failure(length, count * dim, "vector buffer not a multiple of dim")
    if ids.size != count:
        raise _assertion_failure(ids.size, count, f"expected {count} ids, got {ids.size}")
    return vectors.reshape(count, dim), ids


def _repeated(ids: npt.NDArray[np.uint64]) -> npt.NDArray[np.bool_]:
    """True where an id equals an earlier one of the same batch."""
    order = np.argsort(ids, kind="stable")
    ordered = ids[order]
    repeated = np.zeros(len(ids), dtype=bool)
    repeated[order[1:][ordered[1:] == ordered[:-1]]] = True
    return repeated


def _merge(
    parts: Sequence[tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]], k: int
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
    """The best k of the shards' answers per row: higher score first, NaN last, equal scores by
    ascending id."""
    scores = np.concatenate([part[0] for part in parts], axis=1)
    ids = np.concatenate([part[1] for part in parts], axis=1)
    # lexsort sorts by its last key first.
    order = np.lexsort((ids, -scores, np.isnan(scores)), axis=-1)[:, :k]
    return np.take_along_axis(scores, order, axis=1), np.take_along_axis(ids, order, axis=1)


def _write_atomically(path: str, text: str) -> None:
    directory = os.path.dirname(path)
    handle, temporary = tempfile.mkstemp(prefix=".manifest-", dir=directory)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    directory_handle = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(directory_handle)
    finally:
        os.close(directory_handle)


def _read_manifest(directory: str) -> dict[str, Any]:
    path = os.path.join(directory, MANIFEST)
    with open(path, encoding="utf-8") as file:
        try:
            manifest = json.load(file)
        except json.JSONDecodeError as error:
            raise OSError(f"{path}: not a sharded index manifest ({error})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise OSError(f"{path}: not a sharded index manifest")
    if manifest.get("version") != _FORMAT_VERSION:
        raise OSError(f"{path}: unsupported manifest version {manifest.get('version')!r}")
    if manifest.get("hash") != _HASH:
        raise OSError(f"{path}: unknown shard hash {manifest.get('hash')!r}")
    shards = manifest.get("shards")
    count = manifest.get("num_shards")
    if (
        not isinstance(count, int) or count < 1 or not isinstance(shards, list)
        or len(shards) != count
        or not all(isinstance(name, str) and os.path.basename(name) == name for name in shards)
    ):
        raise OSError(f"{path}: the shard list does not match num_shards")
    try:
        IdMapIndex(manifest["dim"], manifest["bits"], manifest["rotation"])
    except (KeyError, TypeError, ValueError, OverflowError, PanicException) as error:
        raise OSError(f"{path}: invalid index parameters ({error})") from None
    return manifest


class ShardedIndex:
    """An ``IdMapIndex`` spread over ``num_shards`` Ray actors; see the module documentation.

    ``ShardedIndex(dim, bits, rotation="rotor3", *, num_shards, actor_options=None)``

    Args:
        dim, bits, rotation: As for ``IdMapIndex``, with the same errors.
        num_shards: Number of shards, each one actor holding one ``IdMapIndex``.
        actor_options: Passed to Ray's ``.options()`` for every shard actor (``num_cpus``,
            ``memory``, ``resources``, ``scheduling_strategy``, ...). By default the actors are
            spread over the nodes (``scheduling_strategy="SPREAD"``) and restart without limit.

    Needs a running Ray (``ray.init()``); the actors end with ``shutdown()`` or when the last
    reference to this object goes.
    """

    def __init__(
        self,
        dim: int,
        bits: int,
        rotation: str = "rotor3",
        *,
        num_shards: int,
        actor_options: Mapping[str, Any] | None = None,
    ) -> None:
        self._start(dim, bits, rotation, num_shards, actor_options, sources=None)

    def _start(
        self,
        dim: int,
        bits: int,
        rotation: str,
        num_shards: int,
        actor_options: Mapping[str, Any] | None,
        sources: list[Source] | None,
    ) -> None:
        # An empty index of the same parameters: it validates them, and checks every argument
        # of a search exactly as a single index does.
        self._template = IdMapIndex(dim, bits, rotation)
        count = operator.index(num_shards)
        if count < 1:
            raise ValueError(f"num_shards must be at least 1, got {count}")
        self._sources: list[Source] = sources or [None] * count
        self._lock = threading.Lock()
        self._actors = self._start_actors(count, actor_options)
        try:
            # Waits until every shard has its index; a load reads the shard files here.
            self._call_all("open", [()] * count)
        except BaseException:
            self.shutdown()
            raise

    def _start_actors(self, count: int, actor_options: Mapping[str, Any] | None) -> list[Any]:
        options: dict[str, Any] = {"max_restarts": -1, "scheduling_strategy": "SPREAD"}
        options.update(actor_options or {})
        parameters = (self.dim, self.bits, self.rotation)
        return [ShardActor.options(**options).remote(*parameters) for _ in range(count)]

    @classmethod
    def load(cls, directory: str, *, actor_options: Mapping[str, Any] | None = None) -> ShardedIndex:
        """Start the actors of an index saved by ``save``; they load their shards in parallel.

        Raises:
            OSError: The manifest or a shard file is missing, unreadable or invalid, or a shard
                does not have the manifest's parameters.
        """
        directory = os.path.abspath(directory)
        manifest = _read_manifest(directory)
        index = cls.__new__(cls)
        index._start(
            manifest["dim"],
            manifest["bits"],
            manifest["rotation"],
            manifest["num_shards"],
            actor_options,
            sources=[os.path.join(directory, name) for name in manifest["shards"]],
        )
        return index

    @property
    def dim(self) -> int:
        return self._template.dim

    @property
    def bits(self) -> int:
        return self._template.bits

    @property
    def rotation(self) -> str:
        return self._template.rotation

    @property
    def num_shards(self) -> int:
        return len(self._sources)

    @property
    def shard_actors(self) -> list[Any]:
        """The actor handle of each shard, in shard order."""
        return list(self._actors)

    def __repr__(self) -> str:
        return (
            f"ShardedIndex(dim={self.dim}, bits={self.bits}, rotation={self.rotation!r}, "
            f"num_shards={self.num_shards})"
        )

    def _actor(self, shard: int) -> Any:
        if not self._actors:
            raise RuntimeError("this ShardedIndex was shut down")
        return self._actors[shard]

    def _call(self, shard: int, method: str, *args: Any) -> Any:
        return getattr(self._actor(shard), method).remote(self._sources[shard], *args)

    def _call_all(self, method: str, arguments: Sequence[tuple[Any, ...]]) -> list[Any]:
        refs = [self._call(shard, method, *args) for shard, args in enumerate(arguments)]
        return gather(refs)

    def _split(self, ids: npt.NDArray[np.uint64]) -> list[npt.NDArray[np.intp]]:
        owner = shard_of(ids, self.num_shards)
        return [np.flatnonzero(owner == shard) for shard in range(self.num_shards)]

    def add_with_ids(self, vectors: npt.NDArray[np.float32], ids: npt.NDArray[np.uint64]) -> None:
        """Add a batch; row ``i`` gets ``ids[i]`` and goes to the shard ``shard_of`` names.

        All or nothing across shards: an id already stored or repeated in the batch is refused
        with the single index's message (the first such id in batch order) before any shard
        stores anything.

        Raises:
            TypeError, ValueError, PanicException: As ``IdMapIndex.add_with_ids``.
        """
        rows, ids = _checked_batch(vectors, ids, self.dim)
        if len(ids) == 0:
            return
        with self._lock:
            parts = self._split(ids)
            refused = _repeated(ids)
            present = self._call_all("present", [(ids[part],) for part in parts])
            for part, found in zip(parts, present):
                refused[part] |= found
            if refused.any():
                first = ids[int(np.argmax(refused))]
                raise PanicException(f"id {first} already present in index")
            self._store(rows, ids, parts)

    def _store(
        self,
        rows: npt.NDArray[np.float32],
        ids: npt.NDArray[np.uint64],
        parts: list[npt.NDArray[np.intp]],
    ) -> None:
        busy = [shard for shard, part in enumerate(parts) if len(part) > 0]
        refs = [self._call(shard, "add", rows[parts[shard]], ids[parts[shard]]) for shard in busy]
        outcomes: list[BaseException | str | None] = []
        for ref in refs:
            try:
                outcomes.append(ray.get(ref))
            except BaseException as failure:  # noqa: BLE001 - undone below, then raised
                outcomes.append(failure)
        if all(outcome is None for outcome in outcomes):
            return
        # A shard refused or failed (another writer, a dead actor, memory): the shards that
        # stored their part take it out again, so the batch leaves no trace.
        stored = [shard for shard, outcome in zip(busy, outcomes) if outcome is None]
        gather([self._call(shard, "remove", ids[parts[shard]]) for shard in stored])
        for outcome in outcomes:
            if isinstance(outcome, str):
                raise PanicException(outcome)
            if isinstance(outcome, BaseException):
                raise outcome

    def remove_many(self, ids: npt.NDArray[np.uint64]) -> int:
        """Remove the vectors stored under ``ids``; the number of ids that were stored.

        Args:
            ids: A contiguous 1-D ``uint64`` array; ids not stored are skipped.

        Raises:
            TypeError: ``ids`` is not a 1-D ``uint64`` array.
            ValueError: ``ids`` is not contiguous.
        """
        ids = _checked_ids(ids)
        with self._lock:
            parts = self._split(ids)
            removed = self._call_all("remove", [(ids[part],) for part in parts])
        return int(sum(removed))

    def contains(self, id: int) -> bool:
        """Whether a vector is stored under ``id``; ``id in index`` is the same test.

        Raises:
            TypeError, OverflowError: As ``IdMapIndex.contains``.
        """
        self._template.contains(id)  # the single index's checks of the argument
        value = operator.index(id)
        shard = int(shard_of(np.array([value], dtype=np.uint64), self.num_shards)[0])
        return bool(gather([self._call(shard, "contains", value)])[0])

    def __contains__(self, id: int) -> bool:
        return self.contains(id)

    def __len__(self) -> int:
        return int(sum(self._call_all("length", [()] * self.num_shards)))

    def search(
        self, queries: npt.NDArray[np.float32], k: int
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
        """The ``k`` best stored vectors per query row, over every shard.

        Returns, raises and orders as ``IdMapIndex.search``, with equal scores by ascending id:
        ``(scores, ids)`` of shape ``(nq, k')``, ``k' = max(1, min(k, len(index)))``.
        """
        nothing = self._template.search(queries, k)
        if nothing[0].shape[0] == 0:
            return nothing
        if queries.shape[1] != self.dim:
            # A single index splits such a batch into rows of dim and answers them folded
            # into the given rows; per-shard answers folded that way cannot be merged.
            raise ValueError(f"queries have {queries.shape[1]} columns, the index dim {self.dim}")
        # Ray sends small arguments inside each call; a large batch goes to the object store
        # once, for every shard to read in place.
        shared = ray.put(queries) if queries.nbytes >= _INLINE_BYTES else queries
        replies = self._call_all("search", [(shared, operator.index(k))] * self.num_shards)
        stored = sum(reply[2] for reply in replies)
        # An empty shard answers a placeholder column; it must not compete with NaN scores.
        parts = [(reply[0], reply[1]) for reply in replies if reply[2] > 0]
        if not parts:
            return nothing
        return _merge(parts, max(1, min(operator.index(k), stored)))

    def save(self, directory: str) -> None:
        """Write every shard and then the manifest into ``directory`` (created if missing).

        A restarted shard reloads from the files of the last save (or load).

        Raises:
            OSError: A file cannot be written.
        """
        directory = os.path.abspath(directory)
        os.makedirs(directory, exist_ok=True)
        try:
            previous = _read_manifest(directory)["shards"]
        except OSError:
            previous = []
        tag = uuid.uuid4().hex[:12]
        names = [f"shard-{shard:05d}-{tag}.qlim" for shard in range(self.num_shards)]
        paths = [os.path.join(directory, name) for name in names]
        with self._lock:
            self._call_all("save", [(path,) for path in paths])
            manifest = {
                "format": _FORMAT,
                "version": _FORMAT_VERSION,
                "dim": self.dim,
                "bits": self.bits,
                "rotation": self.rotation,
                "num_shards": self.num_shards,
                "hash": _HASH,
                "shards": names,
            }
            _write_atomically(os.path.join(directory, MANIFEST), json.dumps(manifest, indent=2))
            self._sources = list(paths)
        for name in set(previous) - set(names):
            try:
                os.unlink(os.path.join(directory, name))
            except FileNotFoundError:
                pass

    def shutdown(self) -> None:
        """End the shard actors; the index answers nothing afterwards."""
        actors, self._actors = self._actors, []
        for actor in actors:
            ray.kill(actor, no_restart=True)
