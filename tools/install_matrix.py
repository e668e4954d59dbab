"""Installs the package into fresh environments that already hold an OpenCV and a numpy, and
tells what the install did to them: versions before and after, whether ``cv2`` (and the contrib
module ``cv2.ximgproc``) is intact, and the core and command-line tests run there.

    python tools/install_matrix.py [--python python3.11] [--only NAME,...] [--tests core|cli|none]

Slow (a build per source row, several minutes in all): not part of the test suite. Rows:

- source: ``pip install .`` from this checkout into the environment.
- wheel: a wheel built once with plain ``pip wheel .`` in an environment that holds
  opencv-python-headless (a wheel that carried that choice would break every other cv2), then
  installed into the environment, optionally with an extra.
- sdist: the sdist installed into one environment and then, through the same pip cache, into
  another that holds a different cv2 distribution (pip reuses the wheel it built from the sdist).

Prints a Markdown table; exits 1 if a row's outcome is not the expected one.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from typing import Dict, List, NamedTuple, Optional

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OLDEST = dict(line.strip().split("==") for line in open(os.path.join(HERE, ".ci", "oldest-supported.txt"))
              if line.strip() and not line.startswith("#"))


class Row(NamedTuple):
    name: str
    preinstall: List[str]  # pip requirements already in the environment
    how: str  # source, wheel or sdist
    extra: str = ""  # an extra named on the install
    expect_added: str = ""  # the OpenCV distribution the install should add ("" = none)
    # Runs the tests; the other rows only import the module and filter one image, since their
    # OpenCV and numpy versions are those of a row that runs them.
    tests: bool = False


ROWS = [
    Row("oldest", [f"numpy=={OLDEST['numpy']}", f"opencv-python-headless=={OLDEST['opencv-python-headless']}"], "source",
        tests=True),
    Row("oldest", [f"numpy=={OLDEST['numpy']}", f"opencv-python-headless=={OLDEST['opencv-python-headless']}"], "wheel"),
    Row("cv4.10-np1.26", ["numpy==1.26.4", "opencv-python-headless==4.10.0.84"], "source", tests=True),
    Row("cv4.10-np1.26", ["numpy==1.26.4", "opencv-python-headless==4.10.0.84"], "wheel"),
    Row("contrib4.10-np1.26", ["numpy==1.26.4", "opencv-contrib-python-headless==4.10.0.84"], "wheel"),
    Row("opencv-python", ["opencv-python"], "source"),
    Row("opencv-python", ["opencv-python"], "wheel"),
    Row("opencv-python-headless", ["opencv-python-headless"], "source", tests=True),
    Row("opencv-python-headless", ["opencv-python-headless"], "wheel"),
    Row("opencv-contrib-python", ["opencv-contrib-python"], "source"),
    Row("opencv-contrib-python", ["opencv-contrib-python"], "wheel"),
    Row("opencv-contrib-python-headless", ["opencv-contrib-python-headless"], "source"),
    Row("opencv-contrib-python-headless", ["opencv-contrib-python-headless"], "wheel", tests=True),
    Row("no-cv2", [], "source", expect_added="opencv-python-headless"),
    Row("no-cv2", [], "wheel"),
    Row("no-cv2", [], "wheel", extra="opencv-python-headless", expect_added="opencv-python-headless"),
    Row("np1.26-no-cv2", ["numpy==1.26.4"], "source", expect_added="opencv-python-headless"),
    Row("unowned-cv2", ["opencv-python-headless"], "source"),
    Row("contrib-after-headless", ["opencv-contrib-python-headless"], "sdist"),
]

PROBE = r"""
import importlib.metadata as md, json
names = {d.metadata["Name"].lower(): d.version for d in md.distributions()
         if d.metadata["Name"] and d.metadata["Name"].lower().startswith(("opencv-", "numpy"))}
out = {"dists": dict(sorted(names.items()))}
try:
    import cv2
    out["cv2"] = cv2.__version__
    out["ximgproc"] = hasattr(cv2, "ximgproc") and hasattr(cv2.ximgproc, "jointBilateralFilter")
except Exception as e:
    out["cv2"] = "broken: %s" % e if not isinstance(e, ImportError) else None
try:
    import numpy as np, Sovelk
    img = np.random.default_rng(0).integers(0, 256, (16, 16, 3), dtype=np.uint8)
    out["sovelk"] = Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(img, img[..., 0]).shape == img.shape
except Exception as e:
    out["sovelk"] = "%s: %s" % (type(e).__name__, " ".join(str(e).split()) + " | " + " ".join(getattr(e, "__notes__", [])))
print(json.dumps(out))
"""


def run(cmd: List[str], log: str, **kw) -> subprocess.CompletedProcess:
    with open(log, "a") as fh:
        fh.write("$ " + " ".join(cmd) + "\n")
        fh.flush()
        return subprocess.run(cmd, stdout=fh, stderr=subprocess.STDOUT, text=True, **kw)


def venv(python: str, path: str, preinstall: List[str], log: str, env: Dict[str, str]) -> str:
    shutil.rmtree(path, ignore_errors=True)
    subprocess.run([python, "-m", "venv", path], check=True)
    py = os.path.join(path, "bin", "python")
    if preinstall:
        if run([py, "-m", "pip", "install", "--quiet", *preinstall], log, env=env).returncode:
            raise RuntimeError(f"could not install {preinstall} (see {log})")
    return py


def probe(py: str) -> dict:
    out = subprocess.run([py, "-c", PROBE], capture_output=True, text=True, cwd="/")
    return json.loads(out.stdout) if out.returncode == 0 else {"probe": out.stderr.strip()[-200:]}


def run_tests(py: str, which: str, log: str) -> str:
    """The pytest summary of the core tests (and the command-line tests), run from outside the
    checkout. One run per folder: each folder's conftest is imported as `conftest`."""
    with open(os.path.join(HERE, ".ci", "core-tests.txt")) as fh:
        groups = {"core": [line.strip() for line in fh if line.strip() and not line.startswith("#")]}
    if which == "none":
        return "-"
    if which == "cli":
        groups["cli"] = ["tests/tools/test_cli.py", "tests/tools/test_cli_data.py"]
    summaries = []
    for group, tests in groups.items():
        with tempfile.TemporaryDirectory() as outside:
            out = subprocess.run([py, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", HERE,
                                  *[os.path.join(HERE, t) for t in tests]], capture_output=True, text=True, cwd=outside)
        with open(log, "a") as fh:
            fh.write(out.stdout + out.stderr)
        lines = out.stdout.strip().splitlines()
        summaries.append(f"{group}: {lines[-1].strip('= ') if lines else f'pytest exit {out.returncode}'}")
    return "; ".join(summaries)


def describe(state: dict) -> str:
    if "probe" in state:
        return "probe failed: " + state["probe"]
    dists = ", ".join(f"{k} {v}" for k, v in state["dists"].items()) or "(none)"
    cv2 = state.get("cv2")
    return f"{dists}; cv2 {cv2 or '-'}" + (", ximgproc" if state.get("ximgproc") else "")


def verdict(row: Row, before: dict, after: dict) -> str:
    if "probe" in after or (after.get("cv2") or "").startswith("broken"):
        return "FAIL: cv2 broken"
    opencv = lambda state: {k: v for k, v in state["dists"].items() if k.startswith("opencv-")}  # noqa: E731
    want = opencv(before)
    if row.expect_added:
        want[row.expect_added] = opencv(after).get(row.expect_added, "missing")
    if opencv(after) != want:
        return "FAIL: OpenCV distributions changed"
    if "numpy" in before["dists"] and after["dists"].get("numpy") != before["dists"]["numpy"]:
        return "FAIL: numpy changed"
    if before.get("cv2") and (after.get("cv2"), after.get("ximgproc")) != (before["cv2"], before.get("ximgproc")):
        return "FAIL: cv2 changed"
    if not after.get("cv2"):
        # Nothing to use: the import must say what to install.
        return ("ok (no cv2; the import says: pip install opencv-python-headless ...)"
                if "pip install opencv-python-headless" in str(after.get("sovelk")) else f"FAIL: {after.get('sovelk')}")
    return "ok" if after.get("sovelk") is True else f"FAIL: {after.get('sovelk')}"


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--python", default="python3.11", help="interpreter for every environment (numpy 1.24 needs <= 3.11)")
    p.add_argument("--only", default="", help="comma-separated row names (and/or how: source, wheel, sdist)")
    p.add_argument("--skip", default="", help="comma-separated row names to leave out")
    p.add_argument("--tests", choices=["core", "cli", "none"], default="cli",
                   help="what the rows that run tests run: core tests, also the command-line tests, or none")
    p.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "sovelk-install-matrix"))
    args = p.parse_args()
    only = set(filter(None, args.only.split(",")))
    skip = set(filter(None, args.skip.split(",")))
    rows = [r for r in ROWS if (not only or r.name in only or r.how in only) and r.name not in skip]
    os.makedirs(args.workdir, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in ("SOVELK_OPENCV", "PYTHONPATH")}
    build_log = os.path.join(args.workdir, "build.log")
    open(build_log, "w").close()

    wheel: Optional[str] = None
    if any(r.how == "wheel" for r in rows):
        # Built as a user would, in an environment with one OpenCV distribution installed.
        py = venv(args.python, os.path.join(args.workdir, "builder"), ["opencv-python-headless"], build_log, env)
        wheels = os.path.join(args.workdir, "wheels")
        shutil.rmtree(wheels, ignore_errors=True)
        if run([py, "-m", "pip", "wheel", "--quiet", "--no-deps", "-w", wheels, HERE], build_log, env=env).returncode:
            raise SystemExit(f"pip wheel failed (see {build_log})")
        wheel = os.path.join(wheels, os.listdir(wheels)[0])
    sdist_cache = os.path.join(args.workdir, "sdist-pip-cache")
    sdist: Optional[str] = None
    if any(r.how == "sdist" for r in rows):
        py = venv(args.python, os.path.join(args.workdir, "sdist-builder"), ["build"], build_log, env)
        dist = os.path.join(args.workdir, "sdist")
        shutil.rmtree(dist, ignore_errors=True)
        if run([py, "-m", "build", "--sdist", "-o", dist, HERE], build_log, env=env).returncode:
            raise SystemExit(f"sdist build failed (see {build_log})")
        sdist = os.path.join(dist, os.listdir(dist)[0])
        # The first environment (headless) builds the wheel that pip caches.
        shutil.rmtree(sdist_cache, ignore_errors=True)
        first = venv(args.python, os.path.join(args.workdir, "sdist-first"), ["opencv-python-headless"], build_log, env)
        run([first, "-m", "pip", "install", "--quiet", sdist], build_log, env=dict(env, PIP_CACHE_DIR=sdist_cache))

    table = ["| environment | install | before | after | cv2 | tests |", "|---|---|---|---|---|---|"]
    failed = False
    for row in rows:
        label = f"{row.name} ({row.how}{'[' + row.extra + ']' if row.extra else ''})"
        log = os.path.join(args.workdir, f"{row.name}-{row.how}{'-' + row.extra if row.extra else ''}.log")
        open(log, "w").close()
        print(f"== {label}", flush=True)
        py = venv(args.python, os.path.join(args.workdir, "env"), row.preinstall, log, env)
        if row.name == "unowned-cv2":
            # A cv2 built by the user: files without a distribution's metadata.
            site = subprocess.run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                                  capture_output=True, text=True, check=True).stdout.strip()
            for entry in os.listdir(site):
                if entry.startswith("opencv_python_headless-") and entry.endswith(".dist-info"):
                    shutil.rmtree(os.path.join(site, entry))
        before = probe(py)
        target = {"source": HERE, "wheel": wheel, "sdist": sdist}[row.how]
        extras = ",".join(filter(None, ["test", row.extra]))
        install_env = dict(env, PIP_CACHE_DIR=sdist_cache) if row.how == "sdist" else env
        done = run([py, "-m", "pip", "install", "--quiet", f"{target}[{extras}]" if row.how != "source" else f".[{extras}]"],
                   log, env=install_env, cwd=HERE)
        after = probe(py)
        if done.returncode:
            result, tests = f"FAIL: install failed (see {log})", "-"
        else:
            result = verdict(row, before, after)
            tests = (run_tests(py, args.tests, log) if row.tests else "filters one image") \
                if after.get("sovelk") is True else "-"
        failed |= result.startswith("FAIL")
        table.append(f"| {row.name} | {row.how}{' [' + row.extra + ']' if row.extra else ''} | {describe(before)} "
                     f"| {describe(after)} | {result} | {tests} |")
        print(table[-1], flush=True)
    print("\n".join(["", *table]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
