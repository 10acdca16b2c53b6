import numpy as np
import pytest

import _quilane
from helpers import PanicException

IdMapIndex = _quilane.IdMapIndex
NO_ID = 2**64 - 1


def ids(*values):
    return np.array(values, dtype=np.uint64)


def test_new_index_and_constructor_checks():
    idx = IdMapIndex(64, 2, "planar2")
    assert repr(idx) == "IdMapIndex(dim=64, bits=2, rotation='planar2', n=0)"
    assert (idx.dim, idx.bits, idx.rotation, len(idx)) == (64, 2, "planar2", 0)
    with pytest.raises(ValueError, match="^unknown rotation 'x': "):
        IdMapIndex(12, 5, "X")
    with pytest.raises(PanicException, match="^bits must be 2, 3, or 4$"):
        IdMapIndex(12, 5)
    with pytest.raises(OverflowError):
        IdMapIndex(-8, 4)


def test_add_contains_remove(vectors):
    idx = IdMapIndex(16, 3)
    idx.add_with_ids(vectors[:3], ids(1, 2, 3))
    assert len(idx) == 3
    assert idx.contains(2) and 2 in idx and 4 not in idx and not idx.contains(4)
    assert idx.contains(id=True) is True
    assert idx.remove(2) is True
    assert idx.remove(2) is False
    assert len(idx) == 2 and 2 not in idx
    _, found = idx.search(vectors[:3], 10)
    assert 2 not in found
    assert sorted(found[0]) == [1, 3]


def test_failed_batches_leave_the_index_unchanged(vectors):
    idx = IdMapIndex(16, 2)
    idx.add_with_ids(vectors[:3], ids(1, 2, 3))
    failures = [
        ((vectors[3:6], ids(10, 11)),
         "assertion `left == right` failed: expected 3 ids, got 2\n  left: 2\n right: 3"),
        ((vectors[3:5], ids(10, 2)), "id 2 already present in index"),
        ((vectors[3:5], ids(10, 10)), "id 10 already present in index"),
        ((np.ones((1, 12), dtype=np.float32), ids(10)),
         "assertion `left == right` failed: vector buffer not a multiple of dim\n"),
    ]
    for args, message in failures:
        with pytest.raises(PanicException) as info:
            idx.add_with_ids(*args)
        assert str(info.value).startswith(message)
        assert len(idx) == 3 and 10 not in idx
    # The id count is compared with the number of rows of dim, not with the array's rows.
    idx.add_with_ids(np.ones((1, 32), dtype=np.float32), ids(20, 21))
    assert len(idx) == 5 and 21 in idx


def test_search_shapes(vectors):
    idx = IdMapIndex(16, 4)
    scores, found = idx.search(vectors[:2], 3)
    assert scores.shape == found.shape == (2, 1)
    assert np.all(scores == -np.inf) and np.all(found == NO_ID)
    idx.add_with_ids(vectors[:3], ids(7, 8, 9))
    scores, found = idx.search(vectors[:2], 10)
    assert scores.shape == found.shape == (2, 3)
    assert scores.dtype == np.float32 and found.dtype == np.uint64
    assert found.flags.c_contiguous and found.flags.writeable
    # Zero query rows keep the k that was asked, not the effective one.
    for k in (7, 0):
        scores, found = idx.search(vectors[:0], k)
        assert scores.shape == found.shape == (0, k)
    with pytest.raises(ValueError) as info:
        idx.search(vectors[:0], 2**63)
    assert str(info.value) == "scores reshape: ShapeError/Overflow: arithmetic overflow"


def test_search_with_columns_other_than_dim(id_index):
    # (2, 32) holds 4 rows of dim 16; their 4 results are laid out as 2 rows of 2. (4, 8) holds
    # 2 rows, whose 6 results do not divide into 4 rows.
    scores, found = id_index.search(np.ones((2, 32), dtype=np.float32), 1)
    assert scores.shape == (2, 2)
    with pytest.raises(ValueError) as info:
        id_index.search(np.ones((4, 8), dtype=np.float32), 3)
    assert str(info.value) == "scores reshape: ShapeError/IncompatibleShape: incompatible shapes"
    with pytest.raises(PanicException, match=r"^assertion `left == right` failed\n"):
        id_index.search(np.ones((1, 8), dtype=np.float32), 3)


def test_contains_operand_conversion(id_index):
    with pytest.raises(OverflowError):
        -1 in id_index  # noqa: B015
    with pytest.raises(TypeError, match="^argument 'id': 'str' object cannot be interpreted"):
        "100" in id_index  # noqa: B015
    with pytest.raises(TypeError, match="^argument 'id': "):
        id_index.remove(1.5)
    assert np.uint64(100) in id_index and 150 not in id_index


def test_write_load_round_trip(tmp_path, id_index, vectors):
    id_index.remove(120)
    id_index.remove(149)
    path = str(tmp_path / "index.qlim")
    id_index.write(path)
    loaded = IdMapIndex.load(path)
    assert type(loaded) is IdMapIndex
    assert repr(loaded) == repr(id_index)
    for candidate in range(95, 155):
        assert (candidate in loaded) == (candidate in id_index)
    for got, expected in zip(loaded.search(vectors, 8), id_index.search(vectors, 8)):
        np.testing.assert_array_equal(got, expected)
    with pytest.raises(OSError, match="wrong magic"):
        _quilane.GyrelIndex.load(path)


def test_load_rejects_repeated_ids(tmp_path, vectors):
    idx = IdMapIndex(16, 2)
    idx.add_with_ids(vectors[:2], ids(5, 6))
    path = tmp_path / "index.qlim"
    idx.write(str(path))
    data = bytearray(path.read_bytes())
    data[-8:] = (5).to_bytes(8, "little")  # the last stored id becomes the first's
    path.write_bytes(bytes(data))
    with pytest.raises(OSError, match="^duplicate ids in .qlim file$"):
        IdMapIndex.load(str(path))
