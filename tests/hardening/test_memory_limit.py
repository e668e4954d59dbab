"""Calls whose window stacks cannot fit are refused with MemoryError before anything is allocated.

The statements hold wndw_size**2 shifted float64 copies of image and guidance. numpy allocates
lazily, so stacks bigger than the machine would not fail at allocation but get the process killed
by the OOM killer while they are filled. Each case runs in a child process (a kill fails the test
instead of the run) with a timeout; the child also limits its own address space (RLIMIT_AS) as a
safety net, except under AddressSanitizer, whose shadow memory needs terabytes of address space.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import Sovelk

SANITIZED = bool(os.environ.get("SOVELK_SANITIZED")) or "libasan" in os.environ.get("LD_PRELOAD", "")
TIMEOUT = 180

# Both children start alike: lower the address-space limit to the current size plus argv[1] bytes.
PRELUDE = r"""
import json, os, resource, sys, time, traceback, tracemalloc
import numpy as np
import Sovelk

def vm_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

spare = int(sys.argv[1])
if spare > 0:
    limit = vm_bytes() + spare
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
"""

CHILD = PRELUDE + r"""
class Ref(Sovelk.Joint_bilateral_filter):
    # An override of get_range_kernel keeps the fused kernel out: the statements run.
    def get_range_kernel(self, tmp_guidance):
        return super().get_range_kernel(tmp_guidance)

sigma_s, h, w, ch = (int(v) for v in sys.argv[2:6])
# A numpy integer makes wndw_size a numpy integer too, which the statements accept alike.
f = Ref(getattr(np, sys.argv[6])(sigma_s) if sys.argv[6] != "int" else sigma_s, 0.1)
img = np.zeros((h, w, ch), np.uint8)
guidance = np.zeros((h, w), np.uint8)
tracemalloc.start()
t0 = time.monotonic()
try:
    out = f.joint_bilateral_filter(img, guidance)
    report = {"outcome": "returned", "shape": list(out.shape)}
except BaseException as exc:
    report = {"outcome": type(exc).__name__, "text": str(exc),
              "entries": [[fs.name, fs.lineno] for fs in traceback.extract_tb(exc.__traceback__)
                          if fs.filename == "Sovelk"]}
report["seconds"] = time.monotonic() - t0
report["peak"] = tracemalloc.get_traced_memory()[1]
print(json.dumps(report))
"""


def run_child(spare_bytes, sigma_s, h, w, ch, sigma_type="int", code=CHILD):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(Sovelk.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    cmd = [sys.executable, "-c", code, str(spare_bytes), str(sigma_s), str(h), str(w), str(ch), sigma_type]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=TIMEOUT, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the call did not end within {TIMEOUT} s")
    assert proc.returncode == 0, f"child ended with status {proc.returncode}:\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def stack_bytes(sigma_s, h, w, ch):
    planes = (6 * sigma_s + 1) ** 2
    return 8 * planes * h * w * (ch + 1)


def assert_refused_before_allocating(report, needed):
    assert report["outcome"] == "MemoryError", report
    text = report["text"]
    # numpy's own message ("Unable to allocate ...") would mean an allocation was attempted.
    assert not text.startswith("Unable to allocate"), text
    assert "GiB" in text and "joint_bilateral_filter" in text, text
    # The first statement that allocates a stack is where the call stops.
    assert report["entries"] == [["Sovelk.Joint_bilateral_filter.joint_bilateral_filter", 44]], report
    # Nothing near the size of a stack was allocated: the padded copies are all there is.
    assert report["peak"] < needed / 20 and report["peak"] < 256 * 2 ** 20, report


GIB = 2 ** 30


# Construction accepts any integer sigma_s; a numpy integer one gives numpy-integer geometry.
SIGMA_TYPES = ["int", "int64", "int32"]


@pytest.mark.parametrize("sigma_type", SIGMA_TYPES)
def test_stacks_beyond_any_machine_are_refused(sigma_type):
    # sigma_s 30: 32761 window planes of a 1000x1000x3 image, about 1 TiB of stacks.
    args = (30, 1000, 1000, 3)
    assert stack_bytes(*args) > 100 * GIB
    report = run_child(0 if SANITIZED else 4 * GIB, *args, sigma_type)
    assert_refused_before_allocating(report, stack_bytes(*args))


@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
@pytest.mark.parametrize("sigma_type", SIGMA_TYPES)
def test_stacks_beyond_the_address_space_limit_are_refused(sigma_type):
    """Each stack alone would be allocatable on most machines; the process's limit says no."""
    args = (3, 500, 500, 3)  # 361 planes: about 2.6 GiB of stacks, a 1 GiB address-space allowance
    assert stack_bytes(*args) > 2 * GIB
    report = run_child(1 * GIB, *args, sigma_type)
    assert_refused_before_allocating(report, stack_bytes(*args))


@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
def test_calls_that_fit_still_run_under_a_limit():
    """The check refuses only what cannot fit: a modest call under the same limit returns."""
    args = (1, 60, 50, 3)  # 49 planes, a few MiB
    report = run_child(1 * GIB, *args)
    assert report["outcome"] == "returned" and report["shape"] == [60, 50, 3], report


def test_refusal_leaves_the_process_usable():
    """After a refusal the same interpreter goes on filtering, with the same filter object."""
    code = textwrap.dedent("""
        import numpy as np, Sovelk
        class Ref(Sovelk.Joint_bilateral_filter):
            def get_range_kernel(self, g):
                return super().get_range_kernel(g)
        f = Ref(30, 0.1)
        try:
            f.joint_bilateral_filter(np.zeros((1000, 1000, 3), np.uint8), np.zeros((1000, 1000), np.uint8))
        except MemoryError:
            pass
        else:
            raise SystemExit("not refused")
        small = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
        out = f.joint_bilateral_filter(small, small[:, :, 0].copy())
        assert out.shape == small.shape
        print("usable")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.abspath(Sovelk.__file__)),
                                                    env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert proc.returncode == 0 and "usable" in proc.stdout, proc.stderr[-3000:]


# Construction computes a (6 sigma_s + 1)^2 spatial kernel through eight arrays of that size.
CONSTRUCT = PRELUDE + r"""
tracemalloc.start()
try:
    report = {"outcome": "returned", "shape": list(Sovelk.Joint_bilateral_filter(int(sys.argv[2]), 0.1).kernel_s.shape)}
except BaseException as exc:
    report = {"outcome": type(exc).__name__, "text": str(exc),
              "entries": [[fs.name, fs.lineno] for fs in traceback.extract_tb(exc.__traceback__)
                          if fs.filename == "Sovelk"]}
report["peak"] = tracemalloc.get_traced_memory()[1]
print(json.dumps(report))
"""


@pytest.mark.parametrize("spare, sigma_s", [
    pytest.param(1 * GIB, 1000, id="2-GiB-kernel-under-1-GiB-limit",
                 marks=pytest.mark.skipif(SANITIZED, reason="no address-space limit under AddressSanitizer")),
    pytest.param(0, 100000, id="20-TiB-kernel-without-limit"),
])
def test_construction_beyond_memory_is_refused_before_allocating(spare, sigma_s):
    report = run_child(spare, sigma_s, 0, 0, 0, code=CONSTRUCT)
    assert report["outcome"] == "MemoryError" and "get_spatial_kernel needs about" in report["text"], report
    assert report["entries"] == [["Sovelk.Joint_bilateral_filter.__init__", 12],
                                 ["Sovelk.Joint_bilateral_filter.get_spatial_kernel", 22]], report
    assert report["peak"] < 64 * 2 ** 20, report


@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
def test_construction_that_fits_still_runs_under_a_limit():
    report = run_child(1 * GIB, 100, 0, 0, 0, code=CONSTRUCT)  # 601 x 601: 23 MiB
    assert report["outcome"] == "returned" and report["shape"] == [601, 601], report


# Each case runs its own code under the address-space allowance argv[1] (PRELUDE) and reports the
# outcome of the call `call()` with the module's traceback entries.
OUTCOME = PRELUDE + r"""
def outcome(call):
    tracemalloc.start()
    try:
        out = call()
        report = {"outcome": "returned", "shape": list(out.shape)}
    except BaseException as exc:
        report = {"outcome": type(exc).__name__, "text": str(exc),
                  "cause": type(exc.__cause__).__name__ if exc.__cause__ is not None else None,
                  "entries": [[fs.name, fs.lineno] for fs in traceback.extract_tb(exc.__traceback__)
                              if fs.filename == "Sovelk"]}
    report["peak"] = tracemalloc.get_traced_memory()[1]
    print(json.dumps(report))
"""
FILTER = "Sovelk.Joint_bilateral_filter.joint_bilateral_filter"


def run_outcome(spare_bytes, code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.abspath(Sovelk.__file__)),
                                                    env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", OUTCOME + code,
                           str(spare_bytes)], capture_output=True, text=True, timeout=TIMEOUT, env=env)
    assert proc.returncode == 0, f"child ended with status {proc.returncode}:\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_padding_beyond_memory_is_refused_at_its_line_before_allocating():
    """A filter whose geometry was changed (or unpickled) to a huge pad_w asks OpenCV and numpy for
    tens of GiB of padded copies of a 16x16 image; under a cgroup limit that was an OOM kill."""
    report = run_outcome(0 if SANITIZED else 1 * GIB, r"""
f = Sovelk.Joint_bilateral_filter(1, 0.1)
f.pad_w, f.wndw_size = 40000, 80001
img = np.zeros((16, 16, 3), np.uint8)
outcome(lambda: f.joint_bilateral_filter(img, img[:, :, 0].copy()))
""")
    assert report["outcome"] == "MemoryError" and "padding this array needs about" in report["text"], report
    assert report["entries"] == [[FILTER, 40]] and report["peak"] < 64 * 2 ** 20, report


@pytest.mark.long
@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
@pytest.mark.parametrize("shapes, line", [("(200, 200, 3), (200, 200, 1)", 51), ("(200, 200), (200, 200)", 47)],
                         ids=["guidance-with-one-channel", "image-with-two-axes"])
def test_errors_the_statements_raise_first_come_before_any_refusal(shapes, line):
    """Under a limit that holds the window stacks but not the whole call, the statements' own
    error comes first: memory is judged for each allocation as it comes, not for the call's peak."""
    report = run_outcome(int(2.5 * GIB), f"""
img_shape, guidance_shape = {shapes}
f = Sovelk.Joint_bilateral_filter(5, 0.1)
outcome(lambda: f.joint_bilateral_filter(np.zeros(img_shape, np.uint8), np.zeros(guidance_shape, np.uint8)))
""")
    assert report["outcome"] == "ValueError" and report["entries"] == [[FILTER, line]], report


@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
def test_opencv_running_out_of_memory_is_a_memory_error():
    """float16, which OpenCV pads too, is left to OpenCV to judge; its 'Insufficient memory' comes
    out as MemoryError, with OpenCV's error as the cause."""
    report = run_outcome(1 * GIB, r"""
f = Sovelk.Joint_bilateral_filter(1, 0.1)
f.pad_w, f.wndw_size = 15000, 30001
img = np.zeros((8, 8, 3), np.float16)
outcome(lambda: f.joint_bilateral_filter(img, img[:, :, 0].copy()))
""")
    assert report["outcome"] == "MemoryError" and report["cause"] == "error", report
    assert report["entries"] == [[FILTER, 40]], report


@pytest.mark.long
@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
def test_forked_child_does_not_inherit_the_parents_reservations():
    """A call in flight on another thread reserves memory when the process forks; the child has
    no such call, and a call that fits its own limit must run there."""
    report = run_outcome(0, r"""
import threading
f = Sovelk.Joint_bilateral_filter(2, 0.1)
big = np.zeros((6000, 6000, 3), np.uint8)
small = np.zeros((1500, 1500, 3), np.uint8)  # needs more than calls too small to weigh
started = threading.Event()
def filter_big():
    started.set()
    f.joint_bilateral_filter(big, big[:, :, 0].copy())
t = threading.Thread(target=filter_big)
t.start()
started.wait()
time.sleep(0.3)  # inside the kernel, its padded copies reserved
pid = os.fork()
if pid == 0:
    limit = vm_bytes() + 150 * 2 ** 20  # the child's own call fits; the parent's reservation would not
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        ok = f.joint_bilateral_filter(small, small[:, :, 0].copy()).shape == small.shape
    except MemoryError:
        ok = False
    os._exit(0 if ok else 3)
t.join()
print(json.dumps({"status": os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])}))
""")
    assert report == {"status": 0}, report
