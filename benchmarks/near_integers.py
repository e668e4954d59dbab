"""How close filtered values come to the integers, on photos: the share of values that the cheap
pass's a priori margin cannot decide, and how far those lie from their integer.

    python benchmarks/near_integers.py photo.png [...]

A plain float64 numpy model of the filter (sigma_r 0.1, BORDER_REFLECT), gray and self guidance,
sigma_s 1 and 3. Columns: the share of values (all pixels and channels) within the margin
3 (n + 2) 2^-53 max(v, 1) of an integer k >= 1 (those need the exact sequence; a value within it
of 0 is decided, since nothing is below 0), the same within 1000 times the margin, and the
largest distance of the first group from its integer, in units in the last place of that integer.
"""
import sys

import cv2
import numpy as np


def filtered(img, guide, sigma_s, sigma_r=0.1):
    pad = 3 * sigma_s
    ws = 2 * pad + 1
    ys, xs = np.mgrid[-pad:pad + 1, -pad:pad + 1]
    spatial = np.exp(-(xs ** 2 + ys ** 2) / (2.0 * sigma_s ** 2)).ravel()
    table = np.exp(-((np.arange(256) / 255.0) ** 2) / (2.0 * sigma_r ** 2))
    p = cv2.copyMakeBorder(img, pad, pad, pad, pad, cv2.BORDER_REFLECT).astype(np.float64)
    g = cv2.copyMakeBorder(guide, pad, pad, pad, pad, cv2.BORDER_REFLECT).astype(np.int64)
    g = g if g.ndim == 3 else g[:, :, None]
    h, w = img.shape[:2]
    centre = g[pad:pad + h, pad:pad + w]
    weight_sum = np.zeros((h, w))
    weighted = np.zeros((h, w, img.shape[2]))
    for i in range(ws * ws):
        oy, ox = divmod(i, ws)
        weight = spatial[i] * np.prod(table[np.abs(g[oy:oy + h, ox:ox + w] - centre)], axis=2)
        weight_sum += weight
        weighted += weight[:, :, None] * p[oy:oy + h, ox:ox + w]
    return weighted / weight_sum[:, :, None], ws * ws


def main():
    print(f"{'photo':>12} {'sigma_s':>7} {'guide':>5} {'exact %':>8} {'1000x %':>8} {'max ulps':>8}")
    for path in sys.argv[1:]:
        img = cv2.imread(path)
        for sigma_s in (1, 3):
            for kind in ("gray", "self"):
                guide = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY) if kind == "gray" else img
                v, n = filtered(img, guide, sigma_s)
                k = np.rint(v)
                distance = np.abs(v - k)
                margin = 3 * (n + 2) * 2.0 ** -53 * np.maximum(v, 1)
                exact = (distance <= margin) & (k >= 1)
                wider = (distance <= 1000 * margin) & (k >= 1)
                ulps = (distance[exact] / np.spacing(k[exact])).max() if exact.any() else 0.0
                name = path.rsplit("/", 1)[-1].rsplit(".", 1)[0]
                print(f"{name:>12} {sigma_s:>7} {kind:>5} {100 * exact.mean():>8.3f} {100 * wider.mean():>8.3f} "
                      f"{ulps:>8.1f}", flush=True)


if __name__ == "__main__":
    main()
