"""Joint bilateral upsampling of a depth map against resizing it: error against the known depth and
time per output pixel, and the README's picture.

    python benchmarks/upsample_bench.py [--size 1280x960] [--sigma-s 1.5] [--rounds 3] [--threads 1]
                                        [--picture docs/upsample.png]

A synthetic scene whose depth is known (a slanted wall with a printed pattern, a box, a cylinder, a
sphere and a thin pole, all in millimetres) is seen by a colour camera at full resolution and by a
depth sensor at 1/4 and 1/8 of it: each sensor pixel is the mean depth over its area (cv2's
INTER_AREA), with noise of 8 mm + 0.5% and 8% of the readings missing (0), in runs along the
rows as well as alone. Three ways bring it back to full resolution, as uint16 millimetres:

(a) bicubic   the holes filled at low resolution from their neighbours (a Gaussian of the readings
              over one of the reading mask, widened until none is left), then cv2.resize INTER_CUBIC;
(b) + joint   (a), then sovelk_tools.joint_bilateral under the colour image, sigma_s = factor x
              S full-resolution pixels, sigma_r 0.1;
(c) joint upsampling   sovelk_tools.joint_bilateral_upsample(low, colour, S, 0.1, hole=0): sigma_s
              S low-resolution pixels, holes taking no part.
S is --sigma-s (several, comma-separated, give rows for each): (b) and (c) then weigh the same
reach of the scene, (b) in factor^2 times the window offsets.

RMSE against the true depth over every pixel, and over the pixels within 3 pixels of a depth
edge (a step of more than 50 mm between neighbours). Time: CPU time per output pixel on one
thread (SOVELK_NUM_THREADS and cv2.setNumThreads set to --threads, wall time above one thread),
the minimum over --rounds rounds, the methods taking turns within a round; (b)'s includes its
resize and hole filling, (a)'s its hole filling.
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", default="1280x960", help="full resolution, WxH (multiples of 8)")
    parser.add_argument("--sigma-s", default="1.5", help="sigma_s of (c) in low-resolution pixels, comma-separated")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--picture", default=None, help="write the comparison picture here (PNG)")
    return parser.parse_args()


ARGS = parse_args() if __name__ == "__main__" else None
if ARGS is not None:
    # Before the pool is made: every method at the same number of threads.
    os.environ["SOVELK_NUM_THREADS"] = str(ARGS.threads)
    if ARGS.threads == 1:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[-1]})

import cv2  # noqa: E402
import numpy as np  # noqa: E402

from sovelk_tools import joint_bilateral, joint_bilateral_upsample  # noqa: E402

FACTORS = (4, 8)
EDGE_STEP = 50.0  # mm between neighbours: a depth edge
EDGE_REACH = 3  # pixels from an edge that count as "at the edge"


def scene(width, height, rng):
    """(colour uint8 BGR, true depth float64 mm) of the scene."""
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    s = width / 1280.0  # the layout scales with the size
    depth = 3000.0 + 0.8 * xx / s  # a slanted wall
    # A printed pattern on the wall: colour edges with no depth edge under them.
    stripes = ((xx // (90 * s)) + (yy // (70 * s))) % 2
    colour = np.stack([150 + 25 * stripes, 160 + 10 * stripes, 170 - 30 * stripes], axis=-1)
    shapes = []
    box = (abs(xx - 330 * s) < 190 * s) & (abs(yy - 520 * s) < 230 * s)
    shapes.append((box, 1500.0 + 0.3 * (yy - 520 * s) / s, (200, 90, 40)))
    cylinder = (xx - 820 * s) ** 2 + (yy - 300 * s) ** 2 < (170 * s) ** 2
    shapes.append((cylinder, np.full_like(xx, 2100.0), (40, 60, 210)))
    r2 = (xx - 900 * s) ** 2 + (yy - 700 * s) ** 2
    sphere = r2 < (200 * s) ** 2
    bulge = np.sqrt(np.clip((200 * s) ** 2 - r2, 0, None)) / s
    shading = 0.55 + 0.45 * bulge / 200.0  # lit from the front: a gradient of colour, none of depth edge
    shapes.append((sphere, 2400.0 - bulge, (60, 200, 80)))
    pole = (abs(xx - 600 * s) < 9 * s) & (yy > 120 * s)
    shapes.append((pole, np.full_like(xx, 1200.0), (70, 70, 70)))
    for mask, surface, bgr in shapes:
        depth = np.where(mask, surface, depth)
        tint = np.asarray(bgr, np.float64)
        if mask is sphere:
            tint = tint * shading[..., None]
        colour = np.where(mask[..., None], tint, colour)
    colour = np.clip(colour + rng.normal(0, 3, colour.shape), 0, 255).astype(np.uint8)
    return colour, depth


def sensor(depth, factor, rng):
    """The depth sensor's uint16 reading at 1/factor of the size: area means, noise, holes (0)."""
    h, w = depth.shape[0] // factor, depth.shape[1] // factor
    low = cv2.resize(depth, (w, h), interpolation=cv2.INTER_AREA)
    low = low + rng.normal(0, 1, low.shape) * (8.0 + 0.005 * low)
    holes = rng.random(low.shape) < 0.04
    runs = rng.random(low.shape) < 0.01  # dropouts along a few pixels of a row
    for shift in range(1, 4):
        holes |= np.roll(runs, shift, axis=1)
    reading = np.clip(np.rint(low), 1, 65535).astype(np.uint16)
    reading[holes] = 0
    return reading


def filled(low):
    """The holes of a reading filled from their neighbours: a Gaussian of the readings divided by
    one of the mask, widened until no hole is left."""
    valid = (low > 0).astype(np.float64)
    values = low.astype(np.float64)
    out = values.copy()
    sigma = 1.0
    while not valid.all():
        total = cv2.GaussianBlur(values * valid, (0, 0), sigma)
        weight = cv2.GaussianBlur(valid, (0, 0), sigma)
        fill = (valid == 0) & (weight > 1e-6)
        out[fill] = total[fill] / weight[fill]
        valid = np.where(fill, 1.0, valid)
        values = out.copy()
        sigma *= 2
    return out


def bicubic(low, size):
    return np.clip(np.rint(cv2.resize(filled(low), size, interpolation=cv2.INTER_CUBIC)), 0, 65535).astype(np.uint16)


def resize_then_joint(low, colour, sigma_s):
    return joint_bilateral(bicubic(low, colour.shape[1::-1]), colour, sigma_s, 0.1)


def joint_upsampling(low, colour, sigma_s):
    return joint_bilateral_upsample(low, colour, sigma_s, 0.1, hole=0)


def edges(depth):
    """Pixels within EDGE_REACH of a step of more than EDGE_STEP between neighbours."""
    step = np.zeros(depth.shape, bool)
    step[:, 1:] |= abs(np.diff(depth, axis=1)) > EDGE_STEP
    step[:, :-1] |= abs(np.diff(depth, axis=1)) > EDGE_STEP
    step[1:] |= abs(np.diff(depth, axis=0)) > EDGE_STEP
    step[:-1] |= abs(np.diff(depth, axis=0)) > EDGE_STEP
    side = 2 * EDGE_REACH + 1
    return cv2.dilate(step.astype(np.uint8), np.ones((side, side), np.uint8)) > 0


def rmse(result, truth, where=None):
    d = result.astype(np.float64) - truth
    return float(np.sqrt(np.mean(d[where] ** 2 if where is not None else d ** 2)))


def timed(calls, rounds, threads):
    """Minimum time of each call over the rounds, the calls taking turns."""
    clock = time.process_time if threads == 1 else time.perf_counter
    best = {name: float("inf") for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            t0 = clock()
            call()
            best[name] = min(best[name], clock() - t0)
    return best


def coloured(depth, lo=1000.0, hi=4200.0):
    scaled = np.clip((depth.astype(np.float64) - lo) / (hi - lo) * 255, 0, 255).astype(np.uint8)
    picture = cv2.applyColorMap(scaled, cv2.COLORMAP_TURBO)
    picture[depth == 0] = 0
    return picture


def labelled(picture, text, width):
    picture = cv2.resize(picture, (width, picture.shape[0] * width // picture.shape[1]),
                         interpolation=cv2.INTER_AREA if picture.shape[1] > width else cv2.INTER_NEAREST)
    (w, h), _ = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, 0.5, 1)
    cv2.rectangle(picture, (0, 0), (w + 10, h + 10), (0, 0, 0), -1)
    cv2.putText(picture, text, (5, h + 4), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (255, 255, 255), 1, cv2.LINE_AA)
    return picture


def main():
    cv2.setNumThreads(ARGS.threads)
    width, height = (int(v) for v in ARGS.size.lower().split("x"))
    if width % 8 or height % 8:
        sys.exit("--size: width and height must be multiples of 8")
    rng = np.random.default_rng(0)
    colour, truth = scene(width, height, rng)
    at_edges = edges(truth)
    pixels = width * height
    print(f"scene {width}x{height}, {at_edges.mean():.1%} of the pixels within {EDGE_REACH} px of a depth edge; "
          f"{ARGS.threads} thread(s), min of {ARGS.rounds} rounds\n")
    print("| factor | method | sigma_s (pixels) | RMSE (mm) | RMSE at edges (mm) | time per output pixel (ns) |")
    print("|---|---|---:|---:|---:|---:|")
    rows = []
    for factor in FACTORS:
        low = sensor(truth, factor, rng)
        calls = {("(a) bicubic", "-"): lambda: bicubic(low, (width, height))}
        for sigma in (float(v) for v in ARGS.sigma_s.split(",")):
            calls[("(b) bicubic + joint_bilateral", f"{factor * sigma:g}")] = (
                lambda sigma=sigma: resize_then_joint(low, colour, factor * sigma))
            calls[("(c) joint_bilateral_upsample", f"{sigma:g} low ({factor * sigma:g})")] = (
                lambda sigma=sigma: joint_upsampling(low, colour, sigma))
        results = {key: call() for key, call in calls.items()}
        seconds = timed(calls, ARGS.rounds, ARGS.threads)
        for (name, sigma), result in results.items():
            print(f"| {factor}x | {name} | {sigma} | {rmse(result, truth):.1f} | "
                  f"{rmse(result, truth, at_edges):.1f} | {seconds[(name, sigma)] / pixels * 1e9:.0f} |")
        # The picture shows the first sigma_s's results.
        first = {}
        for (name, _), result in results.items():
            first.setdefault(name[:3], result)
        rows.append((factor, low, first))
    if ARGS.picture:
        draw(ARGS.picture, colour, truth, at_edges, rows)
        print(f"\npicture: {ARGS.picture}")


def draw(path, colour, truth, at_edges, rows):
    """Colour, true depth and edge pixels; then per factor the sensor's reading, (a), (b), (c) and
    the errors of (b) and (c)."""
    panel = 288
    edge_picture = (at_edges * 255).astype(np.uint8)[..., None].repeat(3, 2)
    lines = [np.hstack([labelled(colour, "colour (full resolution)", panel),
                        labelled(coloured(truth), "true depth", panel),
                        labelled(edge_picture, f"within {EDGE_REACH} px of a depth edge", panel)])]
    for factor, low, results in rows:
        lines.append(np.hstack([labelled(coloured(low), f"{factor}x: sensor (holes black)", panel),
                                labelled(coloured(results["(a)"]), f"{factor}x: (a) bicubic", panel),
                                labelled(coloured(results["(b)"]), f"{factor}x: (b) bicubic + joint", panel)]))
        lines.append(np.hstack([labelled(coloured(results["(c)"]), f"{factor}x: (c) joint upsampling", panel),
                                labelled(error_map(results["(b)"], truth), f"{factor}x: |error| of (b)", panel),
                                labelled(error_map(results["(c)"], truth), f"{factor}x: |error| of (c)", panel)]))
    cv2.imwrite(path, np.vstack(lines), [cv2.IMWRITE_PNG_COMPRESSION, 9])


def error_map(result, truth, top=200.0):
    scaled = np.clip(abs(result.astype(np.float64) - truth) / top * 255, 0, 255).astype(np.uint8)
    return cv2.applyColorMap(scaled, cv2.COLORMAP_INFERNO)


if __name__ == "__main__":
    main()
