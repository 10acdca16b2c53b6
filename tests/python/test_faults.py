"""Writes that fail part way, writers killed part way, and calls that run out of memory: each
raises the right exception, keeps the file that was there, and leaves the index usable."""

import os
import struct

import numpy as np
import pytest

from _quilane import GyrelIndex
from helpers import run_python


def built_index(n, dim=64, seed=0):
    index = GyrelIndex(dim, 3)
    index.add(np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32))
    return index


FILE_SIZE_LIMIT = """
    import os, resource, signal
    import numpy as np
    import _quilane
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    old = _quilane.GyrelIndex(64, 3)
    old.add(np.ones((10, 64), dtype=np.float32))
    old.write(path)
    big = _quilane.IdMapIndex(64, 3)
    big.add_with_ids(np.ones((5000, 64), dtype=np.float32), np.arange(5000, dtype=np.uint64))
    resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
    try:
        big.write(path)
    except OSError as error:
        print(error)
    try:
        big.write(os.path.join(os.path.dirname(path), "fresh"))
    except OSError as error:
        print(error)
    print(sorted(os.listdir(os.path.dirname(path))))
    print(len(big), len(_quilane.GyrelIndex.load(path)))
"""


def test_file_size_limit_keeps_the_old_file(tmp_path):
    path = tmp_path / "index"
    result = run_python(f"    path = {str(path)!r}\n" + FILE_SIZE_LIMIT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "File too large (os error 27)",
        "File too large (os error 27)",
        "['index']",
        "5000 10",
    ]


def test_full_device_is_an_os_error():
    with pytest.raises(OSError, match=r"^No space left on device \(os error 28\)$"):
        built_index(3000).write("/dev/full")


def test_writing_through_a_symlink_replaces_its_target(tmp_path):
    target = tmp_path / "data" / "index"
    target.parent.mkdir()
    built_index(3).write(str(target))
    link = tmp_path / "link"
    link.symlink_to(target)
    built_index(7).write(str(link))
    assert link.is_symlink()
    assert len(GyrelIndex.load(str(target))) == 7
    assert sorted(os.listdir(target.parent)) == ["index"]


# A forked child writes two indexes in turn, as fast as it can, until the parent kills it at a
# random moment; each time the file must be exactly one of the two.
KILLED_WRITER = """
    import os, random, signal, time
    import numpy as np
    import _quilane
    rng = np.random.default_rng(0)
    indexes, contents = [], []
    for n in (20000, 15000):
        index = _quilane.IdMapIndex(64, 3)
        index.add_with_ids(rng.standard_normal((n, 64)).astype(np.float32),
                           np.arange(n, dtype=np.uint64) * 3)
        index.write(path)
        with open(path, "rb") as f:
            contents.append(f.read())
        indexes.append(index)
    chooser = random.Random(7)
    outcomes = []
    for _ in range(kills):
        pid = os.fork()
        if pid == 0:
            while True:
                for index in indexes:
                    index.write(path)
        time.sleep(chooser.uniform(0, 0.03))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        with open(path, "rb") as f:
            outcomes.append(contents.index(f.read()))
        loaded = _quilane.IdMapIndex.load(path)
        assert len(loaded) == (20000, 15000)[outcomes[-1]]
    print(sorted(set(outcomes)))
    # A killed writer cannot remove its temporary file; nothing else may be left.
    names = os.listdir(os.path.dirname(path))
    print(all(name == "index" or name.startswith(".index.") for name in names))
"""


def test_writer_killed_at_any_moment_leaves_the_old_or_the_new_file(tmp_path):
    path = tmp_path / "index"
    result = run_python(f"    path, kills = {str(path)!r}, 40\n" + KILLED_WRITER)
    assert result.returncode == 0, result.stderr
    # Both outcomes occur, so the kills did land at different moments.
    assert result.stdout.splitlines() == ["[0, 1]", "True"]


MEMORY_LIMITED = """
    import resource
    import numpy as np
    import _quilane
    rng = np.random.default_rng(0)
    index = _quilane.IdMapIndex(64, 3)
    index.add_with_ids(rng.standard_normal((100, 64)).astype(np.float32),
                       np.arange(100, dtype=np.uint64))
    index.search(np.ones((1, 64), dtype=np.float32), 1)  # caches and pool
    plain = _quilane.GyrelIndex(64, 3)
    plain.add(rng.standard_normal((100, 64)).astype(np.float32))
    # Untouched zero pages: 768 MB of address space, 84 MB of codes and norms once added.
    big = np.zeros((3_000_000, 64), dtype=np.float32)
    big_ids = np.arange(1000, 1000 + 3_000_000, dtype=np.uint64)
    queries = rng.standard_normal((3, 64)).astype(np.float32)
    expected = index.search(queries, 5)
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * 4096
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 32 * 2**20, resource.RLIM_INFINITY))

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096

    def fails(call):
        try:
            call()
        except MemoryError:
            return "MemoryError"
        return "no error"

    print("add", fails(lambda: plain.add(big)))
    print("add_with_ids", fails(lambda: index.add_with_ids(big, big_ids)))
    print("load", fails(lambda: _quilane.GyrelIndex.load(path)))
    before = rss()
    for _ in range(20):
        fails(lambda: plain.add(big))
        fails(lambda: index.add_with_ids(big, big_ids))
        fails(lambda: _quilane.GyrelIndex.load(path))
    print("growth below 4 MB", rss() - before < 4 * 2**20)
    print(len(plain), len(index), 1000 in index)
    print(all((a == b).all() for a, b in zip(index.search(queries, 5), expected)))
    plain.add(np.ones((1, 64), dtype=np.float32))
    index.add_with_ids(np.ones((1, 64), dtype=np.float32), np.array([1000], dtype=np.uint64))
    print(len(plain), len(index))
"""


def test_out_of_memory_leaves_indexes_usable_and_leaks_nothing(tmp_path):
    # A valid file larger than the memory left to the process that loads it: 60 MB.
    path = tmp_path / "big"
    n = 10_000_000
    with open(path, "wb") as f:
        f.write(b"QLIX" + bytes([2, 2, 3]) + struct.pack("<II", 8, n))
        f.write(bytes(2 * n))
        f.write(np.ones(n, dtype="<f4").tobytes())
        f.write(bytes(8))
    result = run_python(f"    path = {str(path)!r}\n" + MEMORY_LIMITED)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "add MemoryError",
        "add_with_ids MemoryError",
        "load MemoryError",
        "growth below 4 MB True",
        "100 100 False",
        "True",
        "101 101",
    ]


LIMITED_ADDRESS_SPACE = """
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
        LIMITED_ADDRESS_SPACE
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
