"""Filters a generated noisy image under its clean version as guidance and writes PNGs.

    python examples/quickstart.py [OUTDIR]
"""
import os
import sys

import cv2
import numpy as np

import Sovelk


def make_scene(height=96, width=128):
    """A clean scene with hard edges, and a noisy copy of it."""
    clean = np.zeros((height, width, 3), np.uint8)
    clean[:, : width // 2] = (40, 90, 200)
    clean[:, width // 2 :] = (220, 200, 60)
    cv2.circle(clean, (width // 2, height // 2), height // 4, (30, 160, 40), -1)
    rng = np.random.default_rng(7)
    noise = rng.normal(0, 25, clean.shape)
    noisy = np.clip(clean + noise, 0, 255).astype(np.uint8)
    return clean, noisy


def main(outdir="sovelk-quickstart"):
    os.makedirs(outdir, exist_ok=True)
    clean, noisy = make_scene()
    filt = Sovelk.Joint_bilateral_filter(2, 0.1)
    filtered = filt.joint_bilateral_filter(noisy, clean)
    for name, image in (("noisy", noisy), ("guidance", clean), ("filtered", filtered)):
        path = os.path.join(outdir, name + ".png")
        if not cv2.imwrite(path, image):
            sys.exit("could not write " + path)
        print("wrote", path)


if __name__ == "__main__":
    main(*sys.argv[1:2])
