"""sovelk_tools.joint_bilateral: agreement with its numpy model, speed against the class's 8-bit
path and against OpenCV's joint bilateral filter, and the cost of a call.

    python benchmarks/function_bench.py cases [--per-cell 4]
    python benchmarks/function_bench.py speed [--size 1024x1024] [--sigmas 1,3,5] [--rounds 5]
    python benchmarks/function_bench.py opencv [--size 1024x1024] [--sigmas 1,3,5] [--rounds 5]
    python benchmarks/function_bench.py overhead [--rounds 5]
    python benchmarks/function_bench.py memory

cases     random cases per dtype x channels x mode (1 to 9 pixels a side, windows up to 13, gray
          and colour guidance, random output dtypes and rounding) compared bit for bit with
          tests/function_oracle.py; prints how many were run and how many were equal.
speed     one thread (pinned, SOVELK_NUM_THREADS=1), CPU time: the function on a colour image of
          uint8, uint16 and float32 and on a gray (h, w) float32 image, each over the class's
          joint_bilateral_filter on the uint8 colour image with the same gray guidance. Equal
          windows and pixels, so the ratio is the ratio per pixel-offset (the gray row is per
          pixel-offset of one channel against three).
opencv    float32 images of 1 channel (gray guidance) and 3 channels (colour guidance) against
          cv2.ximgproc.jointBilateralFilter with the same window side, sigmaColor 255 * 0.1 on a
          float32 guidance of the same intensities, at one thread (pinned, setNumThreads(1), CPU
          time) and at all cores (both at their defaults, wall time). OpenCV contrib runs from
          --contrib-python (default /tmp/cvcontrib/bin/python).
overhead  microseconds per call on a 4x4x3 uint8 image, sigma_s 1: the class against the function.
memory    peak memory of a 1 x 10^7 colour uint8 image at sigma_s 2, the class and the function:
          the growth of the process's peak resident memory over its level before the call.
Every timed figure is the minimum over --rounds rounds; in a round every configuration runs once
in a fresh child process, in turn, so that another job on the machine disturbs them alike.
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = textwrap.dedent(
    r"""
    import json, os, sys, time
    config = json.loads(sys.argv[1])
    if config["one_thread"]:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[-1]})
    import numpy as np
    h, w, sigma_s, what = config["h"], config["w"], config["sigma_s"], config["what"]
    rng = np.random.default_rng(0)
    yy, xx = np.mgrid[0:h, 0:w]
    scene = 128 + 60 * np.sin(xx / 37.0) * np.cos(yy / 23.0) + 50 * ((xx // 97 + yy // 71) % 2)
    colour = np.clip(scene[:, :, None] + rng.normal(0, 20, (h, w, 3)), 0, 255)
    gray_guide = np.clip(scene + rng.normal(0, 5, (h, w)), 0, 255).astype(np.uint8)
    colour_guide = np.clip(scene[:, :, None] + rng.normal(0, 5, (h, w, 3)), 0, 255).astype(np.uint8)
    channels = config.get("channels", 3)
    image = colour if channels == 3 else colour[:, :, 0]
    guide = colour_guide if config.get("guide") == "colour" else gray_guide
    dtype = config.get("dtype", "uint8")
    if dtype == "uint16":
        image = (image * 16).astype(np.uint16)
    elif dtype == "float32":
        image = (image / 255.0).astype(np.float32)
    else:
        image = image.astype(np.uint8)
    if what == "class":
        import Sovelk
        filt = Sovelk.Joint_bilateral_filter(sigma_s, 0.1)
        run = lambda: filt.joint_bilateral_filter(image, guide)
    elif what == "function":
        from sovelk_tools import joint_bilateral
        run = lambda: joint_bilateral(image, guide, sigma_s, 0.1)
    else:
        import cv2
        if config["one_thread"]:
            cv2.setNumThreads(1)
        joint = guide.astype(np.float32)
        d = 6 * sigma_s + 1
        run = lambda: cv2.ximgproc.jointBilateralFilter(joint, image, d, 255 * 0.1, sigma_s)
    clock = time.process_time if config["one_thread"] else time.perf_counter
    run()
    best, spent, calls = float("inf"), 0.0, 0
    while calls < config["repeat"] or (spent < 0.25 and calls < 100):
        t0 = clock()
        run()
        took = clock() - t0
        best, spent, calls = min(best, took), spent + took, calls + 1
    print(json.dumps(best))
    """
)

OVERHEAD = textwrap.dedent(
    r"""
    import json, sys, time
    import numpy as np
    import Sovelk
    from sovelk_tools import joint_bilateral
    image = np.random.default_rng(0).integers(0, 256, (4, 4, 3), dtype=np.uint8)
    guide = image[:, :, 0].copy()
    filt = Sovelk.Joint_bilateral_filter(1, 0.1)
    calls = {"class": lambda: filt.joint_bilateral_filter(image, guide),
             "function": lambda: joint_bilateral(image, guide, 1, 0.1, rounding="truncate")}
    best = {}
    for name, call in calls.items():
        call()
        for _ in range(20):
            t0 = time.perf_counter()
            for _ in range(2000):
                call()
            best[name] = min(best.get(name, 1e9), (time.perf_counter() - t0) / 2000)
    print(json.dumps(best))
    """
)

MEMORY = textwrap.dedent(
    r"""
    import json, sys
    import numpy as np
    what = sys.argv[1]
    image = np.random.default_rng(0).integers(0, 256, (1, 10_000_000, 3), dtype=np.uint8)
    guide = image[:, :, 0].copy()
    def status_kib(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    if what == "class":
        import Sovelk
        filt = Sovelk.Joint_bilateral_filter(2, 0.1)
        run = lambda: filt.joint_bilateral_filter(image, guide)
    else:
        from sovelk_tools import joint_bilateral
        run = lambda: joint_bilateral(image, guide, 2, 0.1, rounding="truncate")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = status_kib("VmRSS")
    out = run()
    print(json.dumps({"call_mib": (status_kib("VmHWM") - base) / 1024,
                      "io_mib": (image.nbytes + guide.nbytes + out.nbytes) / 2**20}))
    """
)


def child(python, code, args, env_extra=None, timeout=1800):
    env = dict(os.environ, **(env_extra or {}))
    done = subprocess.run([python, "-c", code, *args], capture_output=True, text=True, env=env, timeout=timeout)
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-2000:])
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def best_of(rounds, jobs):
    best = {}
    for _ in range(rounds):
        for key, python, config in jobs:
            env = {"SOVELK_NUM_THREADS": "1"} if config["one_thread"] else {}
            t = child(python, CHILD, [json.dumps(config)], env)
            if t is not None:
                best[key] = min(best.get(key, float("inf")), t)
    return best


def cases(args):
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import numpy as np

    import function_oracle
    from sovelk_tools import joint_bilateral

    dtypes = ["uint8", "uint16", "int16", "int32", "float32", "float64"]
    modes = ["reflect", "mirror", "nearest", "wrap", "constant"]
    rng = np.random.default_rng(args.seed)
    print(f"{'dtype':>8} {'ch':>3} " + " ".join(f"{m:>9}" for m in modes))
    total = equal = 0
    for dtype in dtypes:
        for channels in range(1, 6):
            cells = []
            for mode in modes:
                run = same = 0
                for n in range(args.per_cell):
                    h, w = rng.integers(1, 10, 2)
                    shape = (h, w) if channels == 1 and n % 2 else (h, w, channels)
                    if dtype.startswith("float"):
                        image = (rng.normal(0, 10.0 ** rng.integers(-3, 6), shape)).astype(dtype)
                    else:
                        info = np.iinfo(dtype)
                        image = rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
                    gshape = [(h, w), (h, w, 1), (h, w, 3)][n % 3]
                    guidance = rng.integers(0, 256, gshape, dtype=np.uint8)
                    sigma_s = [1, 2, 0.7, 1.4][rng.integers(4)]
                    options = {"mode": mode}
                    if mode == "constant":
                        options.update(cval=float(rng.integers(0, 100)), guidance_cval=int(rng.integers(256)))
                    got = joint_bilateral(image, guidance, sigma_s, 0.1, **options)
                    want = function_oracle.joint_bilateral(image, guidance, sigma_s, 0.1, **options)
                    run += 1
                    same += got.dtype == want.dtype and got.tobytes() == want.tobytes()
                cells.append(f"{same:>4}/{run:<4}")
                total, equal = total + run, equal + same
            print(f"{dtype:>8} {channels:>3} " + " ".join(f"{c:>9}" for c in cells))
    print(f"{equal} of {total} cases equal to the model bit for bit")


def speed(args):
    h, w = (int(v) for v in args.size.split("x"))
    sigmas = [int(s) for s in args.sigmas.split(",")]
    rows = [("uint8 colour", "uint8", 3), ("uint16 colour", "uint16", 3), ("float32 colour", "float32", 3),
            ("float32 gray", "float32", 1)]
    jobs = []
    for sigma_s in sigmas:
        base = {"h": h, "w": w, "sigma_s": sigma_s, "one_thread": True, "repeat": args.repeat}
        jobs.append(((sigma_s, "class"), sys.executable, dict(base, what="class")))
        for label, dtype, channels in rows:
            jobs.append(((sigma_s, label), sys.executable, dict(base, what="function", dtype=dtype, channels=channels)))
    best = best_of(args.rounds, jobs)
    print(f"{h}x{w}, gray guidance, one thread, CPU ms; ratio = function / class (uint8 colour)")
    print(f"{'sigma_s':>7} {'class ms':>9} " + " ".join(f"{label:>20}" for label, _, _ in rows))
    for sigma_s in sigmas:
        ref = best.get((sigma_s, "class"))
        cells = []
        for label, _, _ in rows:
            t = best.get((sigma_s, label))
            cells.append("-" if t is None or ref is None else f"{t * 1e3:8.1f} ms {t / ref:5.2f}")
        print(f"{sigma_s:>7} {ref * 1e3 if ref else float('nan'):>9.1f} " + " ".join(f"{c:>20}" for c in cells))


def opencv(args):
    h, w = (int(v) for v in args.size.split("x"))
    sigmas = [int(s) for s in args.sigmas.split(",")]
    kinds = [(1, "gray"), (3, "colour")]
    jobs = []
    for sigma_s in sigmas:
        for channels, guide in kinds:
            for one_thread in (True, False):
                config = {"h": h, "w": w, "sigma_s": sigma_s, "one_thread": one_thread, "repeat": args.repeat,
                          "dtype": "float32", "channels": channels, "guide": guide}
                key = (sigma_s, channels, one_thread)
                jobs.append((key + ("ours",), sys.executable, dict(config, what="function")))
                jobs.append((key + ("jbf",), args.contrib_python, dict(config, what="jbf")))
    best = best_of(args.rounds, jobs)
    print(f"{h}x{w} float32; ratio = our time / cv2.ximgproc.jointBilateralFilter's")
    print(f"{'sigma_s':>7} {'image':>12} | {'1 thread ms':>11} {'ratio':>6} | {'all cores ms':>12} {'ratio':>6}")
    for sigma_s in sigmas:
        for channels, guide in kinds:
            cells = []
            for one_thread in (True, False):
                ours, peer = (best.get((sigma_s, channels, one_thread, k)) for k in ("ours", "jbf"))
                cells.append((f"{ours * 1e3:.1f}" if ours else "-", f"{ours / peer:.2f}" if ours and peer else "-"))
            print(f"{sigma_s:>7} {f'{channels}ch {guide}':>12} | {cells[0][0]:>11} {cells[0][1]:>6} | "
                  f"{cells[1][0]:>12} {cells[1][1]:>6}")


def overhead(args):
    best = {}
    for _ in range(args.rounds):
        r = child(sys.executable, OVERHEAD, [])
        for k, v in (r or {}).items():
            best[k] = min(best.get(k, 1e9), v)
    print(f"per call, 4x4x3 uint8, sigma_s 1: class {best['class'] * 1e6:.1f} us, "
          f"function {best['function'] * 1e6:.1f} us, difference {(best['function'] - best['class']) * 1e6:+.1f} us")


def memory(args):
    for what in ("class", "function"):
        r = child(sys.executable, MEMORY, [what])
        if r:
            print(f"{what:>8}: 1 x 10^7 x 3 uint8, sigma_s 2: call adds {r['call_mib']:.0f} MiB of peak memory "
                  f"(inputs and output {r['io_mib']:.0f} MiB)")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=["cases", "speed", "opencv", "overhead", "memory"])
    p.add_argument("--per-cell", type=int, default=4)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--size", default="1024x1024")
    p.add_argument("--sigmas", default="1,3,5")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--contrib-python", default=os.environ.get("SOVELK_CONTRIB_PYTHON", "/tmp/cvcontrib/bin/python"))
    args = p.parse_args()
    globals()[args.what](args)


if __name__ == "__main__":
    main()
