import ctypes
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import _quilane
import quilane
from helpers import PanicException, run_python


def test_import_is_light_and_clean():
    # -W error: creating the types must not warn; NumPy must stay unimported until an array is used.
    result = run_python(
        """
        import sys, _quilane
        assert "numpy" not in sys.modules
        assert _quilane.__all__ == ["GyrelIndex", "IdMapIndex", "__version__"]
        assert _quilane.__version__ == "0.2.4" and _quilane.__doc__ == ""
        repr(_quilane.GyrelIndex(64, 4))
        assert "numpy" not in sys.modules
        """,
        "-W",
        "error",
    )
    assert result.returncode == 0, result.stderr


def test_package_reexports_the_module():
    assert quilane.GyrelIndex is _quilane.GyrelIndex
    assert quilane.IdMapIndex is _quilane.IdMapIndex
    assert quilane.__version__ == "0.2.4"


def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(_quilane.__file__).PyInit__quilane
    init.restype = ctypes.py_object
    assert init() is _quilane


def test_every_import_returns_the_same_module():
    result = run_python(
        """
        import importlib, sys, _quilane
        first = sys.modules.pop("_quilane")
        again = importlib.import_module("_quilane")
        assert again is first and importlib.reload(again) is first
        assert again.__all__ == ["GyrelIndex", "IdMapIndex", "__version__"]
        assert again.__doc__ == "" and again.GyrelIndex(8, 2).dim == 8
        """
    )
    assert result.returncode == 0, result.stderr


IN_SUB_INTERPRETER = """
try:
    import _quilane
except ImportError as exc:
    print("refused:", exc, flush=True)
else:
    print("imported", flush=True)
"""

# Each way this interpreter offers to run code in a sub-interpreter.
SUB_INTERPRETER_RUNNERS = {
    "testcapi": "import _testcapi\nrun_in_sub = _testcapi.run_in_subinterp\n",
    "interpreters": (
        "try:\n    import _interpreters as interpreters\n"
        "except ImportError:\n    import _xxsubinterpreters as interpreters\n"
        "def run_in_sub(code):\n    interpreters.run_string(interpreters.create(), code)\n"
    ),
}

IN_MAIN_INTERPRETER = """
import _quilane
print("main:", repr(_quilane.GyrelIndex(8, 2)), flush=True)
"""


@pytest.mark.parametrize("runner", SUB_INTERPRETER_RUNNERS)
@pytest.mark.parametrize("main_first", [True, False], ids=["main_first", "sub_first"])
def test_sub_interpreters_are_refused_whichever_imports_first(runner, main_first):
    main = f"exec({IN_MAIN_INTERPRETER!r})\n"
    sub = f"run_in_sub({IN_SUB_INTERPRETER!r})\n"
    code = SUB_INTERPRETER_RUNNERS[runner] + (main + sub if main_first else sub + main) + sub
    result = run_python(code)
    if "No module named" in result.stderr:
        pytest.skip(f"this interpreter cannot run sub-interpreters through {runner}")
    refused = "refused: _quilane does not support sub-interpreters"
    shown = "main: GyrelIndex(dim=8, bits=2, rotation='rotor3', n=0)"
    expected = [shown, refused, refused] if main_first else [refused, shown, refused]
    assert result.stdout.splitlines() == expected, result.stderr
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("cls", [_quilane.GyrelIndex, _quilane.IdMapIndex])
def test_classes_are_final_bare_and_slotless(cls):
    name = cls.__name__
    assert cls.__qualname__ == name and cls.__module__ == "_quilane"
    with pytest.raises(TypeError, match=f"type '{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})
    obj = cls(8, 2)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(obj)
    with pytest.raises(AttributeError):
        obj.dim = 16
    assert str(inspect.signature(cls)) == "(dim, bits, rotation='rotor3')"
    assert not cls.__doc__
    assert obj == obj and obj != cls(8, 2) and hash(obj) == hash(obj)


def test_method_documentation():
    g, m = _quilane.GyrelIndex, _quilane.IdMapIndex
    # The methods that can release the interpreter lock say so in a paragraph of their own, after
    # the text they always had; searches describe `allow` in a paragraph between the two.
    note = g.search.__doc__.split("\n\n")[-1]
    assert note.startswith("With `release_gil=True` the interpreter lock is released")
    assert g.add.__doc__ == (
        "Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D\n"
        "`float32` array of shape `(n, dim)`.\n\n" + note
    )
    first, allow, last = g.search.__doc__.split("\n\n")
    assert first == "Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays."
    assert allow.startswith("`allow` searches only some stored vectors") and last == note
    assert g.swap_remove.__doc__.startswith("Remove the vector at `idx` in O(1)")
    assert g.prepare.__doc__.startswith("Eagerly populate caches")
    assert g.prepare.__doc__.endswith("\n\n" + note)
    assert m.add_with_ids.__doc__ == "Add vectors with stable external `uint64` ids.\n\n" + note
    first, allow, last = m.search.__doc__.split("\n\n")
    assert first == (
        "Top-`k` search returning external ids. Returns `(scores, ids)` as\n`(nq, k)` arrays."
    )
    assert allow.startswith("`allow` searches only the vectors of some ids") and last == note
    for method in (m.remove, m.contains):
        assert method.__doc__ is None
    for method in (m.prepare, m.write, g.write, m.load, g.load):
        assert method.__doc__ == note
    assert str(inspect.signature(g.search)) == (
        "(self, /, queries, k, *, allow=None, release_gil=False)"
    )
    assert str(inspect.signature(g.load)) == "(path, *, release_gil=False)"
    assert str(inspect.signature(m.add_with_ids)) == (
        "(self, /, vectors, ids, *, release_gil=False)"
    )
    assert str(inspect.signature(g.swap_remove)) == "(self, /, idx)"
    assert [name for name in vars(g) if not name.startswith("__")] == [
        "add", "search", "write", "load", "prepare", "swap_remove", "reconstruct", "to_bytes",
        "from_bytes", "dim", "bits", "rotation"
    ]


def test_panic_exception_escapes_except_exception():
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert "BaseException" in PanicException.__doc__
    assert not hasattr(_quilane, "PanicException")
    with pytest.raises(BaseException) as info:
        try:
            _quilane.GyrelIndex(12, 4)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("except Exception caught a PanicException")
    assert type(info.value) is PanicException
    assert str(info.value) == "dim must be a multiple of 8"


def test_missing_numpy_is_a_fatal_error():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import _quilane
        index = _quilane.GyrelIndex(8, 2)
        try:
            index.add([[0.0] * 8])
        except BaseException as exc:
            print(type(exc).__name__, exc)
        """
    )
    assert result.stdout.startswith(
        "PanicException Failed to access NumPy array API capsule"
    ), result.stderr


FORCED_ISA_SEARCH = """
    import numpy as np, _quilane
    rng = np.random.default_rng(5)
    index = _quilane.GyrelIndex(64, 4)
    index.add(rng.standard_normal((3000, 64)).astype(np.float32))
    scores, positions = index.search(rng.standard_normal((20, 64)).astype(np.float32), 7)
    print(scores.tobytes().hex(), positions.tobytes().hex())
"""


def test_every_instruction_set_gives_the_same_bytes_and_an_unknown_one_is_refused():
    def run(isa):
        env = dict(os.environ, QUILANE_ISA=isa)
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(FORCED_ISA_SEARCH)],
            capture_output=True, text=True, timeout=300, env=env,
        )

    default = run("")
    assert default.returncode == 0, default.stderr
    ran = 0
    for isa in ("scalar", "avx2", "avx512"):
        forced = run(isa)
        if "lacks" in forced.stderr:
            continue
        assert forced.returncode == 0, forced.stderr
        assert forced.stdout == default.stdout, isa
        ran += 1
    assert ran >= 1
    refused = run("sse9")
    assert "ImportError: QUILANE_ISA=sse9 names no instruction set" in refused.stderr
