"""The 8-bit path decides most pixels from a cheap pass with a proven error bound (in single
precision on the vector paths, in double precision elsewhere) and runs the exact sequence where a
bit could change: images built to sit on that bound must still give the statements' bytes
exactly."""
from importlib import resources

import cv2
import numpy as np
import pytest

import Sovelk
from conftest import Statements


def statements_result(filt, img, guidance):
    ref = Statements.__new__(Statements)
    ref.__dict__.update(filt.__dict__)
    return ref.joint_bilateral_filter(img, guidance)


def adversarial_image(kind, rng):
    """A 36x44 colour image whose windows have means on or next to integers."""
    h, w = 36, 44
    if kind == "flat":  # every mean exactly 200: numpy's sums give 199 or 200
        return np.full((h, w, 3), 200, np.uint8)
    if kind == "saturated":  # 255 with a few darker pixels: means just below 255
        img = np.full((h, w, 3), 255, np.uint8)
        img[rng.random((h, w)) < 0.02] = 254
        return img
    if kind == "stripes":  # bands of 0 and 255 eight rows high
        return np.repeat((np.arange(h) // 8 % 2 * 255).astype(np.uint8)[:, None, None], w, axis=1).repeat(3, axis=2)
    if kind == "photo":  # a crop of the shipped photo with its flat-ish fur and background
        path = resources.files("sovelk_tools") / "data" / "chelsea.png"
        return np.ascontiguousarray(cv2.imread(str(path))[100:100 + h, 60:60 + w])
    return rng.integers(0, 256, (h, w, 3), dtype=np.uint8)


@pytest.mark.parametrize("kind", ["flat", "saturated", "stripes", "photo", "noise"])
# sigma_r 0.0017: the steepest range Gaussian the single-precision pass computes for a gray
# guidance (squared distances clipped from 16 on); with a colour guidance the cheap passes stay off.
@pytest.mark.parametrize("sigma_s, sigma_r", [(1, 0.1), (2, 0.02), (3, 0.3), (2, 0.0017)])
@pytest.mark.parametrize("guide", ["gray", "self"])
def test_adversarial_images_equal_the_statements(kind, sigma_s, sigma_r, guide):
    rng = np.random.default_rng(sigma_s)
    img = adversarial_image(kind, rng)
    guidance = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY) if guide == "gray" else img
    filt = Sovelk.Joint_bilateral_filter(sigma_s, sigma_r)
    assert np.array_equal(filt.joint_bilateral_filter(img, guidance), statements_result(filt, img, guidance))
