"""``sovelk demo``: what a guidance image is for, on the bundled photograph.

Three ways to smooth the same photo with the same spatial sigma:

- a plain Gaussian blur, which flattens fine texture and strong edges alike;
- the filter guided by the photo itself (the classic bilateral filter), which keeps every edge
  the photo has, the fine texture of the fur included;
- rolling guidance: start from the Gaussian blur, then filter the photo again and again, each
  time guided by the previous result. Structures smaller than the window were blurred away in
  the guidance and stay away, while the large edges come back sharp pass after pass.

See data/SOURCE.txt for where the photograph comes from.
"""

from __future__ import annotations

import os
import sys
import time
from importlib import resources
from typing import Any, List, Sequence, Tuple

import cv2
import numpy as np

from .errors import UserError
from .outputs import atomic_output, check_output, write_image
from .tiled import filter_tiled

PHOTO = "chelsea.png"
SIGMA_S = 3
SIGMA_R = 0.1
PASSES = 4
OUTPUTS = ("gaussian.png", "self_guided.png", "rolling_guidance.png", "comparison.png")
# Small tiles keep each filter call's working memory in the tens of megabytes.
TILE = 64


def load_sample(name: str) -> np.ndarray:
    data = resources.files("sovelk_tools").joinpath("data", name).read_bytes()
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    if img is None:
        raise UserError(f"the bundled sample '{name}' is damaged; reinstall sovelk")
    return img


def gaussian_blur(img: np.ndarray, sigma_s: int) -> np.ndarray:
    """A Gaussian blur over the filter's window (3 sigma each side) with the filter's border."""
    size = 6 * sigma_s + 1
    return cv2.GaussianBlur(img, (size, size), sigma_s, borderType=cv2.BORDER_REFLECT)


def rolling_guidance(filt: Any, img: np.ndarray, passes: int, tile: int = TILE) -> np.ndarray:
    """Filter `img` `passes` times, each pass guided by the previous result; the Gaussian blur of
    the filter's sigma_s guides the first."""
    guidance = gaussian_blur(img, int(filt.sigma_s))
    for _ in range(passes):
        guidance = filter_tiled(filt, img, guidance, tile=tile)
    return guidance


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


def _write_png(path: str, img: np.ndarray, overwrite: bool) -> None:
    with atomic_output(path, overwrite=overwrite) as tmp:
        write_image(tmp, path, img)


def run_demo(outdir: str, overwrite: bool = False, quiet: bool = False) -> List[str]:
    """Smooth the sample three ways into ``outdir``; return the paths written."""
    import Sovelk

    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise UserError(f"'{outdir}' exists and is not a directory")
    paths = [os.path.join(outdir, name) for name in OUTPUTS]
    for path in paths:
        if os.path.exists(path) and not overwrite:
            raise UserError(f"'{path}' already exists (use --overwrite to replace it)")

    photo = load_sample(PHOTO)
    start = time.perf_counter()
    filt = Sovelk.Joint_bilateral_filter(SIGMA_S, SIGMA_R)
    blurred = gaussian_blur(photo, SIGMA_S)
    self_guided = filter_tiled(filt, photo, photo, tile=TILE)
    rolled = rolling_guidance(filt, photo, PASSES)
    seconds = time.perf_counter() - start

    os.makedirs(outdir, exist_ok=True)
    for path in paths:
        check_output(path, overwrite)
    comparison = side_by_side([
        ("photo", photo),
        (f"Gaussian blur, sigma {SIGMA_S}", blurred),
        (f"self-guided, sigma_r {SIGMA_R}", self_guided),
        (f"rolling guidance, {PASSES} passes", rolled),
    ])
    for path, img in zip(paths, (blurred, self_guided, rolled, comparison)):
        _write_png(path, img, overwrite)
    if not quiet:
        h, w = photo.shape[:2]
        print(f"sovelk demo: smoothed a {w}x{h} photo three ways (sigma_s {SIGMA_S}) in {seconds:.2f} s")
        for path in paths:
            print(f"  {path}")
        sys.stdout.flush()
    return paths
