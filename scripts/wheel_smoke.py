"""Proves that an installed wheel works in this interpreter: run by scripts/check-wheel.sh."""

import os
import pickle
import platform
import sys
import tempfile
from importlib.metadata import version

import numpy as np

import quilane

assert quilane.__version__ == version("quilane"), (quilane.__version__, version("quilane"))
assert "site-packages" in quilane.__file__, quilane.__file__

rng = np.random.default_rng(0)
vectors = rng.standard_normal((500, 64)).astype(np.float32)
ids = np.arange(7, 507, dtype=np.uint64)

index = quilane.IdMapIndex(64, 4)
index.add_with_ids(vectors, ids)
with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "smoke.qlim")
    index.write(path)
    loaded = quilane.IdMapIndex.load(path)

scores, found = loaded.search(vectors[:50], 5)
assert found.dtype == np.uint64 and scores.dtype == np.float32 and found.shape == (50, 5)
# At 4 bits a stored vector is its own best match, but for rare near-ties.
assert (found[:, 0] == ids[:50]).mean() >= 0.9, found[:, 0]

# Pickling goes through the file bytes; notes reach 3.10 as __notes__ and later versions by
# add_note, with the message itself unchanged.
assert quilane.IdMapIndex.from_bytes(loaded.to_bytes()).ids().tolist() == ids.tolist()
assert pickle.loads(pickle.dumps(loaded)).search(vectors[:50], 5)[1].tolist() == found.tolist()
try:
    loaded.search(vectors.astype(np.float64), 5)
except TypeError as error:
    assert str(error) == "argument 'queries': 'ndarray' object cannot be cast as 'ndarray'", error
    assert "float64" in error.__notes__[0], error.__notes__
else:
    raise AssertionError("float64 queries were accepted")

try:
    quilane.GyrelIndex(64, 5)
except quilane.PanicException as error:
    assert str(error) == "bits must be 2, 3, or 4", error
else:
    raise AssertionError("bits=5 was accepted")

# Ray is an extra: the package never imports it, and its sharded index says how to get it.
assert "ray" not in sys.modules
try:
    import quilane.ray  # noqa: F401
except ImportError as error:
    assert 'pip install "quilane[ray]"' in str(error), error
else:
    raise AssertionError("quilane.ray imported in an environment without Ray")

print(
    f"wheel smoke: CPython {platform.python_version()} with NumPy {np.__version__}: ok",
    file=sys.stderr,
)
