"""Speed and memory of joint_bilateral_filter against OpenCV at equal threads, in one run.

    python benchmarks/bench.py                  # the README's table (about ten minutes)
    python benchmarks/bench.py --quick          # 512x512 only
    python benchmarks/bench.py --sizes 1024x1024 --sigmas 3 --rounds 5

Peers, each on the same uint8 colour image with the same window side (6*sigma_s+1),
sigmaColor 255*sigma_r and sigmaSpace sigma_s:
  JBF   OpenCV contrib's cv2.ximgproc.jointBilateralFilter with the same guidance.
  BF    cv2.bilateralFilter, which can only guide an image by itself: compared on the
        self-guided colour rows alone.
opencv-contrib conflicts with opencv-python-headless, so the peers run from another virtual
environment: --contrib-python PATH (default $SOVELK_CONTRIB_PYTHON, else /tmp/cvcontrib/bin/python).
Make one with:
    python3 -m venv /tmp/cvcontrib && /tmp/cvcontrib/bin/pip install numpy opencv-contrib-python-headless

Threads are equal on both sides:
  1 thread   every process pinned to one core (sched_setaffinity), cv2.setNumThreads(1),
             SOVELK_NUM_THREADS=1; times are CPU seconds of the process, so another job on the
             machine cannot inflate them.
  all cores  OpenCV at its default thread count (setNumThreads is not called: 0 would turn its
             threading off), the module at its default; wall-clock seconds.
--no-avx512 runs both sides as on a CPU without AVX-512: SOVELK_ISA=avx2 for the module and
OPENCV_CPU_DISABLE for OpenCV's AVX-512 dispatch targets.
Ratios are ours / peer: below 1 means faster than the peer.

Rows: guidance "gray" is the image's first channel blurred (so it is not the image itself),
"colour" is an independent colour image of the same scene blurred, "self" is the image itself.
--image noise: uniform noise, each guidance independent noise. --image PATH: a photo resized to
each size, "gray" its gray version, "colour" the photo blurred (5x5 Gaussian).
Every figure is the minimum over --rounds rounds; in each round every configuration runs once,
in turn (interleaved), in a fresh child process that makes one untimed call, then --repeat timed
calls, more while they add up to less than a quarter second. Columns:
  ms           our call, one thread (CPU ms) and all cores (wall ms)
  /JBF /BF     our time over the peer's, same threads
  stmt/fused   the whole-array statements (forced with a subclass overriding
               get_range_kernel) over the fused call, one thread; only where the statements'
               window stacks fit in --statement-gib. "cold" times the statements' first call in
               the process, whose gigabytes of fresh pages the kernel must still fault in; later
               calls reuse freed memory and run several times faster
  call MiB     growth of a child process's peak resident memory during the calls, over its
               level before the first call (libraries and inputs loaded; Linux's peak reset)
  io MiB       the inputs plus the output
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent(
    r"""
    import json, os, sys, time
    config = json.loads(sys.argv[1])
    if config["one_thread"]:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[-1]})
    import numpy as np
    h, w, guide, sigma_s, mode, repeat = (config[k] for k in ("h", "w", "guide", "sigma_s", "mode", "repeat"))
    rng = np.random.default_rng(0)
    # A smooth scene with noise and edges, so that the range weights vary as they do on photos.
    yy, xx = np.mgrid[0:h, 0:w]
    scene = (128 + 60 * np.sin(xx / 37.0) * np.cos(yy / 23.0) + 50 * ((xx // 97 + yy // 71) % 2))
    image = config["image"]
    if image == "scene":
        img = np.clip(scene[:, :, None] + rng.normal(0, 20, (h, w, 3)), 0, 255).astype(np.uint8)
        gray = np.clip(scene + rng.normal(0, 5, (h, w)), 0, 255).astype(np.uint8)
        colour = np.clip(scene[:, :, None] + rng.normal(0, 5, (h, w, 3)), 0, 255).astype(np.uint8)
    elif image == "noise":
        img, gray, colour = (rng.integers(0, 256, shape, dtype=np.uint8) for shape in ((h, w, 3), (h, w), (h, w, 3)))
    else:  # a photo resized to h x w; guided by its gray version, or by itself blurred
        import cv2
        img = cv2.resize(cv2.imread(image), (w, h), interpolation=cv2.INTER_AREA)
        gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
        colour = cv2.GaussianBlur(img, (5, 5), 0)
    guidance = {"self": img, "gray": gray}.get(guide, colour)
    if mode in ("jbf", "bf"):
        import cv2
        if config["one_thread"]:
            cv2.setNumThreads(1)
        d = 6 * sigma_s + 1
        if mode == "jbf":
            run = lambda: cv2.ximgproc.jointBilateralFilter(guidance, img, d, 255 * 0.1, sigma_s)
        else:
            run = lambda: cv2.bilateralFilter(img, d, 255 * 0.1, sigma_s)
    else:
        import Sovelk
        cls = Sovelk.Joint_bilateral_filter
        if mode == "statements":
            class Statements(cls):
                def get_range_kernel(self, tmp_guidance):
                    return super().get_range_kernel(tmp_guidance)
            cls = Statements
        filt = cls(sigma_s, 0.1)
        run = lambda: filt.joint_bilateral_filter(img, guidance)
    clock = time.process_time if config["one_thread"] else time.perf_counter
    del yy, xx, scene, gray, colour
    def status_kib(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    # Making the inputs took more memory than a call does: reset the high-water mark (Linux),
    # so that the peak below is the calls' own.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base_rss = status_kib("VmRSS")
    t0 = clock()
    out = run()
    first = clock() - t0
    best, spent, calls = float("inf"), 0.0, 0
    # At least `repeat` calls, and short calls until a quarter second has been timed: a call of a
    # few milliseconds on all cores is easily caught while another thread of the machine runs.
    while calls < repeat or (spent < config["min_seconds"] and calls < 100):
        out = None  # the previous result is not part of the next call's memory
        t0 = clock()
        out = run()
        took = clock() - t0
        best, spent, calls = min(best, took), spent + took, calls + 1
    peak = status_kib("VmHWM")
    io = img.nbytes + (0 if guidance is img else guidance.nbytes) + out.nbytes
    print(json.dumps({"seconds": best, "first_seconds": first, "peak_kib": peak, "base_kib": base_rss,
                      "io_bytes": io}))
    """
)

DEFAULT_SIZES = [(512, 512), (1024, 1024)]
DEFAULT_SIGMAS = [1, 3, 5]
GUIDES = ["gray", "colour", "self"]


def measure(python, config, timeout):
    env = dict(os.environ)
    if config["one_thread"]:
        env["SOVELK_NUM_THREADS"] = "1"
    try:
        done = subprocess.run([python, "-c", CHILD, json.dumps(config)], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return None
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-2000:])
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def statement_bytes(h, w, sigma_s, guide):
    """Peak of the statements' arrays: both window stacks and the weights."""
    offsets = (6 * sigma_s + 1) ** 2
    return 8 * offsets * h * w * (2 * 3 + (1 if guide == "gray" else 3) + 3)


def best_of(rounds, jobs):
    """Runs every (key, python, config) once per round, in turn; the minimum per key."""
    best = {}
    for _ in range(rounds):
        for key, python, config in jobs:
            result = measure(python, config, timeout=1800)
            if result is None:
                continue
            if key not in best or result["seconds"] < best[key]["seconds"]:
                best[key] = result
    return best


def size_sigma_pairs(text):
    """(h, w, sigma_s) for each "HxW:S" of a comma-separated list."""
    for pair in filter(None, text.split(",")):
        size, sigma_s = pair.split(":")
        h, w = (int(v) for v in size.split("x"))
        yield h, w, int(sigma_s)


def ratio(best, ours, peer):
    if ours not in best or peer not in best:
        return "-"
    return f"{best[ours]['seconds'] / best[peer]['seconds']:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="512x512 only")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--statement-gib", type=float, default=4.0)
    parser.add_argument("--contrib-python",
                        default=os.environ.get("SOVELK_CONTRIB_PYTHON", "/tmp/cvcontrib/bin/python"))
    parser.add_argument("--sizes", default="", help="e.g. 512x512,1024x1024 (height x width)")
    parser.add_argument("--sigmas", default="", help="e.g. 1,3")
    parser.add_argument("--guides", default=",".join(GUIDES), help="gray,colour,self")
    parser.add_argument("--statements", default="256x256:3",
                        help="size:sigma pairs for the stmt/fused column, e.g. 256x256:3")
    parser.add_argument("--memory", default="3000x4000:3",
                        help="size:sigma pairs for the memory rows, e.g. 3000x4000:3")
    parser.add_argument("--image", default="scene",
                        help="scene (synthetic, the default), noise, or the path of a photo (resized to each size)")
    parser.add_argument("--threads", choices=("both", "one", "all"), default="both",
                        help="which columns to time: one thread, all cores, or both (the default)")
    parser.add_argument("--no-avx512", action="store_true",
                        help="both sides without AVX-512, as on most desktop and laptop CPUs")
    args = parser.parse_args()
    if args.no_avx512:  # inherited by every child process
        os.environ["SOVELK_ISA"] = "avx2"
        os.environ["OPENCV_CPU_DISABLE"] = "AVX512F,AVX512-SKX,AVX512-CLX,AVX512-CNL,AVX512-ICL"
        print("without AVX-512: SOVELK_ISA=avx2, OPENCV_CPU_DISABLE=" + os.environ["OPENCV_CPU_DISABLE"])
    sizes = DEFAULT_SIZES[:1] if args.quick else DEFAULT_SIZES
    if args.sizes:
        sizes = [tuple(int(v) for v in s.split("x")) for s in args.sizes.split(",")]
    sigmas = [int(s) for s in args.sigmas.split(",")] if args.sigmas else DEFAULT_SIGMAS
    guides = [g for g in args.guides.split(",") if g]
    thread_settings = {"both": (True, False), "one": (True,), "all": (False,)}[args.threads]
    contrib = args.contrib_python if os.path.exists(args.contrib_python) else None
    if contrib is None:
        print(f"no OpenCV contrib interpreter at {args.contrib_python}: peer columns skipped", file=sys.stderr)
    here = sys.executable

    def config(h, w, sigma_s, guide, mode, one_thread, repeat=args.repeat, min_seconds=0.25):
        return dict(h=h, w=w, sigma_s=sigma_s, guide=guide, mode=mode, one_thread=one_thread, repeat=repeat,
                    min_seconds=min_seconds, image=args.image)

    header = (f"{'size':>10} {'sigma_s':>7} {'guidance':>8} | {'1 thread ms':>11} {'/JBF':>5} {'/BF':>5} | "
              f"{'all cores ms':>12} {'/JBF':>5} {'/BF':>5}")
    print(header)
    print("-" * len(header))
    for h, w in sizes:
        for sigma_s in sigmas:
            for guide in guides:
                jobs = []
                for one in thread_settings:
                    jobs.append((("ours", one), here, config(h, w, sigma_s, guide, "fused", one)))
                    if contrib:
                        jobs.append((("jbf", one), contrib, config(h, w, sigma_s, guide, "jbf", one)))
                        if guide == "self":
                            jobs.append((("bf", one), contrib, config(h, w, sigma_s, guide, "bf", one)))
                best = best_of(args.rounds, jobs)
                cells = []
                for one in (True, False):
                    if one not in thread_settings:
                        cells.append(f"{'-':>{11 if one else 12}} {'-':>5} {'-':>5}")
                        continue
                    ms = f"{best[('ours', one)]['seconds'] * 1000:.1f}" if ("ours", one) in best else "failed"
                    cells.append(f"{ms:>{11 if one else 12}} {ratio(best, ('ours', one), ('jbf', one)):>5} "
                                 f"{ratio(best, ('ours', one), ('bf', one)):>5}")
                print(f"{w:>5}x{h:<4} {sigma_s:>7} {guide:>8} | {cells[0]} | {cells[1]}", flush=True)

    print()
    print(f"{'size':>10} {'sigma_s':>7} {'guidance':>8} {'stmt/fused':>10} {'cold':>6}")
    for h, w, sigma_s in size_sigma_pairs(args.statements):
        for guide in ("gray", "colour"):
            if statement_bytes(h, w, sigma_s, guide) > args.statement_gib * 2**30:
                continue
            best = best_of(1, [("fused", here, config(h, w, sigma_s, guide, "fused", True)),
                               ("stmt", here, config(h, w, sigma_s, guide, "statements", True, repeat=3, min_seconds=0))])
            if len(best) < 2:
                print(f"{w:>5}x{h:<4} {sigma_s:>7} {guide:>8}     failed", flush=True)
                continue
            warm = best["stmt"]["seconds"] / best["fused"]["seconds"]
            cold = best["stmt"]["first_seconds"] / best["fused"]["seconds"]
            print(f"{w:>5}x{h:<4} {sigma_s:>7} {guide:>8} {warm:>9.0f}x {cold:>5.0f}x", flush=True)

    print()
    print(f"{'size':>10} {'sigma_s':>7} {'guidance':>8} {'call MiB':>8} {'io MiB':>8} {'call/io':>7}")
    for h, w, sigma_s in size_sigma_pairs(args.memory):
        for guide in ("gray", "colour"):
            r = measure(here, config(h, w, sigma_s, guide, "fused", False, repeat=1, min_seconds=0), timeout=1800)
            if r is None:
                print(f"{w:>5}x{h:<4} {sigma_s:>7} {guide:>8}   failed")
                continue
            call = (r["peak_kib"] - r["base_kib"]) / 1024
            io = r["io_bytes"] / 2**20
            print(f"{w:>5}x{h:<4} {sigma_s:>7} {guide:>8} {call:>8.0f} {io:>8.1f} {call / io:>7.2f}", flush=True)


if __name__ == "__main__":
    main()
