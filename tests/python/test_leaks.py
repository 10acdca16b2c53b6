"""Every method, succeeding and failing, called 10,000 times: neither Python objects (tracemalloc)
nor native memory (resident set) may grow; and results own their memory, outliving the index."""

import gc
import os
import tempfile
import tracemalloc

import numpy as np
import pytest

import _quilane
from _quilane import GyrelIndex, IdMapIndex
from helpers import Callback, rss_bytes
from helpers import PanicException as panic

CALLS = 10_000
DIM = 16


@pytest.fixture(scope="module")
def scratch():
    # Memory-backed, so that the many writes' syncs cost nothing.
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as path:
        yield path


def swallow(call, *errors):
    try:
        call()
    except errors:
        pass


def operations(scratch):
    rng = np.random.default_rng(2)
    vectors = rng.standard_normal((20, DIM)).astype(np.float32)
    one = vectors[:1]
    plain = GyrelIndex(DIM, 3)
    plain.add(vectors)
    mapped = IdMapIndex(DIM, 3, "walshrotor3")
    mapped.add_with_ids(vectors, np.arange(20, dtype=np.uint64))
    plain_path = os.path.join(scratch, "plain")
    mapped_path = os.path.join(scratch, "mapped")
    plain.write(plain_path)
    mapped.write(mapped_path)
    missing = os.path.join(scratch, "missing", "file")
    strided = np.zeros((4, 2 * DIM), dtype=np.float32)[:, ::2]
    new_id = np.array([99], dtype=np.uint64)

    def add_then_remove():
        plain.add(one)
        plain.swap_remove(20)

    def add_with_id_then_remove():
        mapped.add_with_ids(one, new_id)
        mapped.remove(99)

    return {
        "construct": lambda: (GyrelIndex(DIM, 2, "iso4"), IdMapIndex(DIM, 4)),
        "construct failing": lambda: (
            swallow(lambda: GyrelIndex(12, 2), panic),
            swallow(lambda: IdMapIndex(DIM, 2, "nope"), ValueError),
            swallow(lambda: GyrelIndex("16", 2), TypeError),
            swallow(lambda: GyrelIndex(-1, 2), OverflowError),
        ),
        "add and swap_remove": add_then_remove,
        "add failing": lambda: (
            swallow(lambda: plain.add(np.ones((1, DIM + 1), dtype=np.float32)), panic),
            swallow(lambda: plain.add(strided), ValueError),
            swallow(lambda: plain.add([1.0]), TypeError),
            swallow(lambda: plain.swap_remove(10**6), panic),
        ),
        "add_with_ids and remove": add_with_id_then_remove,
        "add_with_ids failing": lambda: (
            swallow(lambda: mapped.add_with_ids(one, np.array([3], dtype=np.uint64)), panic),
            swallow(lambda: mapped.add_with_ids(one, np.arange(2, dtype=np.uint64)), panic),
            swallow(lambda: mapped.add_with_ids(one, np.arange(1, dtype=np.int64)), TypeError),
            mapped.remove(12345),
        ),
        "search": lambda: (plain.search(vectors, 5), mapped.search(vectors[:3], 50)),
        "search failing": lambda: (
            swallow(lambda: plain.search(np.ones(DIM + 1, dtype=np.float32)[None], 2), panic),
            swallow(lambda: mapped.search(strided, 2), ValueError),
            swallow(lambda: plain.search(vectors, -1), OverflowError),
            swallow(lambda: mapped.search(vectors, "3"), TypeError),
        ),
        "readers": lambda: (
            len(plain),
            repr(plain),
            repr(mapped),
            plain.dim,
            mapped.bits,
            mapped.rotation,
            mapped.contains(3),
            7 in mapped,
            plain.prepare(),
            mapped.prepare(),
        ),
        "write and load": lambda: (
            plain.write(plain_path),
            mapped.write(mapped_path),
            GyrelIndex.load(plain_path),
            IdMapIndex.load(mapped_path),
        ),
        "write and load failing": lambda: (
            swallow(lambda: plain.write(missing), OSError),
            swallow(lambda: GyrelIndex.load(missing), OSError),
            swallow(lambda: GyrelIndex.load(mapped_path), OSError),
            swallow(lambda: IdMapIndex.load("bad\0path"), OSError),
        ),
        "borrow conflicts": lambda: (
            swallow(lambda: plain.search(one, Callback(lambda: plain.add(one))), RuntimeError),
            swallow(lambda: mapped.remove(Callback(lambda: len(mapped))), RuntimeError),
        ),
    }


OPERATION_NAMES = [
    "construct",
    "construct failing",
    "add and swap_remove",
    "add failing",
    "add_with_ids and remove",
    "add_with_ids failing",
    "search",
    "search failing",
    "readers",
    "write and load",
    "write and load failing",
    "borrow conflicts",
]


@pytest.mark.parametrize("name", OPERATION_NAMES)
def test_no_growth_over_many_calls(scratch, name):
    call = operations(scratch)[name]
    for _ in range(CALLS // 10):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_bytes()
        for _ in range(CALLS):
            call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        rss_growth = rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
    # One leaked object or buffer per call would be at least 16 bytes x 10,000 calls.
    assert traced_growth < 64 * 1024, traced_growth
    assert rss_growth < 1024 * 1024, rss_growth


def test_results_outlive_the_index(vectors):
    idx = _quilane.IdMapIndex(16, 3)
    idx.add_with_ids(vectors, np.arange(50, dtype=np.uint64))
    scores, found = idx.search(vectors[:4], 5)
    expected = scores.copy(), found.copy()
    del idx
    gc.collect()
    _quilane.GyrelIndex(16, 2).add(vectors)  # reuse freed memory
    np.testing.assert_array_equal(scores, expected[0])
    np.testing.assert_array_equal(found, expected[1])
    scores[0, 0] = 1.5
    assert type(scores.base).__name__ == "PySliceContainer"
    assert scores.base is not found.base
    with pytest.raises(TypeError):
        type(scores.base)()


def test_no_leak_over_many_calls(index, vectors):
    queries = vectors[:16]

    def churn(count):
        for _ in range(count):
            index.search(queries, 32)
            index.search(vectors[:0], 3)
            try:
                index.search(queries, -1)
            except OverflowError:
                pass
            try:
                index.search(np.ones((2, 32), dtype=np.float32), 4)
            except ValueError:
                pass

    churn(1000)
    gc.collect()
    before = rss_bytes()
    churn(10_000)
    gc.collect()
    # A leaked search result alone would be 16 x 32 x 12 bytes per call, 60 MB in all.
    assert rss_bytes() - before < 8 * 2**20
