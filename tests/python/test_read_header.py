"""quilane.read_header and read_header_bytes: the header of a file, refused exactly when and as
load refuses it for what the header declares, without reading the vectors."""

import os
import struct

import numpy as np
import pytest

import quilane
from _quilane import GyrelIndex, IdMapIndex
from test_hostile_files import FORMATS, file_bytes, header, load_bytes


def read_both_ways(tmp_path, data):
    """The header through the file and through the bytes; both must agree."""
    path = tmp_path / "header"
    path.write_bytes(data)
    from_file = quilane.read_header(str(path))
    assert quilane.read_header_bytes(data) == from_file
    assert quilane.read_header_bytes(bytearray(data)) == from_file
    assert quilane.read_header_bytes(np.frombuffer(data, np.uint8)) == from_file
    return from_file


@pytest.mark.parametrize("magic", FORMATS)
@pytest.mark.parametrize("rotation", ["planar2", "rotor3", "iso4", "walshrotor3"])
def test_header_of_a_written_file(tmp_path, magic, rotation):
    data = file_bytes(tmp_path, FORMATS[magic], n=5, dim=16, bits=3, rotation=rotation)
    found = read_both_ways(tmp_path, data)
    assert found == (magic, 2, 3, rotation, 16, 5)
    assert (found.magic, found.dim, found.n) == (magic, 16, 5)


@pytest.mark.parametrize("magic", FORMATS)
def test_refused_exactly_as_load_refuses_the_header(tmp_path, magic):
    """Every cut and every damaged header byte: read_header fails with load's message, or
    succeeds where load fails only for what lies past the header (a repeated id)."""
    cls = FORMATS[magic]
    data = file_bytes(tmp_path, cls)
    variants = [data[:cut] for cut in range(len(data))]
    for offset in range(15):
        for mask in (1, 4, 0x10, 0x80, 0xFF):
            damaged = bytearray(data)
            damaged[offset] ^= mask
            variants.append(bytes(damaged))
    for variant in variants:
        try:
            load_bytes(tmp_path, cls, variant)
            load_error = None
        except OSError as error:
            load_error = str(error)
        try:
            read_both_ways(tmp_path, variant)
            header_error = None
        except OSError as error:
            header_error = str(error)
        if load_error == f"not a {magic} file: wrong magic":
            assert header_error == "not a QLIX or QLIM file: wrong magic"
        else:
            assert header_error == load_error, (variant[:15], header_error, load_error)


def test_repeated_ids_lie_past_the_header(tmp_path):
    index = IdMapIndex(8, 2)
    index.add_with_ids(np.ones((2, 8), np.float32), np.array([5, 6], np.uint64))
    path = tmp_path / "ids"
    index.write(str(path))
    data = path.read_bytes()
    repeated = data[:-8] + data[-16:-8]
    assert read_both_ways(tmp_path, repeated) == ("QLIM", 2, 2, "rotor3", 8, 2)
    with pytest.raises(OSError, match="^duplicate ids in .qlim file$"):
        load_bytes(tmp_path, IdMapIndex, repeated)


def test_reads_only_the_header_of_a_huge_file(tmp_path):
    """A 32 GB file (holes) whose declared size it holds: read_header answers at once."""
    path = tmp_path / "huge"
    dim, n = 2**32 - 8, 64
    with open(path, "wb") as f:
        f.write(header("QLIX", 4, 4, dim, n))
        f.truncate(15 + n * (4 * dim // 8 + 4) + 8)
    assert quilane.read_header(str(path)) == ("QLIX", 2, 4, "iso4", dim, n)
    os.truncate(path, os.path.getsize(path) - 1)
    with pytest.raises(OSError, match="^failed to fill whole buffer$"):
        quilane.read_header(str(path))


def test_arguments_and_stream_sources(tmp_path):
    refused_bytes = "^argument 'path': 'bytes' object cannot be cast as 'str'$"
    with pytest.raises(TypeError, match=refused_bytes):
        quilane.read_header(b"index")
    with pytest.raises(TypeError):
        quilane.read_header_bytes("QLIX")
    with pytest.raises(OSError, match=r"No such file or directory \(os error 2\)"):
        quilane.read_header(str(tmp_path / "missing"))
    with pytest.raises(OSError, match="file name contained an unexpected NUL byte"):
        quilane.read_header("a\0b")
    # A FIFO has no size to check the body against: the header alone is read.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)
    os.write(writer, header("QLIM", 2, 2, 64, 3))
    assert quilane.read_header(str(fifo)) == ("QLIM", 2, 2, "planar2", 64, 3)
    os.close(writer)


def test_readme_untrusted_files_check_runs_as_written(tmp_path, monkeypatch):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    section = readme.split("## Untrusted files", 1)[1].split("\n## ", 1)[0]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    namespace = {}
    exec(compile(code, "README untrusted files", "exec"), namespace)
    load_trusted_size = namespace["load_trusted_size"]

    index = GyrelIndex(64, 4)
    index.add(np.ones((3, 64), np.float32))
    index.write(str(tmp_path / "small"))
    assert len(load_trusted_size(str(tmp_path / "small"))) == 3
    ids = IdMapIndex(64, 2)
    ids.write(str(tmp_path / "ids"))
    assert isinstance(load_trusted_size(str(tmp_path / "ids")), IdMapIndex)
    # 23 bytes that would cost 3 GiB at the first search.
    (tmp_path / "wide").write_bytes(header("QLIX", 4, 3, 2**28, 0) + struct.pack("<Q", 1))
    with pytest.raises(ValueError, match="dim 268435456, n 0 is more than we accept"):
        load_trusted_size(str(tmp_path / "wide"))
