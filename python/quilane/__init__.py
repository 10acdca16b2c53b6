"""quilane: a compressed vector index for NumPy ``float32`` vectors.

Each vector is stored as its Euclidean norm plus one 2-, 3- or 4-bit code per coordinate, taken
after a seeded random orthogonal transform, so an index of ``dim``-dimensional vectors needs
``bits * dim / 8 + 4`` bytes per vector instead of ``4 * dim``. A search scans every stored code
record and returns, for each query row, the ``k`` stored vectors with the largest estimated inner
product, best first. There is no training step: vectors can be added at any time, and an index
written to a file loads back and scores exactly like the one that was written.

Classes
-------
GyrelIndex(dim, bits, rotation="rotor3")
    Vectors addressed by their position ``0 .. len(index) - 1``. ``add`` appends a batch,
    ``search`` returns ``(scores, indices)``, ``swap_remove`` deletes one vector in constant time
    by moving the last vector into its place.
IdMapIndex(dim, bits, rotation="rotor3")
    Vectors addressed by caller-chosen ``uint64`` ids that stay valid across removals.
    ``add_with_ids``, ``remove``, ``contains`` (and ``id in index``), and ``search`` returning
    ``(scores, ids)``.
rerank(queries, candidates, vectors, k)
    Re-scores the candidates of a search by exact ``float32`` inner products with the original
    vectors and keeps the best ``k``: ask the index for about ``4 * k``, then re-rank to ``k``.
PanicException
    Raised when an engine precondition fails (a bad ``bits`` or ``dim``, a batch whose size is
    not a multiple of ``dim``, a duplicate id, a position out of range). It derives from
    ``BaseException``, not ``Exception``: catch it by name.

Arguments
---------
Arrays must be NumPy arrays of exactly the right type and layout; nothing is converted or
copied. ``vectors`` and ``queries`` are 2-D ``float32`` arrays of shape ``(n, dim)`` in C order,
``ids`` a 1-D contiguous ``uint64`` array. A wrong type or dtype raises ``TypeError``, a
non-contiguous array ``ValueError``, a negative integer ``OverflowError``. Paths are ``str``
(convert a ``pathlib.Path`` with ``str()``); file failures raise ``OSError``.

Every call holds the interpreter lock for its whole duration, including the search, which itself
runs in parallel over the query rows on all processors. ``search``, ``add``, ``add_with_ids``,
``write``, ``load`` and ``prepare`` take a keyword-only ``release_gil=False``: with ``True`` the
engine works with the lock released, so that other Python threads run meanwhile, and the result is
the same; arrays passed in must not be changed by other threads until the call returns. A call
that needs an index another thread is using waits for it. ``set_num_threads(n)`` bounds the
threads of every later call (``get_num_threads()`` reads it back; the environment variable
``QUILANE_NUM_THREADS`` sets it at first use). Ctrl-C stops a long search or add with
``KeyboardInterrupt``; an interrupted add stores nothing.

Files from elsewhere
--------------------
read_header(path) and read_header_bytes(data)
    The header of an index file (or of its bytes) as an ``IndexHeader``: magic, version, bits,
    rotation, dim and n, checked as ``load`` checks it, without reading the vectors. A file's
    ``dim`` decides what its first search costs (about 12 bytes per coordinate for the
    transform), so a service can refuse a file before it pays for it.

Typed signatures and per-method documentation are in this package's stubs (``__init__.pyi``),
which editors and type checkers read.
"""

from typing import NamedTuple

from _quilane import GyrelIndex, IdMapIndex, __version__, rerank
from _quilane import _PanicException as PanicException
from _quilane import _read_header
from _quilane import get_num_threads, set_num_threads


class IndexHeader(NamedTuple):
    """The header of an index file. ``magic`` is ``"QLIX"`` (``GyrelIndex``) or ``"QLIM"``
    (``IdMapIndex``); ``rotation`` is the canonical keyword."""

    magic: str
    version: int
    bits: int
    rotation: str
    dim: int
    n: int


def read_header(path: str) -> IndexHeader:
    """The header of the index file at ``path``, checked as ``load`` checks it; reads 15 bytes."""
    if not isinstance(path, str):
        given = type(path).__qualname__
        raise TypeError(f"argument 'path': '{given}' object cannot be cast as 'str'")
    return IndexHeader(*_read_header(path))


def read_header_bytes(data: bytes | bytearray | memoryview) -> IndexHeader:
    """The header of an index file held in memory (the whole file, as ``write`` stores it)."""
    return IndexHeader(*_read_header(data if type(data) is bytes else bytes(memoryview(data))))


__all__ = [
    "GyrelIndex", "IdMapIndex", "IndexHeader", "PanicException", "__version__",
    "get_num_threads", "read_header", "read_header_bytes", "rerank", "set_num_threads",
]
