import numpy as np
import pytest

import _quilane
from helpers import PanicException

GyrelIndex = _quilane.GyrelIndex


@pytest.mark.parametrize(
    ("keyword", "canonical"),
    [("rotor3", "rotor3"), ("ISO", "iso4"), ("Givens", "planar2"), ("clifford", "rotor3"),
     ("Rotor3+Walsh", "walshrotor3"), ("walsh-rotor3", "walshrotor3"), ("QUATERNION", "iso4")],
)
def test_rotation_keywords(keyword, canonical):
    idx = GyrelIndex(64, 4, keyword)
    assert idx.rotation == canonical
    assert repr(idx) == f"GyrelIndex(dim=64, bits=4, rotation='{canonical}', n=0)"


def test_new_index():
    idx = GyrelIndex(64, 4)
    assert (idx.dim, idx.bits, idx.rotation, len(idx)) == (64, 4, "rotor3", 0)
    assert repr(idx) == "GyrelIndex(dim=64, bits=4, rotation='rotor3', n=0)"


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        # The keyword is parsed before the engine looks at dim and bits.
        ((12, 5, "Bogus Ω"), ValueError,
         "unknown rotation 'bogus Ω': expected 'planar2', 'rotor3', 'iso4', or 'walshrotor3'"),
        ((12, 5, " rotor3"), ValueError, "unknown rotation ' rotor3': expected"),
        ((12, 5, ""), ValueError, "unknown rotation '': expected"),
        ((12, 5), PanicException, "bits must be 2, 3, or 4"),
        ((12, 4), PanicException, "dim must be a multiple of 8"),
        ((24, 4, "walsh"), PanicException,
         "Rotation::WalshRotor3 requires dim to be a power of 2 (got 24)"),
    ],
)
def test_constructor_failures(args, error, message):
    with pytest.raises(error) as info:
        GyrelIndex(*args)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_add_takes_the_flat_buffer(rng):
    idx = GyrelIndex(8, 3)
    idx.add(np.zeros((0, 8), dtype=np.float32))
    assert len(idx) == 0
    idx.add(rng.standard_normal((3, 8)).astype(np.float32))
    assert len(idx) == 3
    idx.add(rng.standard_normal((2, 16)).astype(np.float32))
    assert len(idx) == 7
    assert repr(idx) == "GyrelIndex(dim=8, bits=3, rotation='rotor3', n=7)"


def test_search_shapes_for_every_k(vectors):
    idx = GyrelIndex(16, 2)
    q = vectors[:2]
    scores, indices = idx.search(q, 5)
    assert scores.shape == indices.shape == (2, 1)
    assert np.all(scores == -np.inf) and np.all(indices == -1)

    idx.add(vectors[:3])
    for k, columns in ((5, 3), (3, 3), (2, 2), (0, 1), (2**64 - 1, 3)):
        scores, indices = idx.search(q, k)
        assert scores.shape == indices.shape == (2, columns)
    for k, columns in ((7, 3), (0, 1)):
        scores, indices = idx.search(vectors[:0], k)
        assert scores.shape == indices.shape == (0, columns)

    scores, indices = idx.search(q, 3)
    assert scores.dtype == np.float32 and indices.dtype == np.int64
    for array in (scores, indices):
        assert array.flags.c_contiguous and array.flags.writeable
    assert np.all(np.diff(scores, axis=1) <= 0)
    assert sorted(indices[0]) == [0, 1, 2]


def test_search_finds_the_vector_itself(index, vectors):
    scores, indices = index.search(vectors, 1)
    found = indices[:, 0] == np.arange(50)
    assert found.mean() > 0.9
    exact = np.einsum("ij,ij->i", vectors, vectors)
    np.testing.assert_allclose(scores[found, 0], exact[found], rtol=0.1)


def test_search_with_columns_other_than_dim(index):
    wide = np.ones((2, 32), dtype=np.float32)
    with pytest.raises(ValueError) as info:
        index.search(wide, 3)
    assert str(info.value) == "scores reshape: ShapeError/IncompatibleShape: incompatible shapes"
    narrow = np.ones((4, 8), dtype=np.float32)
    with pytest.raises(ValueError) as info:
        index.search(narrow, 3)
    assert str(info.value) == "scores reshape: ShapeError/OutOfBounds: out of bounds indexing"


def test_swap_remove(index, vectors):
    before = index.search(vectors[49:50], 1)
    assert index.swap_remove(1) == 49
    assert len(index) == 49
    after = index.search(vectors[49:50], 1)
    assert after[1][0, 0] == 1 and after[0][0, 0] == before[0][0, 0]
    assert index.swap_remove(48) == 48
    assert len(index) == 48
    with pytest.raises(PanicException, match="^index 48 out of bounds$"):
        index.swap_remove(48)
    assert len(index) == 48
    with pytest.raises(PanicException, match="^index 0 out of bounds$"):
        GyrelIndex(8, 2).swap_remove(0)


def test_prepare_changes_no_result(index, vectors):
    before = index.search(vectors[:5], 4)
    index.prepare()
    index.prepare()
    after = index.search(vectors[:5], 4)
    np.testing.assert_array_equal(before[0], after[0])
    np.testing.assert_array_equal(before[1], after[1])


@pytest.mark.parametrize("rotation", ["planar2", "rotor3", "iso4", "walshrotor3"])
def test_write_load_round_trip(tmp_path, rng, rotation):
    data = rng.standard_normal((40, 32)).astype(np.float32)
    idx = GyrelIndex(32, 3, rotation)
    idx.add(data)
    idx.swap_remove(7)
    path = str(tmp_path / "index.qlix")
    idx.write(path)
    loaded = GyrelIndex.load(path)
    assert type(loaded) is GyrelIndex
    assert repr(loaded) == repr(idx)
    for got, expected in zip(loaded.search(data, 10), idx.search(data, 10)):
        np.testing.assert_array_equal(got, expected)


def test_load_failures(tmp_path, index):
    with pytest.raises(OSError) as info:
        GyrelIndex.load(str(tmp_path / "missing"))
    assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(OSError, match="^Is a directory"):
        index.write(str(tmp_path))
    bad = tmp_path / "bad"
    bad.write_bytes(b"NOPE" + bytes(40))
    with pytest.raises(OSError, match="wrong magic"):
        GyrelIndex.load(str(bad))
    good = tmp_path / "good"
    index.write(str(good))
    with pytest.raises(OSError, match="wrong magic"):
        _quilane.IdMapIndex.load(str(good))
    good.write_bytes(good.read_bytes()[:-3])
    with pytest.raises(OSError, match="^failed to fill whole buffer$"):
        GyrelIndex.load(str(good))
