"""The index as a value: bytes, pickles and copies; ids out and batch removal; filtered search;
reconstruction; exact re-ranking; and the notes that say what to do."""

import copy
import os
import pathlib
import pickle
import re

import numpy as np
import pytest

import _quilane
import quilane
from helpers import PanicException

DIM = 16
NO_ID = 2**64 - 1
KINDS = ["planar2", "rotor3", "iso4", "walshrotor3"]


def filled(cls, n, bits=4, rotation="rotor3", seed=0):
    vectors = np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)
    index = cls(DIM, bits, rotation)
    if cls is _quilane.GyrelIndex:
        index.add(vectors)
    else:
        index.add_with_ids(vectors, np.arange(n, dtype=np.uint64) * 7 + 3)
    return index, vectors


def same_results(a, b, queries, k=10, **options):
    for left, right in zip(a.search(queries, k, **options), b.search(queries, k, **options), strict=True):
        np.testing.assert_array_equal(left, right)


def message(info):
    """The exception's own text, without the notes that pytest's match also reads."""
    return str(info.value)


# --- Bytes, pickles, copies ---

@pytest.mark.parametrize("cls", [_quilane.GyrelIndex, _quilane.IdMapIndex])
@pytest.mark.parametrize("rotation", KINDS)
@pytest.mark.parametrize("bits", [2, 3, 4])
def test_bytes_are_the_file_and_load_back(cls, rotation, bits, tmp_path):
    index, vectors = filled(cls, 37, bits, rotation)
    index.write(str(tmp_path / "f"))
    data = index.to_bytes()
    assert type(data) is bytes and data == (tmp_path / "f").read_bytes()
    for view in (data, bytearray(data), memoryview(data), np.frombuffer(data, np.uint8)):
        loaded = cls.from_bytes(view)
        assert type(loaded) is cls and loaded.to_bytes() == data
        same_results(loaded, index, vectors[:5])
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        same_results(pickle.loads(pickle.dumps(index, protocol)), index, vectors[:5])


def test_empty_indexes_round_trip():
    for cls in (_quilane.GyrelIndex, _quilane.IdMapIndex):
        index = cls(24, 2, "iso4")
        clone = pickle.loads(pickle.dumps(index))
        assert repr(clone) == repr(index) and clone.to_bytes() == index.to_bytes()


def test_cloudpickle_round_trip():
    cloudpickle = pytest.importorskip("cloudpickle")
    for cls in (_quilane.GyrelIndex, _quilane.IdMapIndex):
        index, vectors = filled(cls, 20)
        same_results(pickle.loads(cloudpickle.dumps(index)), index, vectors)


def test_from_bytes_refuses_what_load_refuses(tmp_path):
    index, _ = filled(_quilane.IdMapIndex, 9)
    data = index.to_bytes()
    path = str(tmp_path / "cut")
    for cut in (0, 3, 5, 14, len(data) - 1):
        pathlib.Path(path).write_bytes(data[:cut])
        with pytest.raises(OSError) as loading:
            _quilane.IdMapIndex.load(path)
        with pytest.raises(OSError) as parsing:
            _quilane.IdMapIndex.from_bytes(data[:cut])
        assert message(parsing) == message(loading)
    with pytest.raises(OSError, match="^failed to fill whole buffer$"):
        _quilane.IdMapIndex.from_bytes(data[:-1])
    with pytest.raises(OSError, match="^not a QLIX file: wrong magic$"):
        _quilane.GyrelIndex.from_bytes(data)
    with pytest.raises(TypeError, match="^argument 'data': "):
        _quilane.GyrelIndex.from_bytes("QLIX")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'data'"):
        _quilane.GyrelIndex.from_bytes()


def test_copies_are_independent():
    for cls in (_quilane.GyrelIndex, _quilane.IdMapIndex):
        index, vectors = filled(cls, 30)
        for clone in (copy.copy(index), copy.deepcopy(index)):
            same_results(clone, index, vectors)
            before = index.to_bytes()
            if cls is _quilane.GyrelIndex:
                clone.swap_remove(0)
                clone.add(vectors[:2])
            else:
                clone.remove(3)
                clone.add_with_ids(vectors[:1], np.array([1], dtype=np.uint64))
                assert 1 not in index and 3 in index
            assert index.to_bytes() == before and len(clone) != len(index) or cls is _quilane.IdMapIndex


# --- Ids and batch removal ---

def test_ids_are_a_new_array_in_position_order(id_index):
    ids = id_index.ids()
    assert ids.dtype == np.uint64 and ids.shape == (50,)
    np.testing.assert_array_equal(ids, np.arange(100, 150, dtype=np.uint64))
    ids[0] = 7
    assert id_index.ids()[0] == 100
    id_index.remove(100)
    assert id_index.ids()[0] == 149 and len(id_index.ids()) == 49
    assert _quilane.IdMapIndex(8, 2).ids().shape == (0,)


def test_remove_many_is_remove_one_by_one(id_index):
    batch = np.array([120, 999, 149, 100, 120, 101, 2**64 - 1, 148], dtype=np.uint64)
    one_by_one = copy.deepcopy(id_index)
    removed = sum(one_by_one.remove(int(i)) for i in batch)
    assert id_index.remove_many(batch) == removed == 5
    assert id_index.to_bytes() == one_by_one.to_bytes()
    assert id_index.remove_many(np.array([], dtype=np.uint64)) == 0
    with pytest.raises(TypeError, match="^argument 'ids': 'ndarray' object cannot be cast as 'ndarray'"):
        id_index.remove_many(np.array([101]))
    with pytest.raises(ValueError, match="^ids must be C-contiguous$"):
        id_index.remove_many(np.arange(10, dtype=np.uint64)[::2])


# --- Filtered search ---

def sub_index(cls, vectors, keep, ids=None):
    """An index holding only the kept vectors, in their position order."""
    index = cls(DIM, 4)
    if ids is None:
        index.add(np.ascontiguousarray(vectors[keep]))
    else:
        index.add_with_ids(np.ascontiguousarray(vectors[keep]), np.ascontiguousarray(ids[keep]))
    return index


@pytest.mark.parametrize("share", [0.0, 0.03, 0.5, 1.0])
@pytest.mark.parametrize("k", [1, 5, 200])
def test_filtered_search_is_search_of_a_sub_index(share, k):
    rng = np.random.default_rng(int(share * 100) + k)
    vectors = rng.standard_normal((150, DIM)).astype(np.float32)
    # Ties between equal vectors must break by position, as in the sub-index.
    vectors[10] = vectors[40] = vectors[90]
    index = _quilane.GyrelIndex(DIM, 4)
    index.add(vectors)
    for position in (3, 70, 90):  # the filter names positions as removals left them
        index.swap_remove(position)
        vectors[position] = vectors[len(index)]
        vectors = vectors[: len(index)]
    mask = rng.random(len(index)) < share
    keep = np.flatnonzero(mask)
    queries = rng.standard_normal((4, DIM)).astype(np.float32)
    queries[0] = vectors[40]
    expected_scores, expected = sub_index(_quilane.GyrelIndex, vectors, keep).search(queries, k)
    if len(keep):
        expected = keep[expected]
    for allow in (mask, keep, keep.astype(np.uint32), keep[::-1].copy(), np.repeat(keep, 2)):
        scores, found = index.search(queries, k, allow=allow)
        np.testing.assert_array_equal(scores, expected_scores)
        np.testing.assert_array_equal(found, expected)


def test_filtered_id_map_search_is_search_of_a_sub_index():
    index, vectors = filled(_quilane.IdMapIndex, 120)
    index.remove_many(np.array([3, 10, 17], dtype=np.uint64))
    ids = index.ids()
    order = np.argsort(np.arange(120, dtype=np.uint64) * 7 + 3)
    stored = vectors[[int((i - 3) // 7) for i in ids]]
    rng = np.random.default_rng(5)
    keep = np.flatnonzero(rng.random(len(ids)) < 0.2)
    queries = rng.standard_normal((3, DIM)).astype(np.float32)
    expected = sub_index(_quilane.IdMapIndex, stored, keep, ids).search(queries, 8)
    allow = np.concatenate([ids[keep], np.array([1, 2, 2**64 - 1], dtype=np.uint64)])
    for left, right in zip(index.search(queries, 8, allow=allow), expected, strict=True):
        np.testing.assert_array_equal(left, right)
    assert order is not None
    scores, found = index.search(queries, 8, allow=np.array([5], dtype=np.uint64))
    assert scores.shape == (3, 1) and (scores == -np.inf).all() and (found == NO_ID).all()
    same_results(index, index, queries)
    for left, right in zip(index.search(queries, 8, allow=ids), index.search(queries, 8), strict=True):
        np.testing.assert_array_equal(left, right)


def test_nothing_allowed_and_empty_indexes(index, vectors):
    for allow in (np.zeros(50, bool), np.array([], dtype=np.int64)):
        scores, found = index.search(vectors[:2], 10, allow=allow)
        np.testing.assert_array_equal(found, [[-1], [-1]])
        assert (scores == -np.inf).all()
    empty = _quilane.GyrelIndex(DIM, 4)
    assert empty.search(vectors[:2], 3, allow=np.array([], dtype=bool))[1].tolist() == [[-1], [-1]]
    assert index.search(vectors[:0], 7, allow=np.array([1, 2]))[0].shape == (0, 2)
    for allow in (None, np.ones(50, bool)):
        same_results(index, index, vectors[:3], allow=allow)
        np.testing.assert_array_equal(index.search(vectors[:3], 10, allow=allow)[1],
                                      index.search(vectors[:3], 10)[1])


def test_allow_is_checked(index, id_index, vectors):
    q = vectors[:1]
    cases = [
        (np.zeros(49, bool), "allow is a mask of 49 entries but the index holds 50 vectors"),
        (np.array([0, 50]), "allow holds position 50, out of range for an index of 50 vectors"),
        (np.array([-1]), "allow holds position -1, out of range for an index of 50 vectors"),
        (np.array([2**64 - 1], dtype=np.uint64), "allow holds position 18446744073709551615, out of range for an index of 50 vectors"),
        (np.zeros((2, 2), bool), "allow must be 1-D, not 2-D"),
        (np.zeros(3, np.float32), "allow must be a boolean mask or an integer array of positions, not float32"),
    ]
    for allow, text in cases:
        with pytest.raises(ValueError) as info:
            index.search(q, 3, allow=allow)
        assert message(info) == text
    with pytest.raises(ValueError) as info:
        id_index.search(q, 3, allow=np.array([100]))
    assert message(info) == "allow must be a uint64 array of ids, not int64"
    with pytest.raises(TypeError) as info:
        index.search(q, 3, allow=[1, 2])
    assert message(info) == "argument 'allow': 'list' object cannot be cast as 'ndarray'"
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        index.search(q, 3, np.ones(50, bool))


# --- Reconstruction ---

@pytest.mark.parametrize("rotation", KINDS)
def test_reconstruction_reproduces_scores(rotation):
    for cls in (_quilane.GyrelIndex, _quilane.IdMapIndex):
        index, vectors = filled(cls, 40, 3, rotation)
        queries = np.random.default_rng(3).standard_normal((5, DIM)).astype(np.float32)
        scores, found = index.search(queries, 40)
        rows = index.reconstruct(found[0] if cls is _quilane.IdMapIndex else found[0].astype(np.int32))
        assert rows.dtype == np.float32 and rows.shape == (40, DIM)
        exact = rows.astype(np.float64) @ queries[0].astype(np.float64)
        scale = np.abs(rows) @ np.abs(queries[0])
        assert (np.abs(exact - scores[0]) <= 1e-5 * scale + 1e-6).all()
        # The codes are an approximation of the vectors added, not the vectors themselves.
        assert not np.array_equal(rows[0], vectors[0])


def test_reconstruction_arguments(index, id_index):
    assert index.reconstruct(np.array([], dtype=np.int64)).shape == (0, DIM)
    np.testing.assert_array_equal(index.reconstruct(np.array([4, 4]))[1], index.reconstruct(np.array([4]))[0])
    with pytest.raises(ValueError, match="^positions holds position 50, out of range"):
        index.reconstruct(np.array([50]))
    with pytest.raises(ValueError, match="^positions must hold integers, not float64$"):
        index.reconstruct(np.array([1.0]))
    with pytest.raises(ValueError, match="^id 99 is not stored$"):
        id_index.reconstruct(np.array([100, 99], dtype=np.uint64))


# --- Re-ranking ---

def test_rerank_matches_exact_scores():
    rng = np.random.default_rng(8)
    vectors = rng.standard_normal((300, 40)).astype(np.float32)
    queries = rng.standard_normal((6, 40)).astype(np.float32)
    candidates = np.stack([rng.choice(300, 25, replace=False) for _ in queries])
    scores, best = quilane.rerank(queries, candidates, vectors, 10)
    assert best.dtype == np.int64 and scores.dtype == np.float32 and best.shape == (6, 10)
    for q in range(6):
        exact = vectors[candidates[q]].astype(np.float64) @ queries[q].astype(np.float64)
        order = candidates[q][np.argsort(-exact, kind="stable")][:10]
        np.testing.assert_array_equal(best[q], order)
        np.testing.assert_allclose(scores[q], np.sort(exact)[::-1][:10], rtol=1e-5)
    ids_scores, ids = quilane.rerank(queries, candidates.astype(np.uint64), vectors, 10)
    assert ids.dtype == np.uint64
    np.testing.assert_array_equal(ids.astype(np.int64), best)
    np.testing.assert_array_equal(ids_scores, scores)


def test_rerank_ties_empty_slots_and_padding():
    vectors = np.array([[1, 0], [0, 1], [1, 0], [3, 0]], dtype=np.float32)
    queries = np.array([[1, 0], [0, 1]], dtype=np.float32)
    candidates = np.array([[2, -1, 0, 1], [3, 3, -1, -1]])
    scores, best = quilane.rerank(queries, candidates, vectors, 3)
    assert best.tolist() == [[0, 2, 1], [3, -1, -1]]
    assert scores.tolist() == [[1, 1, 0], [0, -np.inf, -np.inf]]
    _, ids = quilane.rerank(queries, candidates.astype(np.uint64), vectors, 9)
    assert ids.tolist() == [[0, 2, 1, NO_ID], [3, NO_ID, NO_ID, NO_ID]]
    assert quilane.rerank(queries, candidates, vectors, 0)[1].shape == (2, 1)
    assert quilane.rerank(queries[:0], candidates[:0], vectors, 5)[1].shape == (0, 4)


def test_rerank_is_checked():
    vectors = np.zeros((4, 8), np.float32)
    queries = np.zeros((2, 8), np.float32)
    cases = [
        ((queries, np.array([[0, 4]] * 2), vectors, 1), ValueError, "candidate 4 is out of range for 4 vectors"),
        ((queries, np.array([[0, -2]] * 2), vectors, 1), ValueError, "candidate -2 is out of range for 4 vectors"),
        ((queries, np.array([[0]]), vectors, 1), ValueError, "candidates have 1 rows but queries have 2"),
        ((np.zeros((2, 16), np.float32), np.array([[0]] * 2), vectors, 1), ValueError, "queries have 16 columns but vectors have 8"),
        ((queries, np.array([[0]] * 2, np.int32), vectors, 1), TypeError, "argument 'candidates': 'ndarray' object cannot be cast as 'ndarray'"),
        ((queries, np.array([[0]] * 2), vectors.astype(np.float64), 1), TypeError, "argument 'vectors': 'ndarray' object cannot be cast as 'ndarray'"),
        ((queries, np.array([[0]] * 2), vectors, -1), OverflowError, None),
    ]
    for arguments, error, text in cases:
        with pytest.raises(error) as info:
            quilane.rerank(*arguments)
        assert text is None or message(info) == text


# --- Notes that say what to do ---

def notes(info):
    return getattr(info.value, "__notes__", [])


def test_array_cast_errors_note_what_was_given_and_what_is_needed(index, id_index):
    with pytest.raises(TypeError) as info:
        index.search(np.ones((3, DIM)), 2)
    assert message(info) == "argument 'queries': 'ndarray' object cannot be cast as 'ndarray'"
    assert notes(info) == ["'queries' was 2-D float64 of shape (3, 16); it must be a NumPy array, "
                           "2-D float32 of shape (n, 16): np.ascontiguousarray(queries, dtype=np.float32)"]
    with pytest.raises(TypeError) as info:
        index.add([[1.0] * DIM])
    assert message(info) == "argument 'vectors': 'list' object cannot be cast as 'ndarray'"
    assert notes(info)[0].startswith("'vectors' was a list; it must be a NumPy array, 2-D float32")
    with pytest.raises(TypeError) as info:
        id_index.add_with_ids(np.ones((1, DIM), np.float32), np.array([7]))
    assert notes(info) == ["'ids' was 1-D int64 of shape (1,); it must be a NumPy array, "
                           "1-D uint64: np.ascontiguousarray(ids, dtype=np.uint64)"]
    assert len(index) == 50 and len(id_index) == 50


def test_length_assertions_note_the_row_width(index, id_index):
    cases = [
        (lambda: index.search(np.ones((2, 18), np.float32), 1), "assertion `left == right` failed\n  left: 36\n right: 32", "queries", 18),
        (lambda: index.add(np.ones((3, 5), np.float32)), "assertion `left == right` failed: vectors length not a multiple of dim\n  left: 15\n right: 0", "vectors", 5),
        (lambda: id_index.add_with_ids(np.ones((1, 12), np.float32), np.array([1], np.uint64)), None, "vectors", 12),
        (lambda: id_index.search(np.ones((2, 12), np.float32), 1), None, "queries", 12),
    ]
    for call, text, argument, width in cases:
        with pytest.raises(PanicException) as info:
            call()
        assert text is None or message(info) == text
        assert notes(info) == [f"'{argument}' has rows of {width} values but the index has dim 16: "
                               "pass an array of shape (n, 16)"]
    with pytest.raises(ValueError) as info:
        index.search(np.ones((2, 32), np.float32), 1)
    assert message(info).startswith("scores reshape: ") and "rows of 32 values" in notes(info)[0]
    with pytest.raises(PanicException) as info:
        index.swap_remove(99)
    assert notes(info) == []


def test_paths_that_are_not_str_are_noted(index, tmp_path):
    target = tmp_path / "x"
    with pytest.raises(TypeError) as info:
        index.write(target)
    assert message(info) == "argument 'path': 'PosixPath' object cannot be cast as 'str'"
    assert notes(info) == [f"paths must be str: pass str(path), here '{target}'"]
    with pytest.raises(TypeError) as info:
        _quilane.IdMapIndex.load(os.fsencode(target))
    assert notes(info) == ["paths must be str: pass os.fsdecode(path)"]
    assert not target.exists()


def test_documentation_of_the_additions():
    g, m = _quilane.GyrelIndex, _quilane.IdMapIndex
    assert g.search.__doc__.split("\n\n")[0] == "Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays."
    assert m.search.__doc__.split("\n\n")[0] == (
        "Top-`k` search returning external ids. Returns `(scores, ids)` as\n`(nq, k)` arrays."
    )
    for method in (g.search, m.search):
        assert "`allow`" in method.__doc__.split("\n\n")[1]
        assert re.fullmatch(
            r"\(self, /, queries, k, \*, allow=None, release_gil=False\)",
            str(__import__("inspect").signature(method)),
        )
    assert quilane.rerank is _quilane.rerank and "rerank" in quilane.__all__
    assert _quilane.__all__ == ["GyrelIndex", "IdMapIndex", "__version__"]
