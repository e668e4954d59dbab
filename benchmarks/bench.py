"""Speed and memory of joint_bilateral_filter, as ratios measured side by side in one run.

    python benchmarks/bench.py                 # the full table (several minutes)
    python benchmarks/bench.py --quick         # 256x256 and 512x512 only

Columns, per image size, sigma_s and guidance kind:
  fused ms     the module's call (the fused native kernel where it is eligible)
  stmt/fused   the whole-array statements (forced with a subclass that overrides
               get_range_kernel) divided by the fused call; only where the statements' window
               stacks fit in --statement-gib
  fused/cv     the fused call divided by OpenCV contrib's cv2.ximgproc.jointBilateralFilter
               (window side 6*sigma_s+1, sigmaColor 255*sigma_r, sigmaSpace sigma_s, all cores).
               opencv-contrib conflicts with opencv-python-headless, so it runs from another
               virtual environment: --contrib-python PATH (default: $SOVELK_CONTRIB_PYTHON);
               the column is skipped when there is none.
  call MiB     growth of the peak resident memory of a child process over its level before
               the first call (libraries and inputs loaded): the call's working memory
  io MiB       what the inputs and the output take, for comparison
  peak MiB     the child process's whole peak resident memory
Every timing is the best of --repeat runs in a child process; ratios come from one run.
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    r"""
    import json, resource, sys, time
    import numpy as np
    config = json.loads(sys.argv[1])
    h, w, gray, sigma_s, mode, repeat = (config[k] for k in ("h", "w", "gray", "sigma_s", "mode", "repeat"))
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    guidance = img[:, :, 0].copy() if gray else img.copy()
    if mode == "contrib":
        import cv2
        cv2.setNumThreads(0)
        def run():
            return cv2.ximgproc.jointBilateralFilter(guidance, img, 6 * sigma_s + 1, 255 * 0.1, sigma_s)
    else:
        import Sovelk
        if mode == "statements":
            class Statements(Sovelk.Joint_bilateral_filter):
                def get_range_kernel(self, tmp_guidance):
                    return super().get_range_kernel(tmp_guidance)
            filt = Statements(sigma_s, 0.1)
        else:
            filt = Sovelk.Joint_bilateral_filter(sigma_s, 0.1)
        def run():
            return filt.joint_bilateral_filter(img, guidance)
    # Everything before the first call (interpreter, libraries, inputs) is the baseline.
    base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - t0)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    data = img.nbytes + guidance.nbytes + out.nbytes
    print(json.dumps({"seconds": best, "peak_kib": peak, "base_kib": base_rss, "data_bytes": data}))
    """
)

SIZES = [(256, 256), (512, 512), (1024, 1024), (3000, 4000)]
SIGMAS = [1, 2, 3, 5]


def measure(python, config, timeout):
    try:
        done = subprocess.run(
            [python, "-c", CHILD, json.dumps(config)], capture_output=True, text=True, timeout=timeout
        )
    except subprocess.TimeoutExpired:
        return None
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-2000:])
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def statement_bytes(h, w, sigma_s, gray):
    """Peak of the statements' arrays: both window stacks and the weights."""
    offsets = (6 * sigma_s + 1) ** 2
    return 8 * offsets * h * w * (2 * 3 + (1 if gray else 3) + 3)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--statement-gib", type=float, default=12.0)
    parser.add_argument("--contrib-python", default=os.environ.get("SOVELK_CONTRIB_PYTHON", ""))
    parser.add_argument("--sizes", default="", help="e.g. 256x256,512x512")
    parser.add_argument("--sigmas", default="", help="e.g. 1,3")
    args = parser.parse_args()
    sizes = SIZES[:2] if args.quick else SIZES
    if args.sizes:
        sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    sigmas = [int(s) for s in args.sigmas.split(",")] if args.sigmas else SIGMAS
    contrib = args.contrib_python if args.contrib_python and os.path.exists(args.contrib_python) else None

    header = f"{'size':>10} {'sigma_s':>7} {'guidance':>8} {'fused ms':>9} {'stmt/fused':>10} {'fused/cv':>8} {'call MiB':>8} {'io MiB':>8} {'peak MiB':>8}"
    print(header)
    print("-" * len(header))
    for h, w in sizes:
        for sigma_s in sigmas:
            for gray in (True, False):
                config = dict(h=h, w=w, gray=gray, sigma_s=sigma_s, repeat=args.repeat, mode="fused")
                fused = measure(sys.executable, config, timeout=600)
                if fused is None:
                    print(f"{w}x{h:<5} {sigma_s:>7} {'gray' if gray else 'colour':>8}  failed")
                    continue
                stmt_ratio = "-"
                if statement_bytes(h, w, sigma_s, gray) <= args.statement_gib * 2**30:
                    stmt = measure(sys.executable, dict(config, mode="statements", repeat=1), timeout=900)
                    if stmt is not None:
                        stmt_ratio = f"{stmt['seconds'] / fused['seconds']:.0f}x"
                cv_ratio = "-"
                if contrib:
                    cv = measure(contrib, dict(config, mode="contrib"), timeout=600)
                    if cv is not None:
                        cv_ratio = f"{fused['seconds'] / cv['seconds']:.2f}"
                print(
                    f"{w:>5}x{h:<4} {sigma_s:>7} {'gray' if gray else 'colour':>8} "
                    f"{fused['seconds'] * 1000:>9.1f} {stmt_ratio:>10} {cv_ratio:>8} "
                    f"{(fused['peak_kib'] - fused['base_kib']) / 1024:>8.0f} {fused['data_bytes'] / 2**20:>8.1f} "
                    f"{fused['peak_kib'] / 1024:>8.0f}",
                    flush=True,
                )


if __name__ == "__main__":
    main()
