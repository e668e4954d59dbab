"""Denoises a generated picture with the filter guided by the picture itself, and writes PNGs.

    python examples/quickstart.py [OUTDIR]

The guidance decides which differences count as edges. Guided by the noisy picture itself (the
classic bilateral filter), the filter averages over the noise within each flat region while the
large steps between regions, far above the noise, keep it from averaging across them.
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
    noise = rng.normal(0, 12, clean.shape)
    noisy = np.clip(clean + noise, 0, 255).astype(np.uint8)
    return clean, noisy


def main(outdir="sovelk-quickstart"):
    os.makedirs(outdir, exist_ok=True)
    clean, noisy = make_scene()
    filt = Sovelk.Joint_bilateral_filter(2, 0.1)
    denoised = filt.joint_bilateral_filter(noisy, noisy)
    for name, image in (("clean", clean), ("noisy", noisy), ("denoised", denoised)):
        path = os.path.join(outdir, name + ".png")
        if not cv2.imwrite(path, image):
            sys.exit("could not write " + path)
        print("wrote", path)
    print(f"PSNR against the clean scene: noisy {cv2.PSNR(clean, noisy):.1f} dB, "
          f"denoised {cv2.PSNR(clean, denoised):.1f} dB")


if __name__ == "__main__":
    main(*sys.argv[1:2])
