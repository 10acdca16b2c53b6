"""quilane: a compressed vector index for NumPy ``float32`` vectors.

See the package docstring (``help(quilane)``) for an overview.
"""

from typing import Any, Final, NamedTuple

import numpy as np
import numpy.typing as npt

__all__ = [
    "GyrelIndex", "IdMapIndex", "IndexHeader", "PanicException", "__version__",
    "get_num_threads", "read_header", "read_header_bytes", "rerank", "set_num_threads",
]

__version__: Final[str]

def set_num_threads(n: int) -> None:
    """Use at most ``n`` threads in every later call, a single query's search included.

    Until it is called, the environment variable ``QUILANE_NUM_THREADS`` (read at first use)
    gives the number; without it every processor the process may run on is used.

    Raises:
        ValueError: ``n`` is less than 1.
        TypeError: ``n`` is not an integer.
    """

def get_num_threads() -> int:
    """The most threads a call uses: the last ``set_num_threads``, else the default."""

class PanicException(BaseException):
    """Raised when a precondition of the index engine fails.

    Examples: ``bits`` other than 2, 3 or 4; ``dim`` not a positive multiple of 8; a batch whose
    number of values is not a multiple of ``dim``; an id given twice; a position out of range.
    The message says which. The index is unchanged and stays usable. Like ``SystemExit`` it
    derives from ``BaseException``, so ``except Exception`` does not catch it.
    """

class GyrelIndex:
    """Compressed vectors addressed by position ``0 .. len(index) - 1``.

    ``GyrelIndex(dim, bits, rotation="rotor3")``

    Args:
        dim: Coordinates per vector, a positive multiple of 8. ``walshrotor3`` also needs a power
            of two.
        bits: Bits per coordinate code: 2, 3 or 4. Each vector takes ``bits * dim / 8 + 4``
            bytes; more bits give more accurate scores.
        rotation: The seeded orthogonal transform applied before quantisation: ``"planar2"``,
            ``"rotor3"`` (the default), ``"iso4"`` or ``"walshrotor3"``, in any letter case;
            the aliases ``planar``, ``givens``, ``rotor``, ``clifford``, ``iso``,
            ``quaternion``, ``walsh``, ``walsh-rotor3`` and ``rotor3+walsh`` are accepted too.

    Raises:
        TypeError: ``dim`` or ``bits`` is not an integer, or ``rotation`` is not a ``str``.
        OverflowError: ``dim`` or ``bits`` is negative or does not fit 64 bits.
        ValueError: ``rotation`` is not a known keyword.
        PanicException: ``bits`` is not 2, 3 or 4, ``dim`` is not a positive multiple of 8, or
            ``walshrotor3`` is asked for with a ``dim`` that is not a power of two.
    """

    def __new__(cls, dim: int, bits: int, rotation: str = "rotor3") -> GyrelIndex: ...
    def add(self, vectors: npt.NDArray[np.float32], *, release_gil: bool = False) -> None:
        """Append a batch of vectors; the first gets position ``len(index)``.

        Args:
            vectors: A C-contiguous 2-D ``float32`` array of shape ``(n, dim)``. An array with
                no rows adds nothing.
            release_gil: Encode with the interpreter lock released, so that other Python
                threads run meanwhile; ``vectors`` must not change until the call returns.

        Raises:
            TypeError: ``vectors`` is not a 2-D ``float32`` NumPy array.
            ValueError: ``vectors`` is not C-contiguous (use ``np.ascontiguousarray``).
            PanicException: The number of values is not a multiple of ``dim``. Nothing is
                stored.
        """
    def search(
        self,
        queries: npt.NDArray[np.float32],
        k: int,
        *,
        allow: npt.NDArray[np.bool_] | npt.NDArray[np.integer[Any]] | None = None,
        release_gil: bool = False,
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
        """The ``k`` stored vectors with the largest estimated inner product, per query row.

        Args:
            queries: A C-contiguous 2-D ``float32`` array of shape ``(nq, dim)``. Queries are
                not normalised: normalise them yourself for cosine similarity.
            k: Results per query.
            allow: Search only some stored vectors: a boolean mask of ``len(index)`` entries or
                a 1-D integer array of positions (repeats are harmless). The result is that of
                an index holding only those vectors in position order, reported with their
                positions here, and ``k' = max(1, min(k, number allowed))``; nothing allowed
                gives the empty index's column of ``-inf`` and ``-1``. The filter works inside
                the scan, which skips blocks of 16 vectors with nothing allowed.
            release_gil: Scan with the interpreter lock released, so that other Python threads
                run meanwhile (the results are the same); ``queries`` must not change until the
                call returns.

        Returns:
            ``(scores, indices)``, two arrays of shape ``(nq, k')`` with
            ``k' = max(1, min(k, len(index)))``: ``float32`` scores in descending order per row
            and the ``int64`` positions they belong to. An empty index gives one column of score
            ``-inf`` and position ``-1``; ``nq == 0`` gives shape ``(0, k')``. Both arrays are new
            and writeable.

        Raises:
            TypeError: ``queries`` is not a 2-D ``float32`` NumPy array, or ``k`` is not an
                integer.
            OverflowError: ``k`` is negative.
            ValueError: ``queries`` is not C-contiguous, or its number of columns is not ``dim``
                (with a total size that is a multiple of ``dim``); ``allow`` has the wrong
                dtype, dimensions or length, or names a position out of range.
            PanicException: The number of values in ``queries`` is not a multiple of ``dim``.
        """
    def write(self, path: str, *, release_gil: bool = False) -> None:
        """Save the index to a file (format ``QLIX``).

        An existing regular file at ``path`` is replaced atomically: a reader sees either the
        old file or the complete new one.

        Args:
            path: File name, a ``str``.

        Raises:
            TypeError: ``path`` is not a ``str``.
            OSError: The file cannot be written (the message carries the system's reason), or
                the index holds more than 2**32 - 1 vectors.
        """
    @classmethod
    def load(cls, path: str, *, release_gil: bool = False) -> GyrelIndex:
        """Read an index saved by ``GyrelIndex.write``.

        The loaded index has the same parameters, vectors and transform, and returns exactly the
        same search results as the one that was written.

        Args:
            path: File name, a ``str``.

        Returns:
            A new, independent ``GyrelIndex``.

        Raises:
            TypeError: ``path`` is not a ``str``.
            OSError: The file cannot be read, is cut short ("failed to fill whole buffer"), or
                is not a valid ``QLIX`` file (for example an ``IdMapIndex`` file).
        """
    def prepare(self, *, release_gil: bool = False) -> None:
        """Build the rotation matrices and the codebook now rather than on first use.

        Optional: lets a server pay this one-time cost at start-up instead of in its first
        ``search``. Calling it again does nothing.
        """
    def swap_remove(self, idx: int) -> int:
        """Remove the vector at position ``idx`` in constant time.

        The last vector moves into the hole, so positions are not stable across removals: the
        vector that was at position ``len(index) - 1`` is now at ``idx``.

        Args:
            idx: Position of the vector to remove.

        Returns:
            The position the moved vector had before the call, ``len(index) - 1`` as it was
            before the call (also when ``idx`` was that last position and nothing moved).

        Raises:
            TypeError: ``idx`` is not an integer.
            OverflowError: ``idx`` is negative.
            PanicException: ``idx >= len(index)``. Nothing changes.
        """
    def reconstruct(self, positions: npt.NDArray[np.integer[Any]]) -> npt.NDArray[np.float32]:
        """The vectors the index scores against, at these positions.

        Each row is the centroids of the stored codes, transformed back and scaled by the
        stored norm: its inner product with a query is the search score, up to float rounding.
        It approximates the vector that was added; it is not that vector.

        Args:
            positions: A 1-D integer array of positions (any integer dtype).

        Returns:
            A new ``float32`` array of shape ``(len(positions), dim)``.

        Raises:
            TypeError: ``positions`` is not a NumPy array.
            ValueError: It is not 1-D, not of an integer dtype, or names a position out of
                range.
        """
    def to_bytes(self, *, release_gil: bool = False) -> bytes:
        """The bytes ``write`` would store in a file (format ``QLIX``), made with one copy;
        ``release_gil`` as for ``search``."""
    @classmethod
    def from_bytes(
        cls,
        data: bytes | bytearray | memoryview | npt.NDArray[Any],
        *,
        release_gil: bool = False,
    ) -> GyrelIndex:
        """An index from the bytes of a ``QLIX`` file, checked as ``load`` checks a file.

        The index pickles (protocol 2 and later, and cloudpickle) and copies (``copy.copy`` and
        ``copy.deepcopy`` give independent indexes) through these bytes.

        Args:
            data: Any bytes-like object, read in place.

        Raises:
            TypeError: ``data`` is not bytes-like.
            OSError: As ``load``: cut short ("failed to fill whole buffer"), wrong magic or
                version, invalid parameters.
        """
    @property
    def dim(self) -> int:
        """Coordinates per vector."""
    @property
    def bits(self) -> int:
        """Bits per coordinate code: 2, 3 or 4."""
    @property
    def rotation(self) -> str:
        """Canonical transform keyword: ``planar2``, ``rotor3``, ``iso4`` or ``walshrotor3``."""
    def __len__(self) -> int:
        """Number of stored vectors."""

class IdMapIndex:
    """Compressed vectors addressed by caller-chosen ``uint64`` ids.

    ``IdMapIndex(dim, bits, rotation="rotor3")``

    Ids stay valid for as long as their vector is stored; every value from 0 to 2**64 - 1 is a
    valid id. The arguments and their errors are those of ``GyrelIndex``.

    Args:
        dim: Coordinates per vector, a positive multiple of 8.
        bits: Bits per coordinate code: 2, 3 or 4.
        rotation: Transform keyword, as for ``GyrelIndex``.

    Raises:
        TypeError, OverflowError, ValueError, PanicException: As for ``GyrelIndex``.
    """

    def __new__(cls, dim: int, bits: int, rotation: str = "rotor3") -> IdMapIndex: ...
    def add_with_ids(
        self,
        vectors: npt.NDArray[np.float32],
        ids: npt.NDArray[np.uint64],
        *,
        release_gil: bool = False,
    ) -> None:
        """Add a batch of vectors; vector ``i`` gets the id ``ids[i]``.

        The batch is stored whole or not at all.

        Args:
            vectors: A C-contiguous 2-D ``float32`` array of shape ``(n, dim)``.
            ids: A contiguous 1-D ``uint64`` array of ``n`` ids, none of them stored already
                and none repeated.

        Raises:
            TypeError: ``vectors`` is not a 2-D ``float32`` array, or ``ids`` is not a 1-D
                ``uint64`` array (``int64`` ids must be converted with ``.astype(np.uint64)``).
            ValueError: ``vectors`` or ``ids`` is not contiguous.
            PanicException: The number of values is not a multiple of ``dim``, the number of
                ids differs from the number of vectors, or an id is already stored or repeated
                in ``ids``. Nothing is stored.
        """
    def remove(self, id: int) -> bool:
        """Remove the vector stored under ``id``, in constant time.

        Args:
            id: The id to remove.

        Returns:
            ``True`` if the id was stored and is now removed, ``False`` if it was not stored.

        Raises:
            TypeError: ``id`` is not an integer.
            OverflowError: ``id`` is negative or does not fit 64 bits.
        """
    def search(
        self,
        queries: npt.NDArray[np.float32],
        k: int,
        *,
        allow: npt.NDArray[np.uint64] | None = None,
        release_gil: bool = False,
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
        """The ``k`` stored vectors with the largest estimated inner product, per query row.

        Args:
            queries: A C-contiguous 2-D ``float32`` array of shape ``(nq, dim)``.
            k: Results per query.
            allow: Search only the vectors of these ids, a 1-D ``uint64`` array; ids that are
                not stored are ignored. As for ``GyrelIndex.search``, the result is that of an
                index holding only those vectors; nothing allowed gives ``-inf`` and
                ``2**64 - 1``.

        Returns:
            ``(scores, ids)``, two arrays of shape ``(nq, k')`` with
            ``k' = max(1, min(k, len(index)))``: ``float32`` scores in descending order per row
            and the ``uint64`` ids they belong to. An empty index gives one column of score
            ``-inf`` and id ``2**64 - 1``; ``nq == 0`` gives shape ``(0, k)``, with the ``k``
            asked for (unlike ``GyrelIndex.search``).

        Raises:
            TypeError, OverflowError, ValueError, PanicException: As for ``GyrelIndex.search``;
                ``ValueError`` also for an ``allow`` that is not a 1-D ``uint64`` array.
        """
    def ids(self) -> npt.NDArray[np.uint64]:
        """The stored ids as a new ``uint64`` array, in position order."""
    def remove_many(self, ids: npt.NDArray[np.uint64]) -> int:
        """Remove the stored ids of a 1-D ``uint64`` array, in array order.

        The index ends exactly as calling ``remove`` for each id in turn would leave it (byte
        for byte); ids not stored, and repeats, are skipped.

        Returns:
            How many ids were stored and are now removed.

        Raises:
            TypeError: ``ids`` is not a 1-D ``uint64`` array.
            ValueError: ``ids`` is not contiguous.
        """
    def reconstruct(self, ids: npt.NDArray[np.uint64]) -> npt.NDArray[np.float32]:
        """The vectors the index scores against for these ids, as ``GyrelIndex.reconstruct``.

        Raises:
            TypeError: ``ids`` is not a 1-D ``uint64`` array.
            ValueError: ``ids`` is not contiguous, or an id is not stored.
        """
    def to_bytes(self, *, release_gil: bool = False) -> bytes:
        """The bytes ``write`` would store in a file (format ``QLIM``), made with one copy;
        ``release_gil`` as for ``search``."""
    @classmethod
    def from_bytes(
        cls,
        data: bytes | bytearray | memoryview | npt.NDArray[Any],
        *,
        release_gil: bool = False,
    ) -> IdMapIndex:
        """An index from the bytes of a ``QLIM`` file, checked as ``load`` checks a file;
        pickling and copies go through these bytes."""
    def contains(self, id: int) -> bool:
        """Whether a vector is stored under ``id``; ``id in index`` is the same test.

        Raises:
            TypeError: ``id`` is not an integer.
            OverflowError: ``id`` is negative or does not fit 64 bits.
        """
    def prepare(self, *, release_gil: bool = False) -> None:
        """Build the rotation matrices and the codebook now rather than on first use."""
    def write(self, path: str, *, release_gil: bool = False) -> None:
        """Save the index and its ids to a file (format ``QLIM``), replacing a regular file
        atomically.

        Raises:
            TypeError: ``path`` is not a ``str``.
            OSError: The file cannot be written, or the index holds more than 2**32 - 1 vectors.
        """
    @classmethod
    def load(cls, path: str, *, release_gil: bool = False) -> IdMapIndex:
        """Read an index saved by ``IdMapIndex.write``; it returns the same ids and scores.

        Raises:
            TypeError: ``path`` is not a ``str``.
            OSError: The file cannot be read, is cut short, is not a valid ``QLIM`` file, or
                stores an id twice.
        """
    @property
    def dim(self) -> int:
        """Coordinates per vector."""
    @property
    def bits(self) -> int:
        """Bits per coordinate code: 2, 3 or 4."""
    @property
    def rotation(self) -> str:
        """Canonical transform keyword: ``planar2``, ``rotor3``, ``iso4`` or ``walshrotor3``."""
    def __len__(self) -> int:
        """Number of stored ids."""
    def __contains__(self, id: int) -> bool:
        """Whether a vector is stored under ``id``. A non-integer raises ``TypeError`` and a
        negative integer ``OverflowError``; neither answers ``False``."""

class IndexHeader(NamedTuple):
    """The header of an index file, as ``read_header`` returns it."""

    magic: str
    """``"QLIX"`` (written by ``GyrelIndex``) or ``"QLIM"`` (written by ``IdMapIndex``)."""
    version: int
    """The format version, 2."""
    bits: int
    """Bits per coordinate code: 2, 3 or 4."""
    rotation: str
    """Canonical transform keyword: ``planar2``, ``rotor3``, ``iso4`` or ``walshrotor3``."""
    dim: int
    """Coordinates per vector. The first search (or ``prepare``) of the loaded index builds a
    transform of about 12 bytes per coordinate: refuse a ``dim`` you will not pay for."""
    n: int
    """Number of stored vectors."""

def read_header(path: str) -> IndexHeader:
    """Read and check the header of the index file at ``path`` without loading it.

    The checks are those of ``load`` that need no more than the header: the magic (either
    format), the version, ``bits``, the rotation tag, ``dim`` and, for a regular file, that the
    file is long enough for the ``n`` vectors it declares. Only 15 bytes are read, however large
    the file; the ids of a ``QLIM`` file are not read, so a repeated id is found by ``load`` only.

    Raises:
        TypeError: ``path`` is not a ``str``.
        OSError: The file cannot be read or is refused, with the message ``load`` gives, except
            that a wrong magic reads "not a QLIX or QLIM file: wrong magic".
    """

def read_header_bytes(data: bytes | bytearray | memoryview) -> IndexHeader:
    """``read_header`` for a whole index file held in memory (a ``bytes``-like object of any
    shape, read as its raw bytes); the length check uses ``len`` of those bytes.

    Raises:
        TypeError: ``data`` does not support the buffer protocol.
        OSError: As ``read_header``.
    """

def rerank(
    queries: npt.NDArray[np.float32],
    candidates: npt.NDArray[np.int64] | npt.NDArray[np.uint64],
    vectors: npt.NDArray[np.float32],
    k: int,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64] | npt.NDArray[np.uint64]]:
    """Re-score each query's candidates by exact ``float32`` inner products and keep the best k.

    The recipe for higher recall: ask an index for about ``4 * k`` results, then
    ``rerank(queries, found, vectors, k)`` with the original vectors (for an ``IdMapIndex``, ids
    that are row numbers of ``vectors``).

    Args:
        queries: A C-contiguous 2-D ``float32`` array of shape ``(nq, dim)``.
        candidates: A C-contiguous 2-D array of shape ``(nq, c)``: the ``int64`` positions or
            ``uint64`` ids a search returned, used as row numbers of ``vectors``. Slots holding
            -1 or 2**64 - 1 are ignored; a candidate repeated in a row counts once.
        vectors: A C-contiguous 2-D ``float32`` array of shape ``(n, dim)``.
        k: Results per query.

    Returns:
        ``(scores, candidates)`` of shape ``(nq, k')`` with ``k' = max(1, min(k, c))``, the
        candidates of the dtype given, best first; equal scores by the lower candidate, NaN last.
        A row with fewer than ``k'`` distinct candidates is filled with ``-inf`` and -1 (or
        2**64 - 1), as an empty index fills its rows. Each score sums the products in one fixed
        order, so it is the same on every processor.

    Raises:
        TypeError: An array of the wrong type, dtype or dimensions, or ``k`` not an integer.
        OverflowError: ``k`` is negative.
        ValueError: An array that is not C-contiguous, shapes that do not agree, or a candidate
            that is neither empty nor a row of ``vectors``.
    """
