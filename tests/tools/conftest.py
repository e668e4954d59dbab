import os
import sys

import numpy as np
import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON_DIR = os.path.join(REPO, "python")

try:
    import sovelk_tools  # noqa: F401  (installed, or on PYTHONPATH)
except ImportError:
    sys.path.insert(0, PYTHON_DIR)

import Sovelk  # noqa: E402  the compiled module must be importable: these tests exercise it


@pytest.fixture(scope="session")
def child_env():
    """Environment for `python -m sovelk_tools` children that finds the same Sovelk and package."""
    import sovelk_tools

    paths = [
        os.path.dirname(os.path.abspath(Sovelk.__file__)),
        os.path.dirname(os.path.dirname(os.path.abspath(sovelk_tools.__file__))),
    ]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def _random_pair(rng, h, w, ch=3, guide_channels=None, smooth=False):
    """An image and a guidance image; `smooth` quantises the guidance into a few levels."""
    img = rng.integers(0, 256, (h, w, ch), dtype=np.uint8)
    shape = (h, w) if guide_channels is None else (h, w, guide_channels)
    guide = rng.integers(0, 256, shape, dtype=np.uint8)
    if smooth:
        guide = (guide // 64 * 64).astype(np.uint8)
    return img, guide


@pytest.fixture(scope="session")
def make_pair():  # a plain function, safe to share across hypothesis examples
    return _random_pair


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "distributed: runs a dask.distributed LocalCluster on loopback (deselect with -m 'not distributed')"
    )
