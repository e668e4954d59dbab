"""``sovelk demo``: filter the bundled sample photograph and show the effect.

The sample is a photograph with added Gaussian noise; its clean version is the
guidance, so the filter smooths the noise away while keeping the edges that the
clean picture has (see data/SOURCE.txt for where the photograph comes from).
"""

from __future__ import annotations

import os
import sys
import time
from importlib import resources
from typing import List, Sequence, Tuple

import cv2
import numpy as np

from ._support import UserError, atomic_output, check_output, write_image
from .tiled import filter_tiled

NOISY = "chelsea_noisy.png"
CLEAN = "chelsea_clean.png"
SIGMA_S = 2
SIGMA_R = 0.1
# Small tiles keep each filter call's working memory in the tens of megabytes.
TILE = 64


def load_sample(name: str) -> np.ndarray:
    data = resources.files("sovelk_tools").joinpath("data", name).read_bytes()
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    if img is None:
        raise UserError(f"the bundled sample '{name}' is damaged; reinstall sovelk")
    return img


def side_by_side(panels: Sequence[Tuple[str, np.ndarray]], gap: int = 8, band: int = 26) -> np.ndarray:
    """Lay BGR images of equal height out left to right, each with a label above it."""
    height = max(img.shape[0] for _, img in panels)
    width = sum(img.shape[1] for _, img in panels) + gap * (len(panels) + 1)
    canvas = np.full((height + band + gap, width, 3), 255, dtype=np.uint8)
    x = gap
    font, scale, thick = cv2.FONT_HERSHEY_SIMPLEX, 0.5, 1
    for label, img in panels:
        h, w = img.shape[:2]
        canvas[band : band + h, x : x + w] = img
        (tw, th), _ = cv2.getTextSize(label, font, scale, thick)
        org = (x + max(0, (w - tw) // 2), (band + th) // 2)
        cv2.putText(canvas, label, org, font, scale, (40, 40, 40), thick, cv2.LINE_AA)
        x += w + gap
    return canvas


def _write_png(path: str, img: np.ndarray) -> None:
    with atomic_output(path) as tmp:
        write_image(tmp, path, img)


def run_demo(outdir: str, overwrite: bool = False, quiet: bool = False) -> List[str]:
    """Filter the sample into ``outdir``; return the paths written."""
    import Sovelk

    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise UserError(f"'{outdir}' exists and is not a directory")
    filtered_path = os.path.join(outdir, "filtered.png")
    comparison_path = os.path.join(outdir, "comparison.png")
    for path in (filtered_path, comparison_path):
        if os.path.exists(path) and not overwrite:
            raise UserError(f"'{path}' already exists (use --overwrite to replace it)")

    noisy, clean = load_sample(NOISY), load_sample(CLEAN)
    start = time.perf_counter()
    filt = Sovelk.Joint_bilateral_filter(SIGMA_S, SIGMA_R)
    filtered = filter_tiled(filt, noisy, clean, tile=TILE)
    seconds = time.perf_counter() - start

    os.makedirs(outdir, exist_ok=True)
    for path in (filtered_path, comparison_path):
        check_output(path, overwrite)
    comparison = side_by_side(
        [("noisy input", noisy), ("guidance (clean)", clean), (f"filtered, sigma_s={SIGMA_S} sigma_r={SIGMA_R}", filtered)]
    )
    _write_png(filtered_path, filtered)
    _write_png(comparison_path, comparison)
    if not quiet:
        h, w = noisy.shape[:2]
        print(f"sovelk demo: filtered a {w}x{h} sample in {seconds:.2f} s")
        print(f"  result:     {filtered_path}")
        print(f"  comparison: {comparison_path}")
        sys.stdout.flush()
    return [filtered_path, comparison_path]
