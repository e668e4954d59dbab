"""The README's Python examples run as users run them (each block alone, saved to a file and run
by a fresh interpreter in an empty folder), and so does the example script it points to; what it
says of the class's traps and of the test commands holds."""

import importlib.util
import os
import re
import shlex
import subprocess
import sys

import cv2
import numpy as np
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


def _readme_text():
    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as fh:
        return fh.read()


def test_the_traps_named_beside_the_class_example_are_the_class_s():
    # What the README says the class does with inputs it does not take, which it sends to
    # joint_bilateral instead, and the link that sends them there.
    text = " ".join(_readme_text().split())
    heading = re.search(r"^## (Gray, 16-bit.*)$", _readme_text(), flags=re.M).group(1)
    anchor = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
    assert f"send gray, 16-bit and float images and guidance to [`sovelk_tools.joint_bilateral`](#{anchor})" in text
    filt = Sovelk.Joint_bilateral_filter(2, 0.1)
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (20, 24, 3), dtype=np.uint8)
    assert "a float guidance in 0..1 quietly gives a plain Gaussian blur" in text
    flat = np.zeros((20, 24), np.uint8)  # one range weight everywhere: the spatial Gaussian alone
    assert np.array_equal(filt.joint_bilateral_filter(img, rng.random((20, 24, 3))),
                          filt.joint_bilateral_filter(img, flat))
    assert "a 16-bit image a saturated uint8 result" in text
    deep = rng.integers(256, 65536, img.shape, dtype=np.uint16)
    out = filt.joint_bilateral_filter(deep, img)
    assert out.dtype == np.uint8 and np.all(out == 255)
    assert 'a gray image fails with "need more than 2 values to unpack"' in text
    with pytest.raises(ValueError, match="^need more than 2 values to unpack$"):
        filt.joint_bilateral_filter(img[:, :, 0], img)
    assert 'a 16-bit guidance with "index ... is out of bounds"' in text
    with pytest.raises(IndexError, match=r"^index \d+ is out of bounds"):
        filt.joint_bilateral_filter(img, deep)


def test_the_test_commands_select_what_the_readme_says():
    section = _readme_text().split("\n## Tests\n", 1)[1].split("\n## ", 1)[0]
    block = re.search(r"^```sh\n(.*?)^```", section, flags=re.S | re.M).group(1)
    commands = [line.split("  #")[0].strip() for line in block.splitlines() if line.startswith("python -m pytest")]
    assert len(commands) == 3, block
    env = dict(os.environ)
    paths = [os.path.dirname(os.path.abspath(Sovelk.__file__)), os.path.join(REPO, "python")]
    env["PYTHONPATH"] = os.pathsep.join(paths + [env.get("PYTHONPATH", "")])
    counts = []
    for command in commands:
        shell = shlex.quote(sys.executable) + command[len("python"):] + " --collect-only -q -p no:cacheprovider"
        proc = subprocess.run(["bash", "-c", shell], cwd=REPO, env=env, capture_output=True, text=True, timeout=300)
        found = re.search(r"^(\d+)(?:/\d+)? tests? collected", proc.stdout, flags=re.M)
        assert proc.returncode == 0 and found, (command, proc.stdout[-2000:], proc.stderr[-2000:])
        counts.append((int(found.group(1)), "long tests left out" in proc.stdout))
    (default, says), (long_only, _), (core, _) = counts
    # The default run names what it left out; the core subset is part of it.
    assert says and long_only > 0 and 0 < core < default
