"""CPU time of one filtering call on one core, for two builds side by side, interleaved.

    python benchmarks/call_overhead.py BUILD_DIR_A BUILD_DIR_B [--sizes 512x512,1024x1024]
        [--sigmas 1] [--rounds 5] [--repeat 5]

Each round runs one child process per build (pinned to one CPU, so the kernel runs on one
thread and CPU time is the call's whole cost); a child reports the least CPU time over --repeat
calls. The table gives the least over the rounds and the ratio B / A.
"""
import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, os, sys, time
import numpy as np
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import Sovelk
h, w, sigma_s, gray, repeat = json.loads(sys.argv[1])
rng = np.random.default_rng(0)
img = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
guidance = img[:, :, 0].copy() if gray else img[:, :, ::-1].copy()
f = Sovelk.Joint_bilateral_filter(sigma_s, 0.1)
best = float("inf")
for _ in range(repeat):
    t0 = time.process_time()
    f.joint_bilateral_filter(img, guidance)
    best = min(best, time.process_time() - t0)
print(json.dumps(best))
"""


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("a")
    p.add_argument("b")
    p.add_argument("--sizes", default="512x512,1024x1024")
    p.add_argument("--sigmas", default="1")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()
    cases = [(int(s.split("x")[0]), int(s.split("x")[1]), int(sig), gray)
             for s in args.sizes.split(",") for sig in args.sigmas.split(",") for gray in (True, False)]
    best = {}
    for _ in range(args.rounds):
        for case in cases:
            for build in (args.a, args.b):
                env = dict(os.environ, PYTHONPATH=build)
                out = subprocess.run([sys.executable, "-c", CHILD, json.dumps([*case, args.repeat])],
                                     capture_output=True, text=True, env=env, check=True)
                t = json.loads(out.stdout.strip().splitlines()[-1])
                best[case, build] = min(best.get((case, build), float("inf")), t)
    print(f"{'size':>10} {'sigma_s':>7} {'guidance':>8} {'A ms':>8} {'B ms':>8} {'B/A':>6}")
    for h, w, sig, gray in cases:
        a, b = best[(h, w, sig, gray), args.a], best[(h, w, sig, gray), args.b]
        print(f"{h}x{w:<5} {sig:>7} {'gray' if gray else 'colour':>8} {a * 1e3:>8.1f} {b * 1e3:>8.1f} {b / a:>6.2f}")


if __name__ == "__main__":
    main()
