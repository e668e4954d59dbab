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


# ---------------------------------------------------------------- command-line helpers


@pytest.fixture
def cli(capsys):
    """Run the `sovelk` command in this process: (exit code, stdout, stderr)."""
    from sovelk_tools.cli import main

    def run(*args):
        capsys.readouterr()
        try:
            code = main([str(a) for a in args])
        except SystemExit as exc:  # argparse's usage errors
            code = exc.code
        out, err = capsys.readouterr()
        return code, out, err

    return run


@pytest.fixture
def sovelk(child_env, tmp_path):
    """Run the `sovelk` command in a child (in tmp_path): sovelk(*args, cwd=..., preexec_fn=...)."""
    import subprocess

    def run(*args, cwd=tmp_path, preexec_fn=None):
        return subprocess.run(
            [sys.executable, "-m", "sovelk_tools", *map(str, args)],
            cwd=cwd, env=child_env, capture_output=True, text=True, timeout=300, preexec_fn=preexec_fn,
        )

    return run


def _one_line(err):
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "error:" in lines[0] and "Traceback" not in err, err
    return lines[0]


@pytest.fixture(scope="session")
def one_line():
    """The single error line of a command's stderr (asserting there is exactly one, and no traceback)."""
    return _one_line


@pytest.fixture
def mount_tmpfs(tmp_path):
    """Mount a small tmpfs under tmp_path (root only): mount_tmpfs(name, size="2m", read_only=False)."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small or read-only file system needs root")
    import subprocess

    mounted = []

    def mount(name, size="2m", read_only=False):
        path = tmp_path / name
        path.mkdir()
        proc = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(path)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")
        mounted.append(path)
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", str(path)], check=True)
        return path

    yield mount
    for path in reversed(mounted):
        subprocess.run(["umount", "-l", str(path)], check=False)


def _fill_up(directory):
    fd = os.open(os.path.join(directory, "fill"), os.O_WRONLY | os.O_CREAT)
    try:
        for size in (1 << 16, 4096, 1):
            try:
                while True:
                    os.write(fd, b"\0" * size)
            except OSError:
                pass
    finally:
        os.close(fd)


@pytest.fixture(scope="session")
def fill_up():
    """fill_up(directory): fill the file system holding it to the last byte."""
    return _fill_up


@pytest.fixture(scope="session")
def no_permission_override():
    """A preexec_fn for children that must meet permission bits even when the tests run as root."""
    if os.geteuid() != 0:
        return None
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    pr_capbset_drop, cap_dac_override, cap_dac_read_search = 24, 1, 2

    def drop():
        for cap in (cap_dac_override, cap_dac_read_search):
            if libc.prctl(pr_capbset_drop, cap, 0, 0, 0) != 0:
                os._exit(77)  # without CAP_SETPCAP: the test skips on this exit code

    return drop


@pytest.fixture
def long_run(child_env, tmp_path, rng):
    """Start a filter run that takes seconds (a 600x600 .npy pair in 2x2 tiles) and wait until
    its temporary output exists: long_run(output_name, *extra_args, default_signals=(...))."""
    import signal
    import subprocess
    import time

    np.save(tmp_path / "img.npy", rng.integers(0, 256, (600, 600, 3), dtype=np.uint8))
    np.save(tmp_path / "guide.npy", rng.integers(0, 256, (600, 600), dtype=np.uint8))

    def start(output, *extra, default_signals=(signal.SIGINT,)):
        def reset():
            # A test run started as a background job ignores SIGINT (and nohup
            # SIGHUP), and children inherit that.
            for sig in default_signals:
                signal.signal(sig, signal.SIG_DFL)

        proc = subprocess.Popen(
            [sys.executable, "-m", "sovelk_tools", "filter", "img.npy", "guide.npy", "-o", output,
             "--sigma-s", "1", "--tile", "2", "-q", *extra],
            cwd=tmp_path, env=child_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=reset,
        )
        deadline = time.monotonic() + 60
        while not any(".partial" in n for n in os.listdir(tmp_path)):
            assert proc.poll() is None and time.monotonic() < deadline, "no temporary output appeared"
            time.sleep(0.01)
        time.sleep(0.3)  # well into the 90 000 tiles
        return proc

    return start
