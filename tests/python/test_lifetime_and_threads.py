import gc
import threading

import numpy as np
import pytest

import _quilane
from helpers import run_python


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


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


def test_searches_from_several_threads(index, vectors):
    expected = index.search(vectors, 7)
    failures = []

    def worker():
        for _ in range(30):
            scores, indices = index.search(vectors, 7)
            if not (np.array_equal(scores, expected[0]) and np.array_equal(indices, expected[1])):
                failures.append("different result")

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


class Callback:
    """An integer argument whose conversion calls back into the index."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value


def test_borrow_conflicts_through_index(index, id_index, vectors):
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        index.search(vectors[:1], Callback(lambda: index.add(vectors[:1]), 3))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        index.swap_remove(Callback(lambda: len(index)))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        id_index.remove(Callback(lambda: id_index.contains(100), 100))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        Callback(lambda: id_index.remove(101), 101) in id_index  # noqa: B015
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        index.swap_remove(Callback(lambda: repr(index)))
    # Shared borrows nest; every borrow was released, so everything works again.
    assert index.search(vectors[:1], Callback(lambda: index.search(vectors[:1], 1), 2))[0].shape == (1, 2)
    assert len(index) == 50 and len(id_index) == 50 and 100 in id_index and 101 in id_index
    index.add(vectors[:1])
    assert index.swap_remove(50) == 50


def test_array_changed_by_a_later_argument_is_read_as_it_is_then(index, vectors):
    # k's __index__ runs after queries was accepted; the buffer is read only after it returns.
    queries = vectors[:4].copy()
    shrink = Callback(lambda: queries.resize((0, 16), refcheck=False), 3)
    scores, _ = index.search(queries, shrink)
    assert scores.shape == (0, 3)
    queries = vectors[:4].copy()
    retype = Callback(lambda: setattr(queries, "dtype", np.int32), 3)
    with pytest.raises(TypeError, match="^argument 'queries': 'ndarray' object cannot be cast"):
        index.search(queries, retype)


MEMORY_LIMITED = """
    import resource
    import numpy as np
    import _quilane
    _quilane.GyrelIndex(8, 2).search(np.ones((1, 8), dtype=np.float32), 1)  # start the pool
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * 4096
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 512 * 2**20, resource.RLIM_INFINITY))
"""


def test_out_of_memory_is_a_memory_error():
    result = run_python(
        MEMORY_LIMITED
        + """
    rng = np.random.default_rng(0)
    idx = _quilane.GyrelIndex(8, 2)
    idx.add(rng.standard_normal((4000, 8)).astype(np.float32))
    queries = rng.standard_normal((30000, 8)).astype(np.float32)
    try:
        idx.search(queries, 4000)  # 30000 x 4000 results: 1.4 GB
    except MemoryError:
        print("search: MemoryError")
    huge = _quilane.GyrelIndex(2**40, 4)
    try:
        huge.prepare()
    except MemoryError:
        print("prepare: MemoryError")
    print(repr(huge))
    print(idx.search(queries[:2], 3)[0].shape, len(idx))
    """
    )
    assert result.stdout.splitlines() == [
        "search: MemoryError",
        "prepare: MemoryError",
        "GyrelIndex(dim=1099511627776, bits=4, rotation='rotor3', n=0)",
        "(2, 3) 4000",
    ], result.stderr
