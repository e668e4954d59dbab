"""Two builds of the module side by side, image kind by image kind: CPU time of the class's call
on images that need the exact sequence everywhere (flat, saturated, checkerboard) and on those a
cheap pass decides (noise, photos), one thread, so that a change can be held to "no image slower
than before".

    tools/dev-build.sh /tmp/build-before   # from the commit to compare against
    tools/dev-build.sh /tmp/build-after
    python3 benchmarks/image_kinds.py /tmp/build-before /tmp/build-after [--rounds 5]
        [--sizes 512x512] [--sigmas 1,3,5] [--photo astronaut.png ...] [--depth 8|16|float]

Each round runs one child process per build, in turn (interleaved), pinned to one core with
SOVELK_NUM_THREADS=1; a child makes one untimed call per case, then times --repeat calls by the
process's CPU clock. Every figure is the minimum over rounds and repeats; the ratio is after /
before (below 1: faster). SOVELK_ISA in the environment caps both builds' kernels alike.
--depth 16 and float time sovelk_tools.joint_bilateral on the same images as uint16 (times 257)
and float32 (over 255) instead, guided by the gray image of that type or by the image itself.
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
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[-1]})
    import numpy as np
    import cv2
    import Sovelk
    import sovelk_tools
    config = json.loads(sys.argv[1])
    depth = config["depth"]
    def deeper(x):
        return x if depth == "8" else x.astype(np.uint16) * 257 if depth == "16" else x.astype(np.float32) / 255
    out = {}
    for h, w in config["sizes"]:
        yy, xx = np.mgrid[0:h, 0:w]
        images = {
            "flat": np.full((h, w, 3), 200, np.uint8),
            "saturated": np.full((h, w, 3), 255, np.uint8),
            "checkerboard": np.repeat((((yy // 8 + xx // 8) % 2) * 255).astype(np.uint8)[:, :, None], 3, axis=2),
            "noise": np.random.default_rng(0).integers(0, 256, (h, w, 3), dtype=np.uint8),
        }
        for path in config["photos"]:
            name = os.path.splitext(os.path.basename(path))[0]
            images[name] = cv2.resize(cv2.imread(path), (w, h), interpolation=cv2.INTER_AREA)
        for name, img in images.items():
            for guide in ("gray", "self"):
                guidance = img if guide == "self" else np.ascontiguousarray(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
                for sigma_s in config["sigmas"]:
                    if depth == "8":
                        call = Sovelk.Joint_bilateral_filter(sigma_s, 0.1).joint_bilateral_filter
                        arguments = (img, guidance)
                    else:
                        call = sovelk_tools.joint_bilateral
                        arguments = (deeper(img), None if guide == "self" else deeper(guidance), sigma_s, 0.1)
                    call(*arguments)
                    best = float("inf")
                    for _ in range(config["repeat"]):
                        start = time.process_time()
                        call(*arguments)
                        best = min(best, time.process_time() - start)
                    out[f"{h}x{w} {name} {guide} {sigma_s}"] = best
    print(json.dumps(out))
    """
)


def run(build, config):
    env = dict(os.environ, SOVELK_NUM_THREADS="1")
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env["PYTHONPATH"] = os.pathsep.join([build, os.path.join(here, "python")])
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(config)], env=env, capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", default="512x512")
    parser.add_argument("--sigmas", default="1,3,5")
    parser.add_argument("--photo", action="append", default=[])
    parser.add_argument("--depth", choices=("8", "16", "float"), default="8")
    args = parser.parse_args()
    config = {"sizes": [[int(v) for v in s.split("x")] for s in args.sizes.split(",")],
              "sigmas": [int(s) for s in args.sigmas.split(",")], "photos": args.photo, "repeat": args.repeat,
              "depth": args.depth}
    best = {"before": {}, "after": {}}
    for _ in range(args.rounds):
        for side in ("before", "after"):
            for case, seconds in run(getattr(args, side), config).items():
                best[side][case] = min(best[side].get(case, float("inf")), seconds)
    print(f"{'case':40} {'before ms':>10} {'after ms':>10} {'ratio':>7}")
    for case, before in best["before"].items():
        after = best["after"][case]
        print(f"{case:40} {before * 1e3:10.2f} {after * 1e3:10.2f} {after / before:7.3f}")


if __name__ == "__main__":
    main()
