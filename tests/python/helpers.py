import os
import subprocess
import sys
import textwrap

import _quilane


PanicException = _quilane._PanicException


def run_python(code, *flags, timeout=300, env=None):
    """Runs code in a fresh interpreter (with env added to the environment) and returns the
    completed process."""
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
    )


def rss_bytes():
    """The resident set of this process."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Callback:
    """An integer argument whose conversion runs an action first, then gives value."""

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value
