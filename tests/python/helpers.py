import os
import subprocess
import sys
import textwrap

import _quilane


def _panic_exception_type():
    # The type is not exported; a failing constructor hands it over.
    try:
        _quilane.GyrelIndex(8, 5)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("GyrelIndex(8, 5) did not fail")


PanicException = _panic_exception_type()


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
