import subprocess
import sys
import textwrap

import _quilane


PanicException = _quilane._PanicException


def run_python(code, *flags):
    """Runs code in a fresh interpreter and returns the completed process."""
    return subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
    )
