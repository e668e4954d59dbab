"""An image guided by itself: sovelk_tools.bilateral against cv2.bilateralFilter and
skimage.restoration.denoise_bilateral, in one run, and how far each result is from a float64
filter with exact Gaussian weights.

    pip install scikit-image          # the photos and the scikit-image peer
    python benchmarks/self_guided.py                      # astronaut, coffee, chelsea; sigma_s 1, 3, 5
    python benchmarks/self_guided.py --no-avx512          # both sides without AVX-512
    python benchmarks/self_guided.py --images astronaut --sigmas 3 --rounds 5 --accuracy ""

Kinds of image, each from scikit-image's photos: "u8 colour" (the photo), "u8 gray" (its gray
version), "u16 gray" (gray * 257) and "f32 gray" (gray / 255). sigma_r 0.1 in each one's units:
a fraction of 255 for 8 bits (sigmaColor 25.5 for OpenCV), of 65535 for 16 bits (OpenCV filters a
float32 copy with sigmaColor 6553.5: it takes no 16-bit image), and 0.1 for floats in 0..1.
The window is 6 sigma_s + 1 on a side for all three; OpenCV weighs only the offsets within the
circle of that diameter, scikit-image and Sovelk the whole square.

Threads are equal on both sides. "1 thread": every process pinned to one core, SOVELK_NUM_THREADS=1,
cv2.setNumThreads(1), CPU time of the call. "all cores": each at its default, wall time.
scikit-image is single-threaded and is timed once, on one core. Every figure is the fastest of
--rounds rounds; in each round every configuration runs once, in turn, in a fresh child process
that makes an untimed call first. Ratios are ours / peer: below 1, ours is faster.

Accuracy ("err" columns): the largest and the root-mean-square difference from a float64 filter
over the same square window with weights exp(-d^2 / (2 sigma^2)) computed exactly, mirrored border
(OpenCV's BORDER_REFLECT), on the pixels whose windows stay inside the image (borders differ
between the three), in the image's own units (levels for integers).
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

import numpy as np

CHILD = textwrap.dedent(
    r"""
    import json, os, sys, time
    config = json.loads(sys.argv[1])
    if config["one_thread"]:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[-1]})
    import numpy as np
    img = np.load(config["path"])
    s, who = config["sigma_s"], config["who"]
    d = 6 * s + 1
    scale = {"uint8": 255.0, "uint16": 65535.0}.get(img.dtype.name, 1.0)
    if who == "opencv":
        import cv2
        if config["one_thread"]:
            cv2.setNumThreads(1)
        src = img.astype(np.float32) if img.dtype == np.uint16 else img
        run = lambda: cv2.bilateralFilter(src, d, 0.1 * scale, s)
    elif who == "skimage":
        from skimage.restoration import denoise_bilateral
        src = img.astype(np.float64) / scale if scale != 1.0 else img.astype(np.float64)
        axis = -1 if img.ndim == 3 else None
        run = lambda: denoise_bilateral(src, win_size=d, sigma_color=0.1, sigma_spatial=s, channel_axis=axis)
    else:
        from sovelk_tools import bilateral
        run = lambda: bilateral(img, s, 0.1)
    clock = time.process_time if config["one_thread"] else time.perf_counter
    out = run()
    if config["save"]:
        np.save(config["save"], np.asarray(out))
    best, spent, calls = float("inf"), 0.0, 0
    while calls < config["repeat"] or (spent < 0.25 and calls < 50):
        t0 = clock()
        run()
        took = clock() - t0
        best, spent, calls = min(best, took), spent + took, calls + 1
    print(json.dumps({"seconds": best}))
    """
)

KINDS = ["u8 colour", "u8 gray", "u16 gray", "f32 gray"]


def photos(names):
    import cv2
    from skimage import data

    for name in names:
        colour = np.ascontiguousarray(getattr(data, name)()[:, :, ::-1])  # BGR, as OpenCV reads
        gray = cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY)
        yield name, {"u8 colour": colour, "u8 gray": gray, "u16 gray": gray.astype(np.uint16) * 257,
                     "f32 gray": (gray / 255.0).astype(np.float32)}


def measure(config, timeout=3600):
    env = dict(os.environ)
    if config["one_thread"]:
        env["SOVELK_NUM_THREADS"] = "1"
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(config)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    if done.returncode != 0:
        sys.stderr.write(done.stderr[-2000:])
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])["seconds"]


def exact_reference(img, sigma_s, sigma_r):
    """The float64 bilateral filter with exact Gaussian weights, square window, mirrored border."""
    scale = {"uint8": 255.0, "uint16": 65535.0}.get(img.dtype.name, 1.0)
    x = img.astype(np.float64)
    x3 = x if x.ndim == 3 else x[:, :, None]
    pad = 3 * sigma_s
    padded = np.pad(x3, ((pad, pad), (pad, pad), (0, 0)), mode="symmetric")
    h, w = x3.shape[:2]
    num = np.zeros_like(x3)
    den = np.zeros(x3.shape[:2] + (1,))
    sigma = sigma_r * scale
    for dy in range(-pad, pad + 1):
        for dx in range(-pad, pad + 1):
            nb = padded[pad + dy:pad + dy + h, pad + dx:pad + dx + w]
            d2 = ((nb - x3) ** 2).sum(axis=2, keepdims=True)
            wgt = np.exp(-(dx * dx + dy * dy) / (2.0 * sigma_s ** 2)) * np.exp(-d2 / (2.0 * sigma * sigma))
            num += wgt * nb
            den += wgt
    out = num / den
    return out if img.ndim == 3 else out[:, :, 0]


def errors(got, want, pad):
    inner = (slice(pad, -pad), slice(pad, -pad))
    diff = np.abs(got.astype(np.float64)[inner] - want[inner])
    return float(diff.max()), float(np.sqrt(np.mean(diff ** 2)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--images", default="astronaut,coffee,chelsea")
    parser.add_argument("--sigmas", default="1,3,5")
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", choices=("both", "one", "all"), default="both")
    parser.add_argument("--skimage", choices=("yes", "no"), default="yes", help="time scikit-image too (slow)")
    parser.add_argument("--accuracy", default="astronaut", help="images whose results are compared with the "
                        "exact filter (comma-separated; empty for none)")
    parser.add_argument("--no-avx512", action="store_true")
    parser.add_argument("--workdir", default="/tmp/sovelk-self-guided")
    args = parser.parse_args()
    if args.no_avx512:  # inherited by every child process
        os.environ["SOVELK_ISA"] = "avx2"
        os.environ["OPENCV_CPU_DISABLE"] = "AVX512F,AVX512-SKX,AVX512-CLX,AVX512-CNL,AVX512-ICL"
        print("without AVX-512: SOVELK_ISA=avx2, OPENCV_CPU_DISABLE=" + os.environ["OPENCV_CPU_DISABLE"])
    os.makedirs(args.workdir, exist_ok=True)
    sigmas = [int(s) for s in args.sigmas.split(",") if s]
    kinds = [k for k in args.kinds.split(",") if k]
    accuracy = set(filter(None, args.accuracy.split(",")))
    settings = {"both": (True, False), "one": (True,), "all": (False,)}[args.threads]

    header = (f"{'image':>10} {'kind':>9} {'s':>2} | {'1 thread ms':>11} {'/cv2':>5} {'/skimage':>8} | "
              f"{'all cores ms':>12} {'/cv2':>5} | {'err ours':>17} {'err cv2':>17} {'err skimage':>17}")
    print(header)
    print("-" * len(header))
    for name, kinds_of in photos(args.images.split(",")):
        for kind in kinds:
            img = kinds_of[kind]
            path = os.path.join(args.workdir, f"{name}-{kind.replace(' ', '_')}.npy")
            np.save(path, img)
            for s in sigmas:
                check = name in accuracy
                jobs = []
                for one in settings:
                    for who in ("ours", "opencv") + (("skimage",) if one and args.skimage == "yes" else ()):
                        save = os.path.join(args.workdir, f"out-{who}.npy") if check and one else ""
                        jobs.append(((who, one), dict(path=path, sigma_s=s, who=who, one_thread=one,
                                                      repeat=1 if who == "skimage" else args.repeat, save=save)))
                best = {}
                for round_ in range(args.rounds):
                    for key, config in jobs:
                        if key[0] == "skimage" and round_ > 0:
                            continue
                        seconds = measure(dict(config, save=config["save"] if round_ == 0 else ""))
                        if seconds is not None:
                            best[key] = min(best.get(key, float("inf")), seconds)

                def ratio(a, b):
                    return f"{best[a] / best[b]:.2f}" if a in best and b in best else "-"

                def ms(key):
                    return f"{best[key] * 1000:.1f}" if key in best else "-"

                errs = {}
                if check and True in settings:
                    want = exact_reference(img, s, 0.1)
                    for who in ("ours", "opencv", "skimage"):
                        out = os.path.join(args.workdir, f"out-{who}.npy")
                        if not os.path.exists(out):
                            continue
                        got = np.load(out)
                        if who == "skimage":  # scikit-image's results are on 0..1
                            got = got * {"uint8": 255.0, "uint16": 65535.0}.get(img.dtype.name, 1.0)
                        mx, rms = errors(got, want, 3 * s)
                        errs[who] = f"{mx:8.3g} {rms:8.3g}"
                        os.unlink(out)
                print(f"{name:>10} {kind:>9} {s:>2} | {ms(('ours', True)):>11} {ratio(('ours', True), ('opencv', True)):>5} "
                      f"{ratio(('ours', True), ('skimage', True)):>8} | {ms(('ours', False)):>12} "
                      f"{ratio(('ours', False), ('opencv', False)):>5} | {errs.get('ours', '-'):>17} "
                      f"{errs.get('opencv', '-'):>17} {errs.get('skimage', '-'):>17}", flush=True)


if __name__ == "__main__":
    main()
