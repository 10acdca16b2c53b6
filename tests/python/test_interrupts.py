"""Ctrl-C while a file operation blocks: a FIFO without its other end (blocked in open) or whose
other end neither writes nor reads (blocked in read or write). The call stops with
KeyboardInterrupt soon after the signal, as Python's own file functions do."""

import pytest

from helpers import run_python

# The interpreter lock is held while the call blocks, so the signal and the other end of the FIFO
# come from other processes.
BLOCKED_CALL = """
import os, subprocess, tempfile, time
import numpy as np
import _quilane

fifo = os.path.join(tempfile.mkdtemp(), "fifo")
os.mkfifo(fifo)
index = _quilane.GyrelIndex(512, 4)
# Four times what a pipe holds, so that a writer blocks once the reader stops reading.
index.add(np.random.default_rng(0).standard_normal((1024, 512)).astype(np.float32))

def run_shell(command):
    return subprocess.Popen(["sh", "-c", command], stdin=subprocess.DEVNULL)

call = {
    "load": lambda: _quilane.GyrelIndex.load(fifo),
    "write": lambda: index.write(fifo),
}[CALL]
# An other end that opens the FIFO and then neither writes nor reads.
redirect = ">" if CALL == "load" else "<"
other_end = run_shell(f"exec sleep 60 {redirect} '{fifo}'") if OTHER_END else None
interrupter = run_shell(f"sleep 1; kill -INT {os.getpid()}")
started = time.monotonic()
try:
    call()
except KeyboardInterrupt:
    print("KeyboardInterrupt after", "short" if time.monotonic() - started < 10 else "long")
interrupter.wait()
if other_end:
    other_end.kill()
    other_end.wait()
print(len(index), sorted(os.listdir(os.path.dirname(fifo))))
"""


@pytest.mark.parametrize("other_end", [False, True], ids=["no_other_end", "idle_other_end"])
@pytest.mark.parametrize("call", ["load", "write"])
def test_ctrl_c_stops_a_blocked_file_operation(call, other_end):
    code = f"CALL = {call!r}\nOTHER_END = {other_end}\n" + BLOCKED_CALL
    result = run_python(code, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["KeyboardInterrupt after short", "1024 ['fifo']"]
