"""Ctrl-C during a long call ends it promptly with KeyboardInterrupt.

A long filtering call runs in a child interpreter; the test sends SIGINT a second after the call
started and expects KeyboardInterrupt, carrying the method's traceback entry, within about two
seconds more. Afterwards the child must be as before: no worker thread left behind, and filtering
still gives the right result. Both clocks are CLOCK_MONOTONIC, shared by the two processes.
"""

import json
import os
import signal
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import pytest

import Sovelk

Filter = Sovelk.Joint_bilateral_filter
SANITIZED = bool(os.environ.get("SOVELK_SANITIZED")) or "libasan" in os.environ.get("LD_PRELOAD", "")
# How long an interrupt may take to surface; sanitizer builds run the kernel several times slower.
GRACE = 2.0 * (3 if SANITIZED else 1)
ENTRY = ["Sovelk.Joint_bilateral_filter.joint_bilateral_filter", "Sovelk"]


def fused_kernel_built_in():
    """Whether a call runs without the window stacks: its allocation peak stays far below them."""
    f = Filter(3, 0.1)
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, size=(64, 64, 3)).astype(np.uint8)
    guidance = rng.integers(0, 256, size=(64, 64)).astype(np.uint8)
    stacks = 8 * (6 * 3 + 1) ** 2 * 64 * 64 * (3 + 1)
    tracemalloc.start()
    try:
        f.joint_bilateral_filter(img, guidance)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak < stacks / 8


CHILD = r"""
import json, os, signal, sys, time, traceback
import numpy as np
import Sovelk

# A process started with SIGINT ignored (a background job of a shell, for one) passes that on,
# and the interpreter then installs no handler: make Ctrl-C mean KeyboardInterrupt here.
signal.signal(signal.SIGINT, signal.default_int_handler)

class Ref(Sovelk.Joint_bilateral_filter):
    def get_range_kernel(self, tmp_guidance):
        return super().get_range_kernel(tmp_guidance)

def tasks():
    return len(os.listdir("/proc/self/task"))

kind = sys.argv[1]
rng = np.random.default_rng(1)
if kind == "fused":
    # Seconds of work on two threads, so that the signal comes in the middle of the call.
    f = Sovelk.Joint_bilateral_filter(8, 0.1)
    img = rng.integers(0, 256, size=(3000, 3000, 3)).astype(np.uint8)
elif kind == "fused_wide_window":
    # sigma_s 300: 1801**2 window offsets, so one image row alone is billions of weights.
    f = Sovelk.Joint_bilateral_filter(300, 0.1)
    img = rng.integers(0, 256, size=(1000, 1000, 3)).astype(np.uint8)
else:
    # The statements on a tiny image with a huge window: the offset loop runs 1601**2 times (some
    # seconds) while the stacks stay small (a few hundred MB at the peak). A numpy-integer pad_w
    # keeps the fused kernel out without a Python-level override, whose frame would otherwise be
    # the first place after the loop where a pending KeyboardInterrupt could surface.
    f = Sovelk.Joint_bilateral_filter(1, 0.1)
    f.pad_w, f.wndw_size, f.kernel_s = np.int64(800), 1601, np.ones((1601, 1601))
    img = rng.integers(0, 256, size=(1, 2, 2)).astype(np.uint8)
guidance = img[:, :, 0].copy()
# The worker pool's threads stay for the life of the process: let a call with many rows start all
# of them first, so that any thread counted below would be one the interrupted call left behind.
warm = np.zeros((256, 4, 3), np.uint8)
Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(warm, warm[:, :, 0].copy())
before = tasks()
print("ready", time.monotonic(), flush=True)
report = {}
try:
    f.joint_bilateral_filter(img, guidance)
    report["outcome"] = "returned"
except KeyboardInterrupt as exc:
    report["outcome"] = "KeyboardInterrupt"
    report["entries"] = [[fs.name, fs.filename] for fs in traceback.extract_tb(exc.__traceback__)
                         if fs.filename == "Sovelk"]
report["ended"] = time.monotonic()
report["threads_left"] = tasks() - before
small = rng.integers(0, 256, size=(9, 11, 3)).astype(np.uint8)
g = small[:, :, 1].copy()
fresh = Sovelk.Joint_bilateral_filter(2, 0.1)
report["still_right"] = bool(np.array_equal(fresh.joint_bilateral_filter(small, g),
                                            Ref(2, 0.1).joint_bilateral_filter(small, g)))
print(json.dumps(report), flush=True)
"""


def interrupt_child(kind, delay=1.0):
    env = dict(os.environ)
    env.setdefault("SOVELK_NUM_THREADS", "2")  # a call as long on a many-core machine as here
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.abspath(Sovelk.__file__)),
                                                    env.get("PYTHONPATH")) if p)
    proc = subprocess.Popen([sys.executable, "-c", CHILD, kind], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline()
        assert line.startswith("ready"), (line, proc.stderr.read())
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        try:
            out, err = proc.communicate(timeout=600)
        except subprocess.TimeoutExpired:
            proc.kill()
            pytest.fail("the child neither finished nor reacted to SIGINT within 600 s")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, f"child ended with status {proc.returncode}:\n{err[-3000:]}"
    report = json.loads(out.strip().splitlines()[-1])
    report["latency"] = report["ended"] - sent
    return report


def check_interrupted(report):
    assert report["outcome"] == "KeyboardInterrupt", report
    assert report["latency"] < GRACE, f"KeyboardInterrupt came {report['latency']:.1f} s after SIGINT"
    assert report["entries"] and set(map(tuple, report["entries"])) == {tuple(ENTRY)}, report
    assert report["threads_left"] == 0, report
    assert report["still_right"], report


@pytest.mark.long
@pytest.mark.parametrize("kind", ["fused", "fused_wide_window"])
def test_ctrl_c_stops_the_fast_path(kind):
    """Also with a window so wide that a single row of the image takes seconds."""
    # The kernel is part of every build: a call that ran the statements would not test it.
    assert fused_kernel_built_in(), "the call ran the statements, not the fused kernel"
    check_interrupted(interrupt_child(kind))


@pytest.mark.long
def test_ctrl_c_stops_the_statements():
    """The offset loop of the statements must notice a pending signal too, not only the kernel."""
    check_interrupted(interrupt_child("statements"))
