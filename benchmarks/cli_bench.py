"""The ``sovelk filter`` command of this checkout against another release of sovelk_tools.

    git archive 5a6419a python | tar -x -C /tmp/sovelk-old
    PYTHONPATH=BUILD python benchmarks/cli_bench.py --old /tmp/sovelk-old/python [--size 2048] [--rounds 3]

BUILD is the folder of tools/dev-build.sh (Sovelk and sovelk_tools._native), used by both sides.
For 8-bit gray and colour PNGs (with a colour guidance) and a gray .npy written disk to disk, each
side filters in a fresh child, pinned to one CPU with SOVELK_NUM_THREADS=1, in turn for --rounds
rounds. Printed: the minimum CPU time (user + system) and peak resident memory of the child,
this checkout over the other, and whether the two outputs are the same bytes.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.join(os.path.dirname(HERE), "python")

# Made in a child of its own: a child's peak resident memory counts from the parent it was
# forked from, which must therefore stay small.
MAKE_INPUTS = """
import sys
import cv2
import numpy as np
n = int(sys.argv[1])
rng = np.random.default_rng(0)
colour = cv2.GaussianBlur(rng.integers(0, 256, (n, n, 3), dtype=np.uint8), (0, 0), 2)
guide = cv2.GaussianBlur(rng.integers(0, 256, (n, n, 3), dtype=np.uint8), (0, 0), 3)
cv2.imwrite("colour.png", colour)
cv2.imwrite("gray.png", colour[:, :, 1])
cv2.imwrite("guide.png", guide)
np.save("gray.npy", colour[:, :, 1])
np.save("guide.npy", guide[:, :, 1])
"""


def run(python_dir: str, args: list, cwd: str) -> tuple:
    env = dict(os.environ, SOVELK_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH", ""), python_dir) if p)
    # The build folder comes first on the path, so both sides use the same native modules.
    proc = subprocess.Popen(["taskset", "-c", "0", sys.executable, "-m", "sovelk_tools", "filter", *args, "-q"],
                            cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    err = proc.stderr.read().decode()
    proc.stderr.close()
    if status != 0:
        raise SystemExit(f"{python_dir}: sovelk filter {' '.join(args)} failed: {err}")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--old", required=True, help="the python/ folder of the other release")
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--sigma-s", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    n = args.size
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([sys.executable, "-c", MAKE_INPUTS, str(n)], cwd=work, check=True)
        cases = [("gray png", "gray.png", "guide.png", ".png"), ("colour png", "colour.png", "guide.png", ".png"),
                 ("gray npy", "gray.npy", "guide.npy", ".npy")]
        best = {}
        for _ in range(args.rounds):
            for name, image, guidance, ext in cases:
                for side, python_dir in (("new", CHECKOUT), ("old", args.old)):
                    out = f"{name.replace(' ', '_')}_{side}{ext}"
                    cpu, rss = run(python_dir, [image, guidance, "-o", out, "--sigma-s", str(args.sigma_s),
                                                "--overwrite"], work)
                    old_cpu, old_rss = best.get((name, side), (cpu, rss))
                    best[(name, side)] = (min(cpu, old_cpu), min(rss, old_rss))
        print(f"{n}x{n}, sigma_s {args.sigma_s}, one thread; minimum of {args.rounds} rounds")
        print(f"{'case':12} {'new s':>7} {'old s':>7} {'new/old':>7} {'new MiB':>8} {'old MiB':>8} same bytes")
        for name, _, _, ext in cases:
            (new_cpu, new_rss), (old_cpu, old_rss) = best[(name, "new")], best[(name, "old")]
            stem = name.replace(" ", "_")
            same = open(os.path.join(work, f"{stem}_new{ext}"), "rb").read() == \
                open(os.path.join(work, f"{stem}_old{ext}"), "rb").read()
            print(f"{name:12} {new_cpu:7.2f} {old_cpu:7.2f} {new_cpu / old_cpu:7.2f} {new_rss:8.0f} {old_rss:8.0f} {same}")


if __name__ == "__main__":
    main()
