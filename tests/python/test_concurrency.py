"""Threads sharing one index, calls re-entered from argument conversion, and processes forked
after the parent has searched."""

import multiprocessing
import os
import threading

import numpy as np
import pytest

from _quilane import GyrelIndex, IdMapIndex
from helpers import Callback


def same(results, expected):
    return all(np.array_equal(a, b) for a, b in zip(results, expected, strict=True))


def test_searchers_and_readers_share_an_index(index, id_index, vectors, short_switch_interval):
    expected_plain = index.search(vectors, 9)
    expected_ids = id_index.search(vectors, 9)
    plain_repr, mapped_repr = repr(index), repr(id_index)
    start = threading.Barrier(6)
    failures = []

    def searcher(target, expected):
        start.wait()
        for _ in range(300):
            if not same(target.search(vectors, 9), expected):
                failures.append("search changed")

    def reader():
        start.wait()
        for step in range(20000):
            ok = (
                len(index) == 50
                and len(id_index) == 50
                and id_index.contains(100 + step % 50)
                and (150 + step) not in id_index
                and repr(index) == plain_repr
                and repr(id_index) == mapped_repr
                and index.dim == 16
            )
            if not ok:
                failures.append("reader saw a change")
            if step % 5000 == 0:
                index.prepare()

    threads = [
        threading.Thread(target=searcher, args=(index, expected_plain)),
        threading.Thread(target=searcher, args=(index, expected_plain)),
        threading.Thread(target=searcher, args=(id_index, expected_ids)),
        threading.Thread(target=reader),
        threading.Thread(target=reader),
        threading.Thread(target=reader),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive()
    assert failures == []


def test_mutation_from_inside_a_call_is_refused_and_changes_nothing(
    index, id_index, vectors, tmp_path
):
    queries = vectors[:5]
    before = index.search(queries, 50), id_index.search(queries, 50)
    one = vectors[:1]
    new_id = np.array([7], dtype=np.uint64)
    mutations = {
        "add": lambda: index.add(one),
        "swap_remove": lambda: index.swap_remove(0),
        "add_with_ids": lambda: id_index.add_with_ids(one, new_id),
        "remove": lambda: id_index.remove(100),
    }
    for name, mutate in mutations.items():
        target = index if name in ("add", "swap_remove") else id_index
        # Inside a reading call (a shared borrow) and inside a mutating one (exclusive).
        calls = [
            lambda cb, target=target: target.search(queries, cb),
            lambda cb, target=target: (
                index.swap_remove(cb) if target is index else id_index.remove(cb)
            ),
        ]
        if target is id_index:
            calls.append(lambda cb: id_index.contains(cb))
            calls.append(lambda cb: cb in id_index)
        for call in calls:
            with pytest.raises(RuntimeError, match="^Already (mutably )?borrowed$"):
                call(Callback(mutate, 10**9))
    assert len(index) == 50 and len(id_index) == 50
    assert same(index.search(queries, 50), before[0])
    assert same(id_index.search(queries, 50), before[1])
    # Both objects were released after every refusal.
    index.add(one)
    id_index.add_with_ids(one, new_id)
    path = str(tmp_path / "after")
    id_index.write(path)
    assert len(IdMapIndex.load(path)) == 51


# Set before forking, so that children inherit them.
forked_index = None
forked_queries = None


def search_in_child(k):
    scores, found = forked_index.search(forked_queries, k)
    fresh = GyrelIndex(16, 2)
    fresh.add(forked_queries)
    return scores, found, fresh.search(forked_queries, 1)[1]


def test_forked_children_search_like_the_parent(index, vectors):
    global forked_index, forked_queries
    forked_index, forked_queries = index, vectors[:8]
    # The parent has searched, so the worker pool is running when it forks.
    expected = {k: index.search(forked_queries, k) for k in (1, 5, 50)}
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        results = pool.map_async(search_in_child, [1, 5, 50, 5]).get(timeout=120)
    for k, (scores, found, own) in zip([1, 5, 50, 5], results, strict=True):
        np.testing.assert_array_equal(scores, expected[k][0])
        np.testing.assert_array_equal(found, expected[k][1])
        np.testing.assert_array_equal(own[:, 0], np.arange(8))

    # A bare fork as well, whose child exits without any interpreter cleanup.
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        ok = same(index.search(forked_queries, 5), expected[5])
        os.write(write, b"1" if ok else b"0")
        os._exit(0)
    os.close(write)
    assert os.read(read, 1) == b"1"
    os.close(read)
    assert os.waitpid(pid, 0)[1] == 0


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
