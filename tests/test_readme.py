"""The README's Python examples run as users run them (each block alone, saved to a file and run
by a fresh interpreter in an empty folder), and so does the example script it points to."""

import importlib.util
import os
import re
import subprocess
import sys

import cv2
import pytest

import Sovelk

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(REPO, "README.md"), encoding="utf-8") as fh:
    BLOCKS = re.findall(r"^```python\n(.*?)^```", fh.read(), flags=re.S | re.M)


def test_readme_has_python_examples():
    # Guards the extraction itself: a changed fence style must not leave nothing to run.
    assert len(BLOCKS) >= 3


def run(args, cwd):
    env = dict(os.environ)
    paths = [os.path.dirname(os.path.abspath(Sovelk.__file__)), os.path.join(REPO, "python")]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable] + args, cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code, tmp_path):
    for module in re.findall(r"^(?:import|from) (\w+)", code, flags=re.M):
        if module == "dask" and importlib.util.find_spec(module) is None:
            pytest.skip("dask is not installed (the dask extra)")
    # From a file, not with -c: worker processes that Dask starts by spawning import the script
    # again, which a block without `if __name__ == "__main__":` does not survive.
    (tmp_path / "example.py").write_text(code, encoding="utf-8")
    proc = run(["example.py"], tmp_path)
    assert proc.returncode == 0, proc.stderr


def test_quickstart_script(tmp_path):
    proc = run([os.path.join(REPO, "examples", "quickstart.py"), "out"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["clean.png", "denoised.png", "noisy.png"]
    clean, noisy, denoised = (cv2.imread(str(tmp_path / "out" / f"{n}.png")) for n in ("clean", "noisy", "denoised"))
    assert cv2.PSNR(clean, denoised) > cv2.PSNR(clean, noisy) + 5
