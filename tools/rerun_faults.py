"""Reruns, many times over, the child scripts of the tests that once crashed or hung the process,
and counts how each run ended: an outside-style check that a fault stays fixed under timing
the test suite's single runs may miss.

    python tools/rerun_faults.py [--runs 20] [--timeout 120]

The module and sovelk_tools are imported as the children find them (PYTHONPATH, else the
installed copies). Exit status 1 when any run crashed, hung or ended with another status.
"""
import argparse
import collections
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests"), os.path.join(HERE, "..", "tests", "hardening"),
                os.path.join(HERE, "..", "tests", "tools")]

import test_joint_bilateral  # noqa: E402  (the child scripts live with their tests)
import test_threads  # noqa: E402

CASES = {
    "daemon thread at exit, 8-bit path": (test_threads.DAEMON_CHILD, ["uint8"]),
    "daemon thread at exit, int32 path": (test_threads.DAEMON_CHILD, ["int32"]),
    "daemon thread at exit, statements": (test_threads.DAEMON_CHILD, ["statements"]),
    "fork in a signal handler during a call": (test_threads.SIGNAL_FORK_CHILD, []),
    "daemon thread at exit, joint_bilateral": (test_joint_bilateral.DAEMON_CHILD, []),
}


def outcome(code, args, timeout):
    try:
        proc = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code, *args],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "hang"
    if proc.returncode < 0 or proc.returncode == 134:
        return "crash"
    if proc.returncode != 0:
        return f"exit {proc.returncode}"
    if code is test_threads.SIGNAL_FORK_CHILD and '"status": 0' not in proc.stdout:
        return "child failed"
    return "ok"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()
    bad = False
    for name, (code, child_args) in CASES.items():
        counts = collections.Counter(outcome(code, child_args, args.timeout) for _ in range(args.runs))
        bad = bad or set(counts) != {"ok"}
        print(f"{name:42s} " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())), flush=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
