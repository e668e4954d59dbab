# Type information for the compiled Sovelk extension module.  The module has no
# Python source and carries no docstrings at runtime, so editors and type
# checkers read the class's shape from here.
from typing import Any

import numpy as np
from numpy.typing import NDArray

class Joint_bilateral_filter:
    """Joint (cross) bilateral filter with a Gaussian spatial and range kernel.

    Every output pixel is the mean of the image pixels in a window of
    ``wndw_size`` x ``wndw_size`` around it, weighted by a spatial Gaussian of
    the offset and a range Gaussian of the guidance difference to the centre.
    Borders are mirrored as OpenCV's BORDER_REFLECT does (edge pixel repeated).
    """

    sigma_r: float
    """Range standard deviation on the intensity scale normalised to 0..1."""
    sigma_s: int
    """Spatial standard deviation in pixels; the window reaches 3*sigma_s from its centre."""
    wndw_size: int
    """Window side, 6*sigma_s + 1."""
    pad_w: int
    """Context radius and border width, 3*sigma_s."""
    kernel_s: NDArray[np.float64]
    """Spatial weights, shape (wndw_size, wndw_size), 1.0 at the centre."""
    table_r_color: NDArray[np.float64]
    """Range weight per intensity difference 0..255, used per channel for colour guidance."""
    table_r_gray: NDArray[np.float64]
    """Range weight per intensity difference 0..255 for gray guidance."""

    def __init__(self, sigma_s: int, sigma_r: float) -> None: ...
    def get_range_table(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Return (table_r_color, table_r_gray), two new 256-entry weight tables."""
    def get_spatial_kernel(self) -> NDArray[np.float64]:
        """Return a new (wndw_size, wndw_size) spatial Gaussian."""
    def get_range_kernel(self, tmp_guidance: NDArray[Any]) -> NDArray[np.float64]:
        """Range weights of a stack of guidance windows: shape (wndw_size**2, h, w, 1)."""
    def joint_bilateral_filter(
        self, img: NDArray[Any], guidance: NDArray[Any]
    ) -> NDArray[np.uint8]:
        """Filter img (h, w, ch) under guidance (h, w) or (h, w, c); returns uint8 (h, w, ch)."""
