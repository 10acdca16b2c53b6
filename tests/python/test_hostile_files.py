"""Damaged and malicious index files: each is refused with OSError and a clear message, or, where
the bytes still form a valid file, loads into an index whose searches return well-formed rows.
Never a crash, a hang, or memory the file does not justify."""

import re
import struct

import numpy as np
import pytest

from _quilane import GyrelIndex, IdMapIndex
from helpers import run_python

# Every message a refused file may carry.
REFUSALS = re.compile(
    r"^(failed to fill whole buffer"
    r"|not a QLI[XM] file: wrong magic"
    r"|unsupported QLI[XM] version: \d+"
    r"|unknown rotation kind tag: \d+"
    r"|invalid bits in index file: \d+"
    r"|invalid dim in index file: \d+ \(.*\)"
    r"|duplicate ids in \.qlim file)$"
)

FORMATS = {"QLIX": GyrelIndex, "QLIM": IdMapIndex}


def file_bytes(tmp_path, cls, n=5, dim=16, bits=3, rotation="rotor3"):
    rng = np.random.default_rng(n + dim)
    index = cls(dim, bits, rotation)
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    if cls is GyrelIndex:
        index.add(vectors)
    else:
        index.add_with_ids(vectors, np.arange(n, dtype=np.uint64) * 11 + 3)
    path = tmp_path / "source"
    index.write(str(path))
    return path.read_bytes()


def header(magic, bits, tag, dim, n):
    return magic.encode() + bytes([2, bits, tag]) + struct.pack("<II", dim, n)


def load_bytes(tmp_path, cls, data):
    path = tmp_path / "hostile"
    path.write_bytes(data)
    return cls.load(str(path))


def require_well_formed(cls, index, results, n):
    scores, found = results
    k = max(1, min(n, scores.shape[1]))
    assert scores.shape == found.shape and scores.shape[1] == k
    for row_scores, row in zip(scores, found, strict=True):
        if n == 0:
            assert np.all(np.isneginf(row_scores))
            continue
        if cls is GyrelIndex:
            assert np.all((row >= 0) & (row < n))
        assert len(set(row.tolist())) == k
        # Best first, NaN after every number.
        numbers = row_scores[~np.isnan(row_scores)]
        assert np.all(numbers[:-1] >= numbers[1:])
        assert not np.any(np.isnan(row_scores[: len(numbers)]))


def search_loaded(cls, index):
    n = len(index)
    queries = np.ones((2, index.dim), dtype=np.float32)
    for k in (1, n, n + 3):
        require_well_formed(cls, index, index.search(queries, k), n)


@pytest.mark.parametrize("magic", FORMATS)
def test_every_truncation_fails_to_fill(tmp_path, magic):
    cls = FORMATS[magic]
    data = file_bytes(tmp_path, cls)
    for cut in range(len(data)):
        with pytest.raises(OSError, match="^failed to fill whole buffer$"):
            load_bytes(tmp_path, cls, data[:cut])


@pytest.mark.parametrize("magic", FORMATS)
def test_every_header_byte_damaged(tmp_path, magic):
    """Magic, version, core header and seed, each byte under nine different corruptions: a valid
    file (say, a smaller n with trailing bytes) loads and searches; anything else is refused."""
    cls = FORMATS[magic]
    data = file_bytes(tmp_path, cls)
    loaded = refused = 0
    for offset in range(23):
        for mask in [1 << bit for bit in range(8)] + [0xFF]:
            damaged = bytearray(data)
            damaged[offset] ^= mask
            try:
                index = load_bytes(tmp_path, cls, bytes(damaged))
            except OSError as error:
                assert REFUSALS.match(str(error)), (offset, mask, str(error))
                refused += 1
                continue
            loaded += 1
            if index.dim <= 1024:
                search_loaded(cls, index)
    assert loaded > 0 and refused > 0


@pytest.mark.parametrize(
    "bits, tag, dim, message",
    [
        (0, 3, 8, "invalid bits in index file: 0"),
        (1, 3, 8, "invalid bits in index file: 1"),
        (5, 3, 8, "invalid bits in index file: 5"),
        (255, 3, 8, "invalid bits in index file: 255"),
        (2, 0, 8, "unknown rotation kind tag: 0"),
        (2, 1, 8, "unknown rotation kind tag: 1"),
        (2, 6, 8, "unknown rotation kind tag: 6"),
        (2, 255, 8, "unknown rotation kind tag: 255"),
        (2, 3, 0, "invalid dim in index file: 0 (must be a positive multiple of 8)"),
        (2, 3, 12, "invalid dim in index file: 12 (must be a positive multiple of 8)"),
        (2, 5, 24, "invalid dim in index file: 24 (walshrotor3 needs a power of 2)"),
        (2, 5, 2**31 + 8, "invalid dim in index file: 2147483656 (walshrotor3 needs a power of 2)"),
    ],
)
@pytest.mark.parametrize("magic", FORMATS)
def test_parameters_no_index_can_have_are_refused(tmp_path, magic, bits, tag, dim, message):
    data = header(magic, bits, tag, dim, 0) + bytes(8)
    with pytest.raises(OSError) as info:
        load_bytes(tmp_path, FORMATS[magic], data)
    assert str(info.value) == message


# Headers whose sizes, taken in 32 bits, wrap around to the bytes that really follow: codes of
# 2n bytes plus 4n of norms (plus 8n of ids) is 2 or 6 modulo 2^32. Each must fail to fill, at
# once, under an address-space limit far below what the header claims.
HOSTILE_SIZES = """
    import resource, struct
    import _quilane
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * 4096
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 256 * 2**20, resource.RLIM_INFINITY))
    cases = [
        ("QLIX", 2, 8, 715827883, 2 + 8),          # 6n = 2 (mod 2^32)
        ("QLIM", 2, 8, 306783379, 6 + 8),          # 14n = 6 (mod 2^32)
        ("QLIX", 4, 2**32 - 8, 2**32 - 1, 64),     # codes alone: 2^63 bytes
        ("QLIM", 4, 2**32 - 8, 2**32 - 1, 64),
        ("QLIX", 2, 8, 2**32 - 1, 2**16),          # n of a 64 KB file's worth
    ]
    for magic, bits, dim, n, body in cases:
        with open(path, "wb") as f:
            f.write(magic.encode() + bytes([2, bits, 3]) + struct.pack("<II", dim, n) + bytes(body))
        cls = _quilane.GyrelIndex if magic == "QLIX" else _quilane.IdMapIndex
        try:
            cls.load(path)
            print("loaded")
        except OSError as error:
            print(error)
    # An empty index may declare any dim: it loads without allocating for it, and only asking
    # it for the transform of such a dim runs out of memory.
    with open(path, "wb") as f:
        f.write(b"QLIX" + bytes([2, 3, 3]) + struct.pack("<II", 2**32 - 8, 0) + bytes(8))
    index = _quilane.GyrelIndex.load(path)
    print(repr(index))
    try:
        index.prepare()
    except MemoryError:
        print("prepare: MemoryError")
    print(len(index))
"""


def test_sizes_that_overflow_or_wrap_are_refused_without_allocating(tmp_path):
    result = run_python(f"    path = {str(tmp_path / 'hostile')!r}\n" + HOSTILE_SIZES)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed to fill whole buffer"] * 5 + [
        "GyrelIndex(dim=4294967288, bits=3, rotation='rotor3', n=0)",
        "prepare: MemoryError",
        "0",
    ]


@pytest.mark.parametrize("magic", FORMATS)
def test_non_finite_norms_keep_rows_well_formed(tmp_path, magic):
    """A file that passes every check with NaN, infinite, zero, negative and subnormal norms."""
    cls = FORMATS[magic]
    n, dim = 9, 16
    data = bytearray(file_bytes(tmp_path, cls, n=n, dim=dim))
    norms_at = 15 + 3 * (dim // 8) * n
    weird = [np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 1e-45, np.nan, np.inf]
    data[norms_at : norms_at + 4 * n] = np.array(weird, dtype="<f4").tobytes()
    index = load_bytes(tmp_path, cls, bytes(data))
    search_loaded(cls, index)
    rng = np.random.default_rng(3)
    queries = rng.standard_normal((4, dim)).astype(np.float32)
    scores, found = index.search(queries, n)
    require_well_formed(cls, index, (scores, found), n)
    # Every stored vector is ranked exactly once per row, NaN scores last.
    expected = set(range(n)) if cls is GyrelIndex else set((np.arange(n) * 11 + 3).tolist())
    for row_scores, row in zip(scores, found, strict=True):
        assert set(row.tolist()) == expected
        assert np.isnan(row_scores[-1])


# A few wide vectors: the loaded index holds their codes and norms and hardly more, whatever n is
# modulo the scan's block of 16 (the last, partial block is kept compact, not padded).
WIDE_FILE_MEMORY = """
    import os, struct
    import _quilane
    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    dim, bits = 2**23, 2
    for n in (1, 15, 17):
        held = n * (bits * dim // 8 + 4)
        with open(path, "wb") as f:
            f.write(b"QLIX" + bytes([2, bits, 3]) + struct.pack("<II", dim, n))
            f.write(bytes(n * bits * dim // 8) + bytes(4 * n) + bytes(8))
        before = rss()
        index = _quilane.GyrelIndex.load(path)
        grown = rss() - before
        print(n, grown <= 1.02 * held + 4 * 2**20, grown, held)
        del index
"""


def test_wide_files_take_the_memory_they_hold(tmp_path):
    result = run_python(f"    path = {str(tmp_path / 'wide')!r}\n" + WIDE_FILE_MEMORY)
    assert result.returncode == 0, result.stderr
    assert [line.split()[:2] for line in result.stdout.splitlines()] == [
        ["1", "True"],
        ["15", "True"],
        ["17", "True"],
    ], result.stdout
