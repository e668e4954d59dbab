import ast
import inspect
import os
import subprocess
import sys

import pytest

import Sovelk

STUB = os.path.join(os.path.dirname(__file__), "..", "..", "python", "Sovelk-stubs", "__init__.pyi")


def stub_class():
    tree = ast.parse(open(STUB, encoding="utf-8").read())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    return cls


def test_stub_matches_the_runtime_class():
    cls = stub_class()
    assert cls.name == "Joint_bilateral_filter" == Sovelk.Joint_bilateral_filter.__name__
    attrs = [n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)]
    assert attrs == list(vars(Sovelk.Joint_bilateral_filter(1, 0.1)))
    methods = {n.name: [a.arg for a in n.args.args] for n in cls.body if isinstance(n, ast.FunctionDef)}
    runtime = {
        name: list(inspect.signature(getattr(Sovelk.Joint_bilateral_filter, name)).parameters)
        for name in methods
    }
    assert methods == runtime
    assert set(methods) >= {"__init__", "get_range_table", "get_spatial_kernel", "get_range_kernel",
                            "joint_bilateral_filter"}
    # The docstrings live in the stub only; the module itself stays undocumented at runtime.
    assert Sovelk.Joint_bilateral_filter.joint_bilateral_filter.__doc__ is None


GOOD = """
import numpy as np
import Sovelk
f = Sovelk.Joint_bilateral_filter(3, 0.1)
img = np.zeros((8, 8, 3), np.uint8)
out: "np.ndarray" = f.joint_bilateral_filter(img, img[:, :, 0])
side: int = f.wndw_size + f.pad_w
"""

BAD = """
import numpy as np
import Sovelk
f = Sovelk.Joint_bilateral_filter(1.5, 0.1)
g = Sovelk.Joint_bilateral_filter(3)
img = np.zeros((8, 8, 3), np.uint8)
f.joint_bilateral_filter(img)
f.joint_bilateral_filter(img, img, mode=1)
name: str = f.pad_w
"""


@pytest.mark.long
def test_mypy_flags_wrong_calls(tmp_path):
    pytest.importorskip("mypy")
    # mypy reads `Sovelk-stubs` from site-packages only; for the checkout the
    # same file is offered as a plain stub on MYPYPATH.
    (tmp_path / "stubs").mkdir()
    (tmp_path / "stubs" / "Sovelk.pyi").write_text(open(STUB, encoding="utf-8").read())
    env = dict(os.environ, MYPYPATH=str(tmp_path / "stubs"))
    results = {}
    for name, text in (("good", GOOD), ("bad", BAD)):
        (tmp_path / f"{name}.py").write_text(text)
        results[name] = subprocess.run(
            [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, f"{name}.py"],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
        )
    assert results["good"].returncode == 0, results["good"].stdout
    flagged = {int(line.split(":")[1]) for line in results["bad"].stdout.splitlines() if ": error:" in line}
    assert flagged == {4, 5, 7, 8, 9}, results["bad"].stdout
