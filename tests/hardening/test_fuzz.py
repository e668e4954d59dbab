"""Odd inputs thrown at construction and at every method, each target in its own child process.

The properties and the input space are in fuzzing.py. Here each target runs as a separate
interpreter, so that a crash or a hang fails the test instead of the whole run, and the failure
message carries the case that was running and the command that runs the same cases again.

Budget: SOVELK_FUZZ_EXAMPLES cases per target (default 150, a few seconds each); a fixed seed
with SOVELK_FUZZ_SEED, otherwise a fresh one, printed with every failure. docs/hardening.md has
the command for a long campaign.
"""

import os
import random
import signal
import subprocess
import sys

import pytest

import Sovelk
from . import fuzzing

pytestmark = pytest.mark.long  # run with --long or -m long (see tests/conftest.py)

HERE = os.path.dirname(os.path.abspath(__file__))
FUZZING = os.path.join(HERE, "fuzzing.py")
EXAMPLES = int(os.environ.get("SOVELK_FUZZ_EXAMPLES", "150"))
SEED = int(os.environ.get("SOVELK_FUZZ_SEED") or random.SystemRandom().randrange(2 ** 32))
# One case is tiny; a case running this long is a hang. Sanitizer builds run several times slower.
CASE_TIMEOUT = float(os.environ.get("SOVELK_FUZZ_CASE_TIMEOUT", "60"))


def child_env(last_case):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(Sovelk.__file__))
    # The child must import the very build under test, ahead of anything else on the path.
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, HERE, env.get("PYTHONPATH")) if p)
    env["SOVELK_EXPECT_FILE"] = os.path.abspath(Sovelk.__file__)
    env["SOVELK_FUZZ_LASTCASE"] = str(last_case)
    env["SOVELK_FUZZ_CASE_TIMEOUT"] = str(CASE_TIMEOUT)
    return env


def describe_exit(code):
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


def run_child(target, examples, seed, tmp_path, timeout):
    cmd = [sys.executable, FUZZING, target, str(examples), str(seed)]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=child_env(tmp_path / "last_case"),
                          cwd=str(tmp_path))


@pytest.mark.parametrize("target", fuzzing.TARGETS)
def test_fuzz_target(target, tmp_path):
    last_case = tmp_path / "last_case"
    # Generous: the per-case watchdog in the child reports a hang long before this.
    overall = 300 + EXAMPLES * 2.0
    module_dir = os.path.dirname(os.path.abspath(Sovelk.__file__))
    replay = f"PYTHONPATH={module_dir} python {FUZZING} {target} {EXAMPLES} {SEED}  (same seed, same cases)"
    try:
        proc = run_child(target, EXAMPLES, SEED, tmp_path, overall)
    except subprocess.TimeoutExpired as exc:
        case = last_case.read_text() if last_case.exists() else "(none started)"
        pytest.fail(f"fuzz child for {target} hung (> {overall:.0f} s), seed {SEED}\n"
                    f"last case: {case}\nreplay: {replay}\noutput: {(exc.stdout or '')[-2000:]}")
    done = [line for line in proc.stdout.splitlines() if line.startswith("FUZZ-DONE")]
    if proc.returncode != 0 or not done:
        case = last_case.read_text() if last_case.exists() else "(none started)"
        pytest.fail(f"fuzz child for {target}: {describe_exit(proc.returncode)}, seed {SEED}\n"
                    f"last case: {case}\nreplay: {replay}\n"
                    f"--- stdout (tail)\n{proc.stdout[-6000:]}\n--- stderr (tail)\n{proc.stderr[-6000:]}")
    fields = dict(kv.split("=") for kv in done[0].split()[1:])
    # Every requested case ran (hypothesis stops early only if it finds a failure).
    assert int(fields["cases"]) >= EXAMPLES, done[0]
    print(done[0])


# ---- the checks themselves can fail ------------------------------------------------------------

def test_snapshot_notices_every_kind_of_change():
    import numpy as np

    base = np.arange(12, dtype=np.int16).reshape(3, 4)
    changes = {
        "contents": lambda a: a.__setitem__((0, 0), 99),
        "read-only flag": lambda a: setattr(a.flags, "writeable", False),
    }
    for what, change in changes.items():
        a = base.copy()
        before = fuzzing.snapshot(a)
        change(a)
        assert fuzzing.snapshot(a) != before, what
    objs = np.array([1, "x", None], dtype=object)
    before = fuzzing.snapshot(objs)
    objs[1] = "x" * 2  # equal-looking elements are compared by identity
    assert fuzzing.snapshot(objs) != before
    f = fuzzing.Filter(1, 0.1)
    before = fuzzing.snapshot(f)
    f.kernel_s[0, 0] = 2.0
    assert fuzzing.snapshot(f) != before
    # The same values in another layout are another state: strides are part of the record.
    assert fuzzing.snapshot(base) != fuzzing.snapshot(np.asfortranarray(base))


def _pair(seed, h, w):
    import numpy as np

    rng = np.random.default_rng(seed)
    return (rng.integers(0, 256, (h, w, 3), dtype=np.uint8), rng.integers(0, 256, (h, w), dtype=np.uint8))


def test_run_case_reports_a_broken_contract():
    def broken(tmp_guidance):
        raise SystemError("selftest")

    case = ("filter", (1, 0.1, (("get_range_kernel", broken),)), _pair(1, 4, 5), "default")
    with pytest.raises(fuzzing.Violation, match="SystemError"):
        fuzzing.run_case(case)


def test_run_case_reports_paths_that_differ(monkeypatch):
    class Skewed(fuzzing.Filter):
        def get_range_kernel(self, tmp_guidance):
            return super().get_range_kernel(tmp_guidance) ** 3

    monkeypatch.setattr(fuzzing, "Statements", Skewed)
    with pytest.raises(fuzzing.Violation, match="differ"):
        fuzzing.run_case(("filter", (1, 0.1, ()), _pair(3, 6, 7), "default"))


def test_a_seed_replays_the_same_cases(tmp_path):
    # What a failure report offers for replay must hold: one seed, the same cases in the same order.
    digests = set()
    for run in range(2):
        proc = run_child("filter", 10, 12345, tmp_path, 300)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        digests.add(proc.stdout.split("digest=")[1].split()[0])
    assert len(digests) == 1
