"""Smooths a synthetic depth map under the guidance of its colour image, and draws the picture
of the README's depth-map section.

    python examples/depth_map.py [PNG]      (default: depth-map.png; the README's is docs/depth-map.png)

The scene is the README's: a box in front of a slanted wall, a uint16 depth map in millimetres
with sensor noise and 10% of the readings missing. Holes take no part in the smoothing: the
valid depths and the valid mask are filtered with the same weights and divided.
"""
import sys

import cv2
import numpy as np

from sovelk_tools import joint_bilateral


def scene(rng):
    yy, xx = np.mgrid[0:240, 0:320]
    box = (abs(xx - 160) < 70) & (abs(yy - 120) < 60)
    colour = np.where(box[..., None], [40, 90, 200], [170, 165, 150]) + rng.normal(0, 4, (240, 320, 3))
    colour = np.clip(colour, 0, 255).astype(np.uint8)
    truth = np.where(box, 1200, 2500 + 3 * xx)
    depth = np.clip(truth + rng.normal(0, 40, truth.shape), 0, 65535).astype(np.uint16)
    depth[rng.random(truth.shape) < 0.1] = 0
    return colour, depth


def smooth(depth, colour, sigma_s=3, sigma_r=0.1):
    valid = (depth > 0).astype(np.float32)
    total = joint_bilateral(depth * valid, colour, sigma_s, sigma_r, output=np.float64)
    weight = joint_bilateral(valid, colour, sigma_s, sigma_r, output=np.float64)
    return np.rint(total / weight).astype(np.uint16)


def coloured(depth, lo=1000, hi=3600):
    """Depth as a colour map; holes black."""
    scaled = np.clip((depth.astype(np.float64) - lo) / (hi - lo) * 255, 0, 255).astype(np.uint8)
    picture = cv2.applyColorMap(scaled, cv2.COLORMAP_TURBO)
    picture[depth == 0] = 0
    return picture


def main(path="depth-map.png"):
    colour, depth = scene(np.random.default_rng(0))
    smoothed = smooth(depth, colour)
    gap = np.full((240, 8, 3), 255, np.uint8)
    cv2.imwrite(path, np.hstack([colour, gap, coloured(depth), gap, coloured(smoothed)]))
    print(f"wrote {path}: colour guidance | depth with noise and holes | smoothed")


if __name__ == "__main__":
    main(*sys.argv[1:])
