import sys

import numpy as np
import pytest

import _quilane


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture
def vectors(rng):
    return rng.standard_normal((50, 16)).astype(np.float32)


@pytest.fixture
def index(vectors):
    idx = _quilane.GyrelIndex(16, 4)
    idx.add(vectors)
    return idx


@pytest.fixture
def id_index(vectors):
    idx = _quilane.IdMapIndex(16, 4)
    idx.add_with_ids(vectors, np.arange(100, 150, dtype=np.uint64))
    return idx


@pytest.fixture
def short_switch_interval():
    # Hand the interpreter lock over far more often, so that threads interleave finely.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)
