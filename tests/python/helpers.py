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
