import os
import pathlib

import numpy as np
import pytest

import _quilane
from helpers import PanicException, run_python

DIM = 16


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def queries(rows=2):
    return np.ones((rows, DIM), dtype=np.float32)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda i: i.search(queries()), r"GyrelIndex.search\(\) missing 1 required positional argument: 'k'$"),
        (lambda i: i.search(), r"GyrelIndex.search\(\) missing 2 required positional arguments: 'queries' and 'k'$"),
        (lambda i: i.search(queries(), 1, 2), r"GyrelIndex.search\(\) takes 2 positional arguments but 3 were given$"),
        (lambda i: i.swap_remove(1, 2), r"GyrelIndex.swap_remove\(\) takes 1 positional argument but 2 were given$"),
        (lambda i: i.search(queries(), kk=1), r"GyrelIndex.search\(\) got an unexpected keyword argument 'kk'$"),
        (lambda i: i.search(queries(), 1, k=1), r"GyrelIndex.search\(\) got multiple values for argument 'k'$"),
        (lambda i: _quilane.GyrelIndex(8), r"GyrelIndex.__new__\(\) missing 1 required positional argument: 'bits'$"),
        (lambda i: _quilane.IdMapIndex(8, 2, "rotor3", 1), r"IdMapIndex.__new__\(\) takes from 2 to 3 positional arguments but 4 were given$"),
        (lambda i: _quilane.GyrelIndex.load(), r"GyrelIndex.load\(\) missing 1 required positional argument: 'path'$"),
        (lambda i: i.prepare(1), r"prepare\(\) takes no arguments \(1 given\)"),
    ],
)
def test_binding_errors_use_cpython_wording(index, call, message):
    with pytest.raises(TypeError, match=message):
        call(index)


def test_every_argument_binds_by_keyword(index):
    scores, indices = index.search(k=3, queries=queries())
    assert scores.shape == indices.shape == (2, 3)
    idx = _quilane.IdMapIndex(rotation="ISO", bits=2, dim=8)
    assert idx.rotation == "iso4"
    assert index.swap_remove(idx=Index(0)) == 49


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        (dict(dim=-8, bits=4), OverflowError, "negative"),
        (dict(dim=8.0, bits=4), TypeError, "^argument 'dim': 'float' object cannot be interpreted as an integer$"),
        (dict(dim=8, bits="4"), TypeError, "^argument 'bits': "),
        (dict(dim=2**64, bits=4), OverflowError, "too big"),
        (dict(dim=8, bits=4, rotation=None), TypeError, "^argument 'rotation': 'NoneType' object cannot be cast as 'str'$"),
        (dict(dim=8, bits=4, rotation=3), TypeError, "^argument 'rotation': 'int' object cannot be cast as 'str'$"),
        (dict(dim=8, bits=4, rotation=b"iso"), TypeError, "'bytes' object cannot be cast as 'str'"),
    ],
)
def test_constructor_conversions(kwargs, error, message):
    with pytest.raises(error, match=message):
        _quilane.GyrelIndex(**kwargs)


# The dim's __index__ empties the keyword dictionary the constructor binds from, dropping the last
# reference the caller had to every other argument. Each argument object records when it is
# converted and when it dies: an argument bound by a borrowed reference died before its turn (and
# was then read after being freed, which ASan with PYTHONMALLOC=malloc reports).
CONSTRUCTOR_CALLBACK = """
import gc
import _quilane

events = []

class Dim:
    def __index__(self):
        for referrer in gc.get_referrers(self):
            if isinstance(referrer, dict) and "bits" in referrer:
                referrer.clear()
        events.append("dim converted")
        return 16

class Bits:
    def __index__(self):
        events.append("bits converted")
        return 3
    def __del__(self):
        events.append("bits freed")

class Rotation(str):
    def __del__(self):
        events.append("rotation freed")

for cls in (_quilane.GyrelIndex, _quilane.IdMapIndex):
    events.clear()
    index = cls(**{"dim": Dim(), "bits": Bits(), "rotation": Rotation("iso4")})
    print(repr(index), events)
"""


def test_constructor_arguments_outlive_a_callback_that_drops_them():
    # The system allocator serves every object, so that a sanitizer sees each one freed.
    result = run_python(CONSTRUCTOR_CALLBACK, env={"PYTHONMALLOC": "malloc"})
    assert result.returncode == 0, result.stderr
    events = ["dim converted", "bits converted", "bits freed", "rotation freed"]
    assert result.stdout.splitlines() == [
        f"{name}(dim=16, bits=3, rotation='iso4', n=0) {events}"
        for name in ("GyrelIndex", "IdMapIndex")
    ]


def test_integer_conversions(index):
    with pytest.raises(OverflowError) as info:
        index.search(queries(), -1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError, match="^argument 'k': 'str' object cannot be interpreted"):
        index.search(queries(), "3")
    assert index.search(queries(), True)[0].shape == (2, 1)
    assert index.search(queries(), Index(4))[0].shape == (2, 4)
    assert index.search(queries(), np.uint64(2))[0].shape == (2, 2)
    with pytest.raises(TypeError, match="^argument 'idx': "):
        index.swap_remove(1.0)


def test_type_error_from_index_keeps_its_cause(index):
    root = KeyError("root")

    class Failing:
        def __index__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError, match="^argument 'k': inner$") as info:
        index.search(queries(), Failing())
    assert info.value.__cause__ is root

    class Other:
        def __index__(self):
            raise ZeroDivisionError("left alone")

    with pytest.raises(ZeroDivisionError, match="^left alone$"):
        index.search(queries(), Other())


def test_paths_must_be_str(index, tmp_path):
    for path in (pathlib.Path(tmp_path / "x"), os.fsencode(tmp_path / "x"), None):
        with pytest.raises(TypeError, match=r"^argument 'path': '\w+' object cannot be cast as 'str'$"):
            index.write(path)
        with pytest.raises(TypeError, match="^argument 'path': "):
            _quilane.IdMapIndex.load(path)
    with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
        index.write(str(tmp_path / "a\0b"))
    with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
        _quilane.GyrelIndex.load("a\0b")
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize(
    ("value", "given"),
    [
        ([[0.0] * DIM], "list"),
        (np.ones((2, DIM), dtype=np.float64), "ndarray"),
        (np.ones(DIM, dtype=np.float32), "ndarray"),
        (np.ones((1, 2, DIM), dtype=np.float32), "ndarray"),
        (np.ones((2, DIM), dtype=">f4"), "ndarray"),
        (np.ones((2, DIM), dtype=np.float16), "ndarray"),
        (np.ma.masked_array(np.ones((2, DIM), dtype=np.float64)), "MaskedArray"),
    ],
)
def test_array_acceptance(index, value, given):
    message = f"^argument 'vectors': '{given}' object cannot be cast as 'ndarray'$"
    with pytest.raises(TypeError, match=message):
        index.add(value)
    assert len(index) == 50


def test_array_type_is_checked_before_later_arguments(index):
    # The array's type is an argument conversion; its contiguity is checked only after all of them.
    with pytest.raises(TypeError, match="^argument 'queries': "):
        index.search([[1.0]], "x")
    with pytest.raises(TypeError, match="^argument 'k': "):
        index.search(np.asfortranarray(queries(3)), "x")


def test_subclasses_and_read_only_arrays_are_accepted(index, vectors):
    frozen = vectors.copy()
    frozen.flags.writeable = False
    masked = np.ma.masked_array(vectors)
    expected = index.search(vectors, 5)
    for value in (frozen, masked):
        scores, indices = index.search(value, 5)
        np.testing.assert_array_equal(scores, expected[0])
        np.testing.assert_array_equal(indices, expected[1])


def test_contiguity(index, vectors):
    with pytest.raises(ValueError, match="^queries must be C-contiguous$"):
        index.search(np.asfortranarray(vectors[:2]), 3)
    with pytest.raises(ValueError, match="^vectors must be C-contiguous$"):
        index.add(np.ones((3, 2), dtype=np.float32).T)
    with pytest.raises(ValueError, match="^vectors must be C-contiguous$"):
        index.add(vectors[::2][:2])
    with pytest.raises(ValueError, match="^queries must be C-contiguous$"):
        index.search(vectors[:2, ::-1], 3)
    with pytest.raises(ValueError, match="^queries must be C-contiguous$"):
        index.search(vectors[::-1][:2], 3)
    assert len(index) == 50

    # One row: the row stride is never used, whatever it is.
    odd = np.lib.stride_tricks.as_strided(vectors[3:], shape=(1, DIM), strides=(12345 * 4, 4))
    np.testing.assert_array_equal(index.search(odd, 4)[1], index.search(vectors[3:4], 4)[1])
    # One column: its stride is never used either. Zero rows, zero columns.
    column = np.lib.stride_tricks.as_strided(vectors[0], shape=(DIM, 1), strides=(4, 12344))
    index.add(column)
    assert index.search(vectors[::2][:0], 2)[0].shape == (0, 2)
    index.add(np.zeros((3, 0), dtype=np.float32))
    assert len(index) == 51
    assert index.search(vectors[:1], 2)[1].tolist() == [[0, 50]]


def test_misaligned_buffer_reads_the_right_values(index, vectors):
    raw = bytearray(vectors[:4].nbytes + 1)
    shifted = np.frombuffer(raw, dtype=np.float32, offset=1, count=4 * DIM).reshape(4, DIM)
    assert not shifted.flags.aligned
    shifted[...] = vectors[:4]
    expected = index.search(vectors[:4], 5)
    got = index.search(shifted, 5)
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])


def test_stride_that_is_not_a_whole_element_is_rejected(index):
    raw = np.zeros(200, dtype=np.uint8)
    odd = np.lib.stride_tricks.as_strided(raw.view(np.float32)[:1], shape=(2, DIM), strides=(64, 3))
    with pytest.raises(ValueError, match="^queries must be C-contiguous$"):
        index.search(odd, 1)


def test_ids_array_acceptance(vectors):
    idx = _quilane.IdMapIndex(DIM, 2)
    for ids, given in (([1, 2, 3], "list"), (np.arange(3, dtype=np.int64), "ndarray")):
        with pytest.raises(TypeError, match=f"^argument 'ids': '{given}' object cannot be cast as 'ndarray'$"):
            idx.add_with_ids(vectors[:3], ids)
    with pytest.raises(ValueError, match="^ids must be C-contiguous$"):
        idx.add_with_ids(vectors[:3], np.arange(6, dtype=np.uint64)[::2])
    with pytest.raises(ValueError, match="^vectors must be C-contiguous$"):
        idx.add_with_ids(np.asfortranarray(vectors[:3]), np.arange(6, dtype=np.uint64)[::2])
    idx.add_with_ids(vectors[:1], np.arange(6, dtype=np.uint64)[4::7])
    idx.add_with_ids(vectors[1:3], np.array([7, 8], dtype=np.ulonglong))
    assert len(idx) == 3 and 4 in idx and 8 in idx


def test_engine_failures_are_panics(index):
    with pytest.raises(PanicException) as info:
        index.add(np.ones((1, 10), dtype=np.float32))
    assert str(info.value) == (
        "assertion `left == right` failed: vectors length not a multiple of dim\n  left: 10\n right: 0"
    )
    with pytest.raises(PanicException) as info:
        index.search(np.ones((1, 20), dtype=np.float32), 1)
    assert str(info.value) == "assertion `left == right` failed\n  left: 20\n right: 16"
    assert len(index) == 50
