"""Serving from threads: calls that release the interpreter lock, borrows waited for across
threads, the threads knob and interruptible calls."""

import inspect
import json
import os
import sys
import threading

import numpy as np
import pytest

import _quilane
from _quilane import GyrelIndex, IdMapIndex
from helpers import run_python

KINDS = ["planar2", "rotor3", "iso4", "walshrotor3"]


class Callback:
    """An integer argument whose conversion runs an action first."""

    def __init__(self, action, value):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value


def same(first, second):
    return all(np.array_equal(a, b) for a, b in zip(first, second, strict=True))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bits", [2, 3, 4])
def test_released_calls_give_the_same_results(kind, bits, tmp_path, rng):
    vectors = rng.standard_normal((300, 16)).astype(np.float32)
    queries = rng.standard_normal((7, 16)).astype(np.float32)
    ids = np.arange(5000, 5300, dtype=np.uint64)
    held, released = GyrelIndex(16, bits, kind), GyrelIndex(16, bits, kind)
    held.add(vectors)
    released.prepare(release_gil=True)
    released.add(vectors, release_gil=True)
    expected = held.search(queries, 10)
    assert same(released.search(queries, 10, release_gil=True), expected)
    assert same(held.search(queries, 10, release_gil=True), expected)
    held.write(str(tmp_path / "held"))
    released.write(str(tmp_path / "released"), release_gil=True)
    assert (tmp_path / "held").read_bytes() == (tmp_path / "released").read_bytes()
    loaded = GyrelIndex.load(str(tmp_path / "released"), release_gil=True)
    assert same(loaded.search(queries, 10, release_gil=True), expected)
    data = released.to_bytes(release_gil=True)
    assert data == held.to_bytes() == (tmp_path / "held").read_bytes()
    assert same(GyrelIndex.from_bytes(bytearray(data), release_gil=True).search(queries, 10), expected)

    mapped_held, mapped_released = IdMapIndex(16, bits, kind), IdMapIndex(16, bits, kind)
    mapped_held.add_with_ids(vectors, ids)
    mapped_released.add_with_ids(vectors, ids, release_gil=True)
    expected = mapped_held.search(queries, 10)
    assert same(mapped_released.search(queries, 10, release_gil=True), expected)
    mapped_released.write(str(tmp_path / "mapped"), release_gil=True)
    loaded = IdMapIndex.load(str(tmp_path / "mapped"), release_gil=True)
    loaded.prepare(release_gil=True)
    assert same(loaded.search(queries, 10, release_gil=True), expected)
    data = mapped_released.to_bytes(release_gil=True)
    assert data == mapped_held.to_bytes()
    assert same(IdMapIndex.from_bytes(data, release_gil=True).search(queries, 10), expected)


FIRST_PARAGRAPHS = {
    (GyrelIndex, "add"): "Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D\n"
    "`float32` array of shape `(n, dim)`.",
    (GyrelIndex, "search"): "Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays.",
    (GyrelIndex, "prepare"): "Eagerly populate caches (block-rotation matrices, Lloyd-Max\n"
    "centroids) so the first `search` call doesn't pay the init cost.",
    (IdMapIndex, "add_with_ids"): "Add vectors with stable external `uint64` ids.",
    (IdMapIndex, "search"): "Top-`k` search returning external ids. Returns `(scores, ids)` as\n"
    "`(nq, k)` arrays.",
}


@pytest.mark.parametrize("cls", [GyrelIndex, IdMapIndex])
def test_release_gil_is_keyword_only_and_documented(cls, vectors):
    methods = ["search", "write", "load", "prepare", "to_bytes", "from_bytes"]
    methods.append("add" if cls is GyrelIndex else "add_with_ids")
    for name in methods:
        method = getattr(cls, name)
        parameter = inspect.signature(method).parameters["release_gil"]
        assert parameter.kind is inspect.Parameter.KEYWORD_ONLY and parameter.default is False
        assert method.__text_signature__.endswith("release_gil=False)")
        assert ", *, " in method.__text_signature__
        paragraphs = method.__doc__.split("\n\n")
        expected = FIRST_PARAGRAPHS.get((cls, name))
        if expected is not None:
            assert paragraphs[0] == expected
        assert paragraphs[-1].startswith("With `release_gil=True` the interpreter lock")
    index = cls(16, 2)
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        index.search(vectors, 1, True)
    with pytest.raises(TypeError, match=r"^prepare\(\) takes no arguments|takes no arguments"):
        index.prepare(True)


def test_same_thread_reentrance_still_raises_in_released_calls(index, id_index, vectors):
    one = vectors[:1]
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        index.search(vectors[:1], Callback(lambda: index.add(one), 3), release_gil=True)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        id_index.remove(Callback(lambda: id_index.search(one, 1, release_gil=True), 100))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        id_index.search(one, Callback(lambda: id_index.add_with_ids(
            one, np.array([1], dtype=np.uint64), release_gil=True), 1), release_gil=True)
    assert len(index) == 50 and len(id_index) == 50


def run_in_thread(call):
    """Starts call on a thread; the returned dict gets its result or exception."""
    outcome = {}

    def target():
        try:
            outcome["result"] = call()
        except BaseException as error:  # noqa: BLE001 - reported to the test
            outcome["error"] = error

    thread = threading.Thread(target=target)
    thread.start()
    return thread, outcome


def test_another_threads_conflicting_call_waits_for_the_borrow(index, vectors):
    queries = vectors[:3]
    waiting = {}

    def while_searching():
        # This thread shares the index; another thread's add must wait, not raise.
        waiting["add"] = run_in_thread(lambda: index.add(vectors[:2]))
        waiting["add"][0].join(timeout=0.3)
        waiting["still waiting"] = waiting["add"][0].is_alive()
        # Shared borrows of other threads proceed, released or not.
        reader, outcome = run_in_thread(lambda: index.search(queries, 4, release_gil=True))
        reader.join(timeout=60)
        waiting["reader"] = outcome

    for release in (False, True):
        count = len(index)
        expected = index.search(queries, 4)
        scores, _ = index.search(queries, Callback(while_searching, 4), release_gil=release)
        thread, outcome = waiting["add"]
        thread.join(timeout=60)
        assert not thread.is_alive() and "error" not in outcome
        assert waiting["still waiting"]
        assert same(waiting["reader"]["result"], expected)
        assert len(index) == count + 2


def test_mixed_threads_end_where_a_serial_replay_ends(tmp_path, short_switch_interval):
    rng = np.random.default_rng(7)
    dim = 16
    initial = rng.standard_normal((200, dim)).astype(np.float32)
    batches = [rng.standard_normal((5, dim)).astype(np.float32) for _ in range(80)]
    queries = rng.standard_normal((6, dim)).astype(np.float32)
    index = IdMapIndex(dim, 3)
    index.add_with_ids(initial, np.arange(200, dtype=np.uint64))
    plain = GyrelIndex(dim, 3)
    plain.add(initial)
    failures = []
    start = threading.Barrier(7)

    def adder(first):
        start.wait()
        for step in range(first, len(batches), 2):
            ids = np.arange(1000 + 5 * step, 1005 + 5 * step, dtype=np.uint64)
            index.add_with_ids(batches[step], ids, release_gil=step % 4 < 2)
            plain.add(batches[step], release_gil=step % 4 == 0)

    def remover():
        start.wait()
        for position, id_ in enumerate(range(0, 200, 3)):
            if not index.remove(id_):
                failures.append(f"id {id_} was not there")
            if position % 3 == 0:
                plain.swap_remove(0)

    def searcher(release):
        start.wait()
        for _ in range(60):
            for target in (index, plain):
                scores, _ = target.search(queries, 5, release_gil=release)
                if scores.shape != (6, 5) or not np.all(np.diff(scores, axis=1) <= 0):
                    failures.append("a search came back malformed")

    def writer():
        start.wait()
        for step in range(15):
            path = str(tmp_path / f"copy{step % 2}")
            index.write(path, release_gil=step % 2 == 0)
            copy = IdMapIndex.load(path, release_gil=True)
            if not 200 - 67 <= len(copy) <= 200 + 400:
                failures.append(f"a copy held {len(copy)} vectors")

    threads = [
        threading.Thread(target=adder, args=(0,)),
        threading.Thread(target=adder, args=(1,)),
        threading.Thread(target=remover),
        threading.Thread(target=searcher, args=(True,)),
        threading.Thread(target=searcher, args=(False,)),
        threading.Thread(target=searcher, args=(True,)),
        threading.Thread(target=writer),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive(), "a thread never finished"
    assert failures == []

    replay = IdMapIndex(dim, 3)
    replay.add_with_ids(initial, np.arange(200, dtype=np.uint64))
    for step, batch in enumerate(batches):
        replay.add_with_ids(batch, np.arange(1000 + 5 * step, 1005 + 5 * step, dtype=np.uint64))
    for id_ in range(0, 200, 3):
        replay.remove(id_)
    assert len(index) == len(replay) == 200 - 67 + 400
    # Positions differ with the interleaving; each id's score does not.
    def by_id(target):
        scores, ids = target.search(queries, len(replay))
        order = np.argsort(ids, axis=1)
        return np.take_along_axis(ids, order, 1), np.take_along_axis(scores, order, 1)

    assert same(by_id(index), by_id(replay))
    assert len(plain) == 200 + 400 - 23
    assert plain.search(queries, 1)[0].shape == (6, 1)


def test_the_threads_knob(vectors, index):
    default = _quilane.get_num_threads()
    assert default == len(os.sched_getaffinity(0))
    expected = index.search(vectors, 7)
    try:
        for threads in (1, 3):
            _quilane.set_num_threads(threads)
            assert _quilane.get_num_threads() == threads
            assert same(index.search(vectors, 7, release_gil=True), expected)
        for bad in (0, -1):
            with pytest.raises(ValueError, match=f"^n must be at least 1 \\(got {bad}\\)$"):
                _quilane.set_num_threads(bad)
        with pytest.raises(TypeError, match="^argument 'n'"):
            _quilane.set_num_threads("2")
        assert _quilane.get_num_threads() == 3
    finally:
        _quilane.set_num_threads(default)


def test_the_threads_knob_from_the_environment():
    code = """
        import numpy as np
        import quilane
        print(quilane.get_num_threads())
        index = quilane.GyrelIndex(8, 2)
        index.add(np.ones((20, 8), dtype=np.float32))
        print(index.search(np.ones((1, 8), dtype=np.float32), 3)[1].shape)
    """
    env = dict(os.environ, QUILANE_NUM_THREADS="1")
    result = run_python_with_env(code, env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["1", "(1, 3)"]
    env["QUILANE_NUM_THREADS"] = "two"
    result = run_python_with_env(code, env)
    assert result.returncode != 0
    assert "QUILANE_NUM_THREADS must be a positive integer (got 'two')" in result.stderr


def run_python_with_env(code, env):
    import subprocess
    import textwrap

    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=300, env=env,
    )


# A search or add long enough to be interrupted in its middle. SIGINT comes from another process,
# as a terminal's Ctrl-C does: a Python thread could not send it while a call holds the lock.
# The handler probes the index: inside the call this thread holds it, so a conflicting call is
# refused, which proves the handler ran during the call and not after it returned.
INTERRUPTED = """
    import json, os, signal, subprocess, time
    import numpy as np
    from _quilane import GyrelIndex, IdMapIndex

    rng = np.random.default_rng(3)
    dim = 128
    index = GyrelIndex(dim, 4)
    index.add(rng.standard_normal((50_000, dim), dtype=np.float32))
    index.prepare()
    # Some seconds of searching, well past the signal at 0.3 s.
    queries = rng.standard_normal((40_000, dim), dtype=np.float32)
    # Wide zero vectors, read from zero pages: encoding them takes seconds, memory does not.
    wide = GyrelIndex(1024, 2)
    wide.prepare()
    mapped = IdMapIndex(1024, 2)
    mapped.prepare()
    batch = np.zeros(({batch}, 1024), dtype=np.float32)
    ids = np.arange(len(batch), dtype=np.uint64)
    probe = None
    report = {{}}

    def handler(signum, frame):
        report["latency"] = time.perf_counter() - report["started"] - 0.3
        try:
            probe()
            report["inside"] = False
        except RuntimeError:
            report["inside"] = True
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, handler)
    results = []
    calls = [
        ("search", lambda r: index.search(queries, 10, release_gil=r),
         lambda: index.add(queries[:0])),
        ("add", lambda r: wide.add(batch, release_gil=r), lambda: len(wide)),
        ("add_with_ids", lambda r: mapped.add_with_ids(batch, ids, release_gil=r),
         lambda: len(mapped)),
    ]
    for name, call, probe in calls:
        for release in (False, True):
            report = {{}}
            before = len(index), len(wide), len(mapped)
            sender = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {{os.getpid()}}"])
            report["started"] = time.perf_counter()
            try:
                call(release)
                report["completed"] = True
            except KeyboardInterrupt:
                report["completed"] = False
            sender.wait()
            report["unchanged"] = (len(index), len(wide), len(mapped)) == before
            report["usable"] = index.search(queries[:2], 3)[0].shape == (2, 3)
            wide.add(batch[:3])
            report["usable"] &= len(wide) == before[1] + 3
            results.append((name, release, report))
    print(json.dumps(results))
"""


def test_sigint_interrupts_search_and_add_in_either_mode():
    result = run_python(INTERRUPTED.format(batch=1_000_000))
    assert result.returncode == 0, result.stderr
    for name, release, report in json.loads(result.stdout):
        assert report["completed"] is False, (name, release)
        assert report["inside"] is True, (name, release)
        assert report["unchanged"] and report["usable"], (name, release)
