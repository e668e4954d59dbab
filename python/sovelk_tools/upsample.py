"""Joint bilateral upsampling: a low-resolution image brought to its guidance's full resolution."""

from __future__ import annotations

import functools
import math
import numbers
from typing import Any, Optional, Tuple

import numpy as np

from . import _native
from .function import (_CACHED_RADIUS, _CHECKED_OFFSETS, _KERNEL_BYTES_PER_OFFSET, _array, _border_options,
                       _check_dtypes, _delivered, _environment, _output, _region, _rule_sigma, _sigmas,
                       _weights)

# Factors past this are refused: each of the factor**2 phases has a spatial kernel and, on each
# worker thread, a history of its row.
MAX_FACTOR = 256


def joint_bilateral_upsample(
    low: Any,
    guidance: Any,
    sigma_s: float,
    sigma_r: float,
    *,
    mode: str = "reflect",
    cval: float = 0.0,
    guidance_cval: float = 0,
    output: Any = None,
    rounding: str = "nearest",
    hole: Optional[float] = None,
    region: Optional[Tuple[slice, slice]] = None,
) -> np.ndarray:
    """Joint bilateral upsampling of ``low`` to the size of ``guidance``.

    ``guidance`` is ``f`` times the size of ``low`` in both directions, for an integer factor
    ``f``. Each output pixel is the weighted mean of the low-resolution samples in a window
    around its place on the low-resolution grid: the spatial weight of a sample from its real
    (fractional) distance there, the range weight from the guidance at the output pixel against
    the guidance at the sample's own full-resolution place. So a low-resolution depth map (or
    any result computed at low resolution) follows the edges of a full-resolution colour image.
    ``f = 1`` is :func:`joint_bilateral` with the same options, bit for bit.

    Where output pixel (Y, X) = (f k + py, f l + px) lies: pixel centres are aligned, so at
    (k + dy, l + dx) on the low grid with ``dy = (py + 0.5) / f - 0.5`` (likewise dx). Its window
    is the low pixels (k + m, l + n), m and n within ``-radius .. radius``, read beyond the low
    image as ``mode`` says; the spatial weight of offset (m, n) is
    ``exp(-((cx*cx + cy*cy) / (2.0 * sigma_s**2)))`` with ``cx = n - dx``, ``cy = m - dy``, as
    numpy computes it once per call (f x f tables). Sample (i, j) takes the guidance at
    ``(f*i + (f - 1) // 2, f*j + (f - 1) // 2)``; beyond the low image, the guidance of the sample
    the border gives (``guidance_cval`` in a constant border). From there on the arithmetic is
    ``joint_bilateral``'s, in its order: float64 weights divided by their sum, times the values,
    summed in offset order (docs/upsampling.md). A pixel whose weights all underflow to 0 (a
    guidance far from every sample's under a tiny ``sigma_r``, or a tiny ``sigma_s``) takes its
    nearest sample, (k, l).

    Parameters
    ----------
    low : array_like, shape (h, w) or (h, w, c)
        uint8, uint16, int16, int32, float32 or float64, read in place like ``joint_bilateral``'s
        image; NaN or infinity where a window reaches raises ValueError (see ``hole``).
    guidance : array_like, shape (f*h, f*w), (f*h, f*w, 1) or (f*h, f*w, gc)
        Any of those dtypes, weighed as ``joint_bilateral`` weighs its guidance (uint8: the
        class's range tables; other dtypes: the range rule). A size that is no integer factor
        times the low image's raises ValueError: crop or pad the guidance to one first.
    sigma_s : int or float > 0
        Spatial standard deviation in low-resolution pixels; the window reaches
        ``radius = int(3 * sigma_s + 0.5)`` low pixels from the one the output pixel lies in.
    sigma_r : int or float > 0
        Range standard deviation in the guidance's units, as ``joint_bilateral`` takes it (a
        fraction of 255 for uint8 guidance).
    mode, cval, guidance_cval, output, rounding
        As ``joint_bilateral`` takes them; ``mode`` and ``cval`` apply to the low image.
    hole : number, optional
        A value of ``low``'s dtype that means "no reading" (e.g. 0 for depth): a sample whose
        every channel equals it takes no part (a constant border of ``cval == hole`` too). The
        low image is then filtered with holes set to 0 beside a channel that is 1 for a sample
        and 0 for a hole, and each channel's result is divided by that channel's; an output pixel
        whose window holds no sample gets ``hole``. The cheap passes do not run then (every
        pixel takes the exact sequence).
    region : (slice, slice), optional
        Compute only these rows and columns of the output (full-resolution pixels): that block
        of the whole result, bit for bit. For tiles (``filter_tiled``, ``filter_dask``).

    Returns
    -------
    ndarray
        Shape (f*h, f*w) or (f*h, f*w, c) (of the region when one is given), the low image's
        dtype unless ``output`` says otherwise; ``output`` itself when it is an array.

    Raises
    ------
    TypeError, ValueError, MemoryError, KeyboardInterrupt
        As ``joint_bilateral`` raises them; ValueError also for a guidance whose size is not an
        integer factor times the low image's, and for a hole value ``low``'s dtype cannot hold.

    Example: depth at 160x120 brought to a 640x480 colour image, 0 meaning no reading::

        depth = joint_bilateral_upsample(depth_low, colour, 1.0, 0.1, hole=0)
    """
    low = _array(low, "low")
    guidance = _array(guidance, "guidance")
    _check_dtypes(low, "low", guidance)
    if guidance.ndim == 3 and guidance.shape[2] < 1:
        raise ValueError("guidance has no channel")
    h, w = low.shape[:2]
    height, width = guidance.shape[:2]
    factor = _factor(h, w, height, width)
    _, table = _weights(sigma_s, sigma_r)
    checked_sigma_s, _, radius = _sigmas(sigma_s, sigma_r)
    kernels = _phase_kernels(checked_sigma_s, radius, factor)
    weights_of_range = table if guidance.dtype == np.uint8 else _rule_sigma(sigma_r, guidance.dtype)
    code, cval, guidance_cval = _border_options(mode, rounding, cval, guidance_cval, guidance.dtype)
    hole_value = None if hole is None else _hole(hole, low.dtype)
    rows, cols = _region(region, height, width)

    result_shape = (rows.stop - rows.start, cols.stop - cols.start) + low.shape[2:]
    low3 = low if low.ndim == 3 else low[:, :, np.newaxis]
    guidance3 = guidance if guidance.ndim == 3 else guidance[:, :, np.newaxis]
    target, copy_to = _output(output, low, guidance, result_shape)
    result = _native.upsample(
        low3, guidance3, kernels, weights_of_range, target, code, cval, guidance_cval, rounding == "truncate",
        rows.start, cols.start, result_shape[0], result_shape[1], hole_value,
    )
    return _delivered(result, output, target, copy_to, result_shape)


def upsampling_factor(low_shape: Tuple[int, ...], guidance_shape: Tuple[int, ...]) -> int:
    """The factor f with guidance_shape[:2] == (f h, f w), or ValueError naming both sizes."""
    return _factor(low_shape[0], low_shape[1], guidance_shape[0], guidance_shape[1])


def _factor(h: int, w: int, height: int, width: int) -> int:
    factor = height // h if h else width // w if w else 1
    if not (1 <= factor <= MAX_FACTOR and height == factor * h and width == factor * w):
        raise ValueError(
            f"guidance is {height}x{width} (h x w) but low is {h}x{w}: the guidance must be f times the low "
            f"image's size in both directions, for one integer f from 1 to {MAX_FACTOR}; crop or pad it to that"
        )
    return factor


def _hole(value: Any, dtype: np.dtype) -> float:
    """The hole value, one that the low image's dtype holds exactly (finite)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"hole must be a real number or None, not {type(value).__name__}")
    try:
        v = float(value)
    except OverflowError:
        v = math.inf
    if not math.isfinite(v):
        raise ValueError(f"hole must be finite, not {value!r} (replace NaN holes first, e.g. np.nan_to_num(low, nan=0))")
    if dtype.kind == "f":
        held = float(np.asarray(v, dtype)) == v
    else:
        info = np.iinfo(dtype)
        held = v.is_integer() and info.min <= v <= info.max
    if not held:
        raise ValueError(f"hole must be a value of low's {dtype}, not {value!r}")
    return v


def _phase_kernels(sigma_s: Any, radius: int, factor: int) -> np.ndarray:
    """The spatial kernels of the f x f phases, shape (f, f, side, side), for sigma_s and the
    window's reach as _sigmas gives them."""
    side = 2 * radius + 1
    if radius <= _CACHED_RADIUS and factor <= 16:
        return _cached_phase_kernels(sigma_s, factor, radius, _environment())
    if factor * factor * side * side > _CHECKED_OFFSETS:
        _native.require_memory(factor * factor * side * side * _KERNEL_BYTES_PER_OFFSET,
                               f"{factor} x {factor} windows of {side} x {side} pixels")
    return _compute_phase_kernels(sigma_s, factor, radius)


@functools.lru_cache(maxsize=16, typed=True)
def _cached_phase_kernels(sigma_s: Any, factor: int, radius: int, environment: Tuple[float, ...]) -> np.ndarray:
    kernels = _compute_phase_kernels(sigma_s, factor, radius)
    kernels.flags.writeable = False
    return kernels


def _compute_phase_kernels(sigma_s: Any, factor: int, radius: int) -> np.ndarray:
    # Offsets from the output pixel's place: whole low pixels minus the phase's fraction, exact
    # for factor 1 (minus 0.0), where the kernel is joint_bilateral's operand for operand.
    offsets = np.arange(-radius, radius + 1)
    phase = (np.arange(factor) + 0.5) / factor - 0.5
    across = offsets[np.newaxis, :] - phase[:, np.newaxis]  # (phase, offset)
    cy = across[:, np.newaxis, :, np.newaxis]
    cx = across[np.newaxis, :, np.newaxis, :]
    kernels = np.exp(-((cx * cx + cy * cy) / (2.0 * sigma_s ** 2)))
    return np.ascontiguousarray(kernels, dtype=np.float64)
