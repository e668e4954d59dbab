"""Several Python threads filtering at once.

The fast path releases the interpreter lock while it computes, and the statements call numpy,
which releases it too, so calls really do overlap. Results must not depend on that: every
concurrent call gives what the same call gives alone, whether the threads share one filter object
or use their own, and a thread that reassigns attributes while another filters causes no crash.
"""

import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import Sovelk

Filter = Sovelk.Joint_bilateral_filter
THREADS = 4
CALLS = 6


class Ref(Filter):
    """Forces the statements (an override keeps the fused kernel out). Defined here, not taken
    from conftest: the child processes below import this file on its own."""

    def get_range_kernel(self, tmp_guidance):
        return super().get_range_kernel(tmp_guidance)


@pytest.fixture(autouse=True)
def quick_switches():
    # Hand the interpreter lock over often, so that threads interleave inside the statements too.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def pair(seed, h=40, w=48, gc=None):
    rng = np.random.default_rng(seed)
    img = rng.integers(0, 256, size=(h, w, 3)).astype(np.uint8)
    shape = (h, w) if gc is None else (h, w, gc)
    return img, rng.integers(0, 256, size=shape).astype(np.uint8)


def run_threads(work, count=THREADS):
    """Start `count` threads on work(index) at the same moment; return their results or errors."""
    barrier = threading.Barrier(count)
    results = [None] * count

    def body(k):
        barrier.wait()
        try:
            results[k] = ("ok", work(k))
        except BaseException as exc:  # reported below, in the main thread
            results[k] = ("err", exc)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a filtering thread never finished"
    for kind, value in results:
        if kind == "err":
            raise value
    return [value for _, value in results]


@pytest.mark.parametrize("cls", [Filter, Ref], ids=["default", "statements"])
def test_shared_filter_object_gives_serial_results(cls):
    f = cls(2, 0.1)
    inputs = [pair(k, gc=None if k % 2 else 3) for k in range(THREADS)]
    serial = [f.joint_bilateral_filter(img, g) for img, g in inputs]

    def work(k):
        img, g = inputs[k]
        return [f.joint_bilateral_filter(img, g) for _ in range(CALLS)]

    for k, outputs in enumerate(run_threads(work)):
        for out in outputs:
            assert out.dtype == np.uint8 and np.array_equal(out, serial[k]), f"thread {k}"


@pytest.mark.parametrize("cls", [Filter, Ref], ids=["default", "statements"])
def test_separate_filter_objects_give_serial_results(cls):
    params = [(1, 0.1), (2, 0.05), (1, 0.3), (2, 1.0)]
    filters = [cls(s, r) for s, r in params]
    img, g = pair(7, gc=3)
    serial = [f.joint_bilateral_filter(img, g) for f in filters]
    # Distinct parameters give distinct images, so a mix-up between threads would show.
    assert len({out.tobytes() for out in serial}) == len(serial)

    def work(k):
        return [filters[k].joint_bilateral_filter(img, g) for _ in range(CALLS)]

    for k, outputs in enumerate(run_threads(work)):
        for out in outputs:
            assert np.array_equal(out, serial[k]), f"thread {k}"


def test_many_threads_same_input_arrays():
    """Many threads reading the very same input arrays, which must stay as they were."""
    f = Filter(1, 0.1)
    img, g = pair(11)
    img.flags.writeable = False
    before = (img.tobytes(), g.tobytes())
    expected = f.joint_bilateral_filter(img, g)
    outputs = run_threads(lambda k: f.joint_bilateral_filter(img, g), count=8)
    assert all(np.array_equal(out, expected) for out in outputs)
    assert (img.tobytes(), g.tobytes()) == before


def swapping(f, name, values, stop):
    """Reassign f.<name> among `values` until `stop` is set; the thread body."""
    def body():
        i = 0
        while not stop.is_set():
            setattr(f, name, values[i % len(values)])
            i += 1
    return threading.Thread(target=body)


@pytest.mark.parametrize("cls", [Filter, Ref], ids=["default", "statements"])
@pytest.mark.parametrize("name", ["table_r_gray", "kernel_s"])
def test_reassigning_an_attribute_while_filtering_gives_old_or_new_result(cls, name):
    """A call reads kernel_s and the table once each, so it sees the old value or the new one."""
    f = cls(1, 0.1)
    other = cls(1, 0.6) if name == "table_r_gray" else cls(1, 0.1)
    if name == "kernel_s":
        other.kernel_s = np.ascontiguousarray(f.kernel_s[::-1] ** 3)
    values = [getattr(f, name), getattr(other, name)]
    img, g = pair(3)
    probe = cls(1, 0.1)
    expected = []
    for v in values:
        setattr(probe, name, v)
        expected.append(probe.joint_bilateral_filter(img, g))
    assert not np.array_equal(expected[0], expected[1])

    stop = threading.Event()
    swapper = swapping(f, name, values, stop)
    swapper.start()
    try:
        outputs = run_threads(lambda k: [f.joint_bilateral_filter(img, g) for _ in range(CALLS)], count=2)
    finally:
        stop.set()
        swapper.join()
    for out in (o for outs in outputs for o in outs):
        assert any(np.array_equal(out, e) for e in expected), \
            "a result equal to neither the old nor the new attribute's"


@pytest.mark.parametrize("cls", [Filter, Ref], ids=["default", "statements"])
def test_reassigning_geometry_while_filtering_never_crashes(cls):
    """pad_w, wndw_size and kernel_s are read several times per call; a thread changing them one
    at a time may hand a call a mixture, which must end in a result of the right shape or an
    ordinary exception, never a crash."""
    f = cls(1, 0.1)
    big = cls(2, 0.1)
    img, g = pair(5, h=24, w=30)
    stop = threading.Event()
    swappers = [
        swapping(f, "pad_w", [3, 6, -1, 3], stop),
        swapping(f, "wndw_size", [7, 13, 7.0, 7], stop),
        swapping(f, "kernel_s", [f.kernel_s, big.kernel_s, np.ones(3), f.kernel_s], stop),
    ]
    for s in swappers:
        s.start()
    outcomes = []
    try:
        def work(k):
            mine = []
            for _ in range(CALLS * 2):
                try:
                    mine.append(f.joint_bilateral_filter(img, g))
                except Exception as exc:  # judged below: only the kind matters
                    mine.append(exc)
            return mine
        outcomes = [o for outs in run_threads(work, count=2) for o in outs]
    finally:
        stop.set()
        for s in swappers:
            s.join()
    assert len(outcomes) == 2 * CALLS * 2
    for o in outcomes:
        if isinstance(o, BaseException):
            assert not isinstance(o, SystemError), o
        else:
            assert o.dtype == np.uint8 and o.shape == img.shape


def test_caller_writing_into_the_image_during_a_call_does_no_harm():
    """A caller that changes its image while another thread filters it gets some result (which
    one is a race in the caller's code), but never a crash or a damaged filter object."""
    f = Filter(2, 0.1)
    img, g = pair(9, h=64, w=64)
    kernel = f.kernel_s.copy()
    stop = threading.Event()

    def scribble():
        v = 0
        while not stop.is_set():
            img[v % 64] = v % 256
            v += 1

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        outputs = run_threads(lambda k: [f.joint_bilateral_filter(img, g) for _ in range(CALLS)], count=2)
    finally:
        stop.set()
        writer.join()
    assert all(o.shape == img.shape and o.dtype == np.uint8 for outs in outputs for o in outs)
    assert np.array_equal(f.kernel_s, kernel)



def run_child(code, **env_changes):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.abspath(Sovelk.__file__)),
                                                    env.get("PYTHONPATH")) if p)
    env.pop("SOVELK_NUM_THREADS", None)
    env.update(env_changes)
    proc = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


POOL_CHILD = r"""
import json, os, threading
import numpy as np
import Sovelk

tasks = lambda: len(os.listdir("/proc/self/task"))
before = tasks()  # the interpreter and what numpy's libraries started; no pool thread yet
f = Sovelk.Joint_bilateral_filter(2, 0.1)
rng = np.random.default_rng(3)
inputs = [(rng.integers(0, 256, (90, 70, 3)).astype(np.uint8),
           rng.integers(0, 256, (90, 70) if k % 2 else (90, 70, 3)).astype(np.uint8)) for k in range(16)]
serial = [f.joint_bilateral_filter(img, g) for img, g in inputs]
most, done, barrier, same = [0], threading.Event(), threading.Barrier(16), [False] * 16
def watch():
    while not done.is_set():
        most[0] = max(most[0], tasks())
def body(k):
    barrier.wait()
    same[k] = all(np.array_equal(f.joint_bilateral_filter(*inputs[k]), serial[k]) for _ in range(4))
threads = [threading.Thread(target=watch)] + [threading.Thread(target=body, args=(k,)) for k in range(16)]
for t in threads[1:] + threads[:1]:
    t.start()
for t in threads[1:]:
    t.join()
done.set()
threads[0].join()
print(json.dumps({"before": before, "most": most[0], "same": same}))
"""


@pytest.mark.parametrize("cap", [None, "1"], ids=["all-cores", "SOVELK_NUM_THREADS=1"])
def test_sixteen_callers_share_one_pool_of_native_threads(cap):
    """Each call asks for a thread per core; at once they still run no more native threads than
    the process may use besides the Python threads themselves, and give the serial results."""
    report = run_child(POOL_CHILD, **({} if cap is None else {"SOVELK_NUM_THREADS": cap}))
    assert all(report["same"]), report
    cores = len(os.sched_getaffinity(0)) if cap is None else int(cap)
    python_threads = 16 + 1  # the callers and the watcher, all alive at once
    assert report["before"] + python_threads <= report["most"] <= report["before"] + python_threads + cores, report


FORK_CHILD = r"""
import json, os, time
import numpy as np
import Sovelk

f = Sovelk.Joint_bilateral_filter(2, 0.1)
img = np.random.default_rng(5).integers(0, 256, (120, 80, 3)).astype(np.uint8)
expected = f.joint_bilateral_filter(img, img[:, :, 1].copy())  # the pool's threads run now
pid = os.fork()
if pid == 0:  # a multiprocessing worker, say: none of the parent's threads came along
    os._exit(0 if np.array_equal(f.joint_bilateral_filter(img, img[:, :, 1].copy()), expected) else 3)
deadline, status = time.monotonic() + 60, None
while status is None and time.monotonic() < deadline:
    done, raw = os.waitpid(pid, os.WNOHANG)
    status = os.waitstatus_to_exitcode(raw) if done else time.sleep(0.05)
if status is None:
    os.kill(pid, 9)
print(json.dumps({"status": status}))
"""


def test_forked_child_filters_without_the_parents_threads():
    assert run_child(FORK_CHILD) == {"status": 0}


SIGNAL_FORK_CHILD = r"""
import json, os, signal, time
os.environ["SOVELK_NUM_THREADS"] = "2"  # the call must outlast the timer on many-core machines too
import numpy as np
import Sovelk

f = Sovelk.Joint_bilateral_filter(8, 0.1)
img = np.random.default_rng(6).integers(0, 256, (1200, 1200, 3)).astype(np.uint8)
g = img[:, :, 1].copy()
expected = f.joint_bilateral_filter(img, g)
forked = []
def fork_in_handler(signum, frame):
    forked.append(os.fork())
signal.signal(signal.SIGALRM, fork_in_handler)
signal.setitimer(signal.ITIMER_REAL, 0.1)
out = f.joint_bilateral_filter(img, g)  # the handler runs while the pool's threads filter
signal.setitimer(signal.ITIMER_REAL, 0)  # a call that ended first must not be killed at exit
if forked == [0]:  # the child goes on with the call its parent was making
    os._exit(0 if np.array_equal(out, expected) else 3)
deadline, status = time.monotonic() + 120, None
while forked and status is None and time.monotonic() < deadline:
    done, raw = os.waitpid(forked[0], os.WNOHANG)
    status = os.waitstatus_to_exitcode(raw) if done else time.sleep(0.05)
if forked and status is None:
    os.kill(forked[0], 9)
print(json.dumps({"forked": bool(forked), "status": status, "parent": bool(np.array_equal(out, expected))}))
"""


@pytest.mark.long
def test_fork_in_a_signal_handler_during_a_call_leaves_a_child_that_finishes_it():
    """The child has none of the threads that were filtering: it must not wait for them (it hung)
    but filter the call itself, to the same result."""
    assert run_child(SIGNAL_FORK_CHILD) == {"forked": True, "status": 0, "parent": True}


DAEMON_CHILD = r"""
import sys, threading, time
import numpy as np
import Sovelk

class Statements(Sovelk.Joint_bilateral_filter):
    def get_range_kernel(self, g):
        return super().get_range_kernel(g)

path = sys.argv[1]
rng = np.random.default_rng(0)
f = Statements(1, 0.1) if path == "statements" else Sovelk.Joint_bilateral_filter(5, 0.1)
img = rng.integers(0, 256, (96, 96, 3) if path == "statements" else (1024, 1024, 3), dtype=np.uint8)
if path == "int32":
    img = img.astype(np.int32)
def forever():
    while True:
        f.joint_bilateral_filter(img, img)
threading.Thread(target=forever, daemon=True).start()
time.sleep(0.5)  # the interpreter exits with the thread inside a call
"""


# The thread's end begins in the C library (pthread_exit), which AddressSanitizer does not
# instrument: the redzones of the frames it unwinds stay poisoned, and ASan's own bookkeeping at
# the next instrumented frame trips on them (a report in its sigaltstack interceptor).
SANITIZED = bool(os.environ.get("SOVELK_SANITIZED")) or "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.long
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot follow an unwind that starts in pthread_exit")
@pytest.mark.parametrize("path", ["uint8", "int32", "statements"])
def test_interpreter_exits_cleanly_with_a_daemon_thread_inside_a_call(path):
    """At exit CPython ends a daemon thread by a forced unwind when it asks for the GIL back:
    the unwind must pass every frame of the module (it was swallowed: abort) and touch no object
    without the GIL (it did: segfault while the main thread collected)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(os.path.abspath(Sovelk.__file__)),
                                                    env.get("PYTHONPATH")) if p)
    for _ in range(3 if path == "statements" else 1):
        proc = subprocess.run([sys.executable, "-c", DAEMON_CHILD, path], capture_output=True, text=True,
                              env=env, timeout=120)
        assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
