"""Two builds of the module side by side: the CPU time of one call, and whether the bits agree.

    python benchmarks/compare_builds.py native=python3:/tmp/build portable=/tmp/venv/bin/python \\
        [--rounds 9] [--isa default,avx2] [--cpu N]

Each build is NAME=PYTHON[:PYTHONPATH]. For every build and instruction-set setting (``default``
or a SOVELK_ISA value) a child process is started, pinned to one core (--cpu, by default the last
one this process may use) with SOVELK_NUM_THREADS=1, so that its CPU time is the call's own. The
rounds interleave all children, case by case; the table gives each child's minimum over the rounds
and each build's ratio to the first build. Every child also hashes each case's result: all builds
must give the same bits.
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys

# size, sigma_s, sigma_r, guidance, image. The kernel takes different inner loops by image: noise
# at sigma_r 0.1 is decided by the single-precision cheap pass, a flat image needs the exact
# sequence everywhere (the cheap pass is predicted to fail and skipped), and at sigma_r 0.0015 the
# range Gaussian is too steep for the single-precision pass, so noise takes the double-precision
# cheap pass instead.
CASES = [
    ((1024, 1024), 3, 0.1, "gray", "noise"),
    ((1024, 1024), 3, 0.1, "colour", "noise"),
    ((512, 512), 1, 0.1, "colour", "noise"),
    ((1024, 1024), 3, 0.1, "gray", "flat"),
    ((1024, 1024), 3, 0.1, "colour", "flat"),
    ((512, 512), 1, 0.1, "colour", "flat"),
    ((1024, 1024), 3, 0.0015, "colour", "noise"),
]

CHILD = r"""
import hashlib, json, os, sys, time
os.sched_setaffinity(0, {int(sys.argv[1])})
import numpy as np, Sovelk
cases = json.loads(sys.argv[2])
inputs = []
for (h, w), sigma_s, sigma_r, guide, kind in cases:
    rng = np.random.default_rng(h + sigma_s)
    shape = (h, w) if guide == "gray" else (h, w, 3)
    if kind == "flat":
        img, g = np.full((h, w, 3), 200, np.uint8), np.full(shape, 200, np.uint8)
    else:
        img = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
        g = rng.integers(0, 256, shape, dtype=np.uint8)
    inputs.append((Sovelk.Joint_bilateral_filter(sigma_s, sigma_r), img, g))
print(json.dumps({"file": Sovelk.__file__}), flush=True)
for line in sys.stdin:
    f, img, g = inputs[int(line)]
    t0 = time.process_time()
    out = f.joint_bilateral_filter(img, g)
    cpu = time.process_time() - t0
    print(json.dumps({"cpu": cpu, "hash": hashlib.sha256(out.tobytes()).hexdigest()}), flush=True)
"""


def start(python, path, isa, core):
    env = dict(os.environ, SOVELK_NUM_THREADS="1")
    env.pop("SOVELK_ISA", None)
    if isa != "default":
        env["SOVELK_ISA"] = isa
    if path:
        env["PYTHONPATH"] = path
    else:
        env.pop("PYTHONPATH", None)
    cases = json.dumps([[list(size), s, r, g, kind] for size, s, r, g, kind in CASES])
    child = subprocess.Popen([python, "-c", CHILD, str(core), cases], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=env, cwd="/")
    return child, json.loads(child.stdout.readline())["file"]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("builds", nargs="+", help="NAME=PYTHON[:PYTHONPATH]")
    p.add_argument("--rounds", type=int, default=9)
    p.add_argument("--isa", default="default,avx2", help="comma-separated: default and/or SOVELK_ISA values")
    p.add_argument("--cpu", type=int, default=max(os.sched_getaffinity(0)),
                   help="the core every child is pinned to (default: the last this process may use)")
    args = p.parse_args()
    children = {}
    for build in args.builds:
        name, _, where = build.partition("=")
        python, _, path = where.partition(":")
        for isa in args.isa.split(","):
            children[name, isa] = start(python, path, isa, args.cpu)
            print(f"{name} ({isa}): {children[name, isa][1]}")
    best, hashes = {}, {}
    for _ in range(args.rounds):
        for case in range(len(CASES)):
            for key, (child, _) in children.items():
                child.stdin.write(f"{case}\n")
                child.stdin.flush()
                reply = json.loads(child.stdout.readline())
                best[key + (case,)] = min(best.get(key + (case,), reply["cpu"]), reply["cpu"])
                hashes.setdefault(case, set()).add(reply["hash"])
    for child, _ in children.values():
        child.stdin.close()
        child.wait()
    first = args.builds[0].partition("=")[0]
    print(f"\n{'case':>44} {'build':>10} {'isa':>8} {'cpu ms':>8} {'/ ' + first:>10}")
    for case, ((h, w), sigma_s, sigma_r, guide, kind) in enumerate(CASES):
        for (name, isa), _ in children.items():
            ms = 1000 * best[name, isa, case]
            ratio = best[name, isa, case] / best[first, isa, case]
            label = f"{h}x{w} {kind} sigma_s {sigma_s} r {sigma_r} {guide}"
            print(f"{label:>44} {name:>10} {isa:>8} {ms:8.1f} {ratio:10.3f}")
    same = all(len(h) == 1 for h in hashes.values())
    print("\nresults identical across builds and settings:", "yes" if same else "NO")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
