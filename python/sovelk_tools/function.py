"""The joint bilateral filter as a function, for every image and guidance dtype and border mode."""

from __future__ import annotations

import functools
import math
import mmap
import numbers
import operator
import os
from typing import Any, Optional, Tuple, Union, cast

import numpy as np

from . import _native

MODES = {"reflect": 0, "mirror": 1, "nearest": 2, "wrap": 3, "constant": 4}
ROUNDINGS = ("nearest", "truncate")
DTYPES = tuple(np.dtype(t) for t in (np.uint8, np.uint16, np.int16, np.int32, np.float32, np.float64))
_DTYPE_NAMES = ", ".join(d.name for d in DTYPES)
# sigma_r is a fraction of this for integer guidance (the dtype's largest value), and in the
# values' own units for float guidance.
_GUIDANCE_SCALES = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 65535.0, np.dtype(np.int16): 32767.0,
                    np.dtype(np.int32): 2147483647.0, np.dtype(np.float32): 1.0, np.dtype(np.float64): 1.0}
# The range rule's standard deviation, sigma_r times the guidance's scale, must lie within these
# (its constants are then normal float32 numbers), and float guidance values within +-2**60.
_RULE_SIGMAS = (2.0 ** -40, 2.0 ** 40)
_MAX_GUIDANCE = 2.0 ** 60

# Weights of windows up to this radius are kept for the next call (a few hundred kB at most);
# larger ones are rebuilt, so that one huge window does not stay in memory.
_CACHED_RADIUS = 64
# Building the spatial kernel with numpy holds about six window-sized arrays of 8 bytes at once,
# and each worker thread keeps 16 doubles per window offset.
_KERNEL_BYTES_PER_OFFSET = 6 * 8 + 16 * 8
_CHECKED_OFFSETS = 1 << 20


def joint_bilateral(
    image: Any,
    guidance: Any,
    sigma_s: float,
    sigma_r: float,
    *,
    mode: str = "reflect",
    cval: float = 0.0,
    guidance_cval: float = 0,
    output: Any = None,
    rounding: str = "nearest",
    region: Optional[Tuple[slice, slice]] = None,
) -> np.ndarray:
    """Joint (cross) bilateral filter of ``image`` under ``guidance``.

    Each output pixel is the weighted mean of the image's pixels in a square window around it.
    The weight of a window offset is the spatial Gaussian of the offset times the range
    Gaussian of the guidance's difference from the window's centre, so edges of the guidance
    survive the smoothing; ``guidance=None`` guides the image by itself (the bilateral filter,
    also :func:`bilateral`). With a uint8 guidance and an integer ``sigma_s`` the weights are
    exactly those of ``Sovelk.Joint_bilateral_filter(sigma_s, sigma_r)``, and per pixel the
    arithmetic is that class's, in its order: float64 weights divided by their sum first, then
    the weighted values summed over the offsets row by row.

    Parameters
    ----------
    image : array_like, shape (h, w) or (h, w, c)
        uint8, uint16, int16, int32, float32 or float64, any ``c >= 1``, any strides (views,
        read-only arrays and memory maps are read in place). Values are used as they are: a
        float image is not truncated or rescaled. A NaN or infinity anywhere the windows reach
        raises ValueError (replace them first, for example with ``np.nan_to_num``).
    guidance : array_like, shape (h, w), (h, w, 1) or (h, w, gc), or None
        The image's height and width, any of the image dtypes, read in place like the image;
        None is the image itself. ``gc >= 2`` channels weigh the Euclidean distance of the
        channels (for uint8, the product of the channels' Gaussians, the same thing). uint8
        guidance takes the class's range tables; any other dtype the range rule (below). NaN
        or infinity in a float guidance, or a value beyond +-2**60, raises ValueError.
    sigma_s : int or float > 0
        Spatial standard deviation in pixels. The window reaches ``radius = int(3 * sigma_s +
        0.5)`` pixels from its centre (scipy.ndimage's ``truncate=3.0`` convention), which is
        ``3 * sigma_s`` for an integer; the spatial weight of offset (dy, dx) is
        ``exp(-((dx*dx + dy*dy) / (2.0 * sigma_s**2)))`` as numpy computes it.
    sigma_r : int or float > 0
        Range standard deviation in the guidance's units, for a difference ``d`` of the
        guidance (the Euclidean distance for several channels):

        ============================  ===================================  ==================
        guidance                      sigma_r is a fraction of             e.g. sigma_r 0.1
        ============================  ===================================  ==================
        uint8                         255 (the class's 0..1 scale)         25.5 levels
        uint16, int16, int32          65535, 32767, 2147483647             6553.5 levels ...
        float32, float64              1: the values' own units             0.1
        ============================  ===================================  ==================

        uint8: a difference of ``d`` levels weighs ``exp(-((d/255)**2 / (2.0 * sigma_r**2)))``
        as numpy computes it (the class's table). Other dtypes: the range rule, a fixed float32
        evaluation of ``2 ** (-d**2 / (2 sigma**2 ln 2))``, ``sigma = sigma_r * scale``, with the
        same bits on every machine and within about 1e-7 of the exact Gaussian
        (docs/joint_bilateral.md); ``sigma`` must lie within 2**-40 .. 2**40.
    mode : {"reflect", "mirror", "nearest", "wrap", "constant"}
        What windows read beyond the image, pictured for a row ``abcd``::

            reflect   cba|abcd|dcb   edge repeated (OpenCV BORDER_REFLECT, the class's)
            mirror    dcb|abcd|cba   edge not repeated (OpenCV BORDER_REFLECT_101)
            nearest   aaa|abcd|ddd
            wrap      bcd|abcd|abc
            constant  kkk|abcd|kkk   image cval, guidance guidance_cval

        Borders wider than the image keep reflecting (or wrapping) back and forth, as OpenCV
        and scipy.ndimage do.
    cval : float
        Image value beyond the border in ``"constant"`` mode (finite).
    guidance_cval : int or float
        Guidance value beyond the border in ``"constant"`` mode, one the guidance's dtype holds
        (0..255 for uint8). With the default 0 a dark border weighs like a dark guidance pixel,
        as OpenCV's constant border does.
    output : dtype or ndarray, optional
        The result's dtype (default: the image's), or an array to write it into, of the result's
        shape and one of the image dtypes; it may share memory with the inputs, or map the same
        file (the result is then made apart and copied in). Float outputs hold the float64 mean,
        float32 rounded to nearest. Integer outputs are clipped to the dtype's range and rounded
        as ``rounding`` says.
    rounding : {"nearest", "truncate"}
        For integer outputs: ``"nearest"`` rounds half to even (like ``np.rint``);
        ``"truncate"`` rounds toward zero, which for a uint8 image in ``"reflect"`` mode gives
        ``Sovelk.Joint_bilateral_filter(sigma_s, sigma_r).joint_bilateral_filter(image,
        guidance)`` bit for bit (except on a 1x1 image, where numpy sums pairwise).
    region : (slice, slice), optional
        Filter only these rows and columns, e.g. ``np.s_[100:200, 0:640]``: the result is that
        block of the whole-image result, bit for bit, with windows reading the image around it
        and borders only beyond the image. For tiles of a large image or memory map.

    Returns
    -------
    ndarray
        Shape (h, w) or (h, w, c) (of the region when one is given); ``output`` itself when it
        is an array.

    Raises
    ------
    TypeError
        An argument of the wrong type or dtype.
    ValueError
        A bad shape, mode, sigma, cval or region (a number too large for a float64 included);
        NaN or infinity in the image; a float64 image so close to the largest double that its
        mean overflows; a float32 output whose value is beyond float32's range (it would round
        to infinity: ask for float64).
    MemoryError
        The window's working memory is more than the process can get (checked before
        allocating).
    KeyboardInterrupt
        Ctrl-C stops the filter within about 50 ms; the GIL is released while it runs.
    """
    image = _array(image, "image")
    guidance = image if guidance is None else _array(guidance, "guidance")
    _check_dtypes(image, "image", guidance)
    h, w = image.shape[:2]
    if guidance.shape[:2] != (h, w):
        raise ValueError(
            f"guidance is {guidance.shape[0]}x{guidance.shape[1]} (h x w) but image is {h}x{w}; "
            "they must match"
        )
    if guidance.ndim == 3 and guidance.shape[2] < 1:
        raise ValueError("guidance has no channel")
    kernel_s, table = _weights(sigma_s, sigma_r)
    weights_of_range = table if guidance.dtype == np.uint8 else _rule_sigma(sigma_r, guidance.dtype)
    code, cval, guidance_cval = _border_options(mode, rounding, cval, guidance_cval, guidance.dtype)
    rows, cols = _region(region, h, w)

    result_shape = (rows.stop - rows.start, cols.stop - cols.start) + image.shape[2:]
    image3 = image if image.ndim == 3 else image[:, :, np.newaxis]
    guidance3 = guidance if guidance.ndim == 3 else guidance[:, :, np.newaxis]
    target, copy_to = _output(output, image, guidance, result_shape)
    result = _native.filter(
        image3, guidance3, kernel_s, weights_of_range, target, code, cval, guidance_cval, rounding == "truncate",
        rows.start, cols.start, result_shape[0], result_shape[1],
    )
    return _delivered(result, output, target, copy_to, result_shape)


def bilateral(image: Any, sigma_s: float, sigma_r: float, **options: Any) -> np.ndarray:
    """The bilateral filter: ``image`` guided by itself, ``joint_bilateral(image, None, ...)``.

    Any image dtype, gray or colour (a colour image weighs the Euclidean distance of its
    channels); ``sigma_r`` in the image's units as ``joint_bilateral`` states them: a fraction
    of 255 for uint8 (the class's scale), of 65535 for uint16, the values' own units for float
    images. Takes ``joint_bilateral``'s keyword options (mode, cval, output, rounding, region;
    ``guidance_cval`` is ``cval`` of the guidance and defaults to 0 like it).

    Example, a 16-bit depth map in millimetres smoothed within its own depth edges, sigma_r
    of 0.01 * 65535, about 655 mm::

        smoothed = bilateral(depth, 3, 0.01)
    """
    return joint_bilateral(image, None, sigma_s, sigma_r, **options)


def _check_dtypes(image: np.ndarray, name: str, guidance: np.ndarray) -> None:
    for array, what in ((image, name), (guidance, "guidance")):
        if array.dtype not in DTYPES:
            raise TypeError(f"{what} dtype {array.dtype} is not supported; accepted: {_DTYPE_NAMES}")


def _border_options(mode: Any, rounding: Any, cval: Any, guidance_cval: Any,
                    guidance_dtype: np.dtype) -> Tuple[int, float, Union[int, float]]:
    """The mode's code, and cval and guidance_cval as the native call takes them, or the error."""
    try:
        code = MODES[mode]
    except (KeyError, TypeError):
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}") from None
    if rounding not in ROUNDINGS:
        raise ValueError(f"rounding must be 'nearest' or 'truncate', not {rounding!r}")
    cval = _real(cval, "cval")
    if not math.isfinite(cval):
        raise ValueError(f"cval must be finite, not {cval!r}")
    return code, cval, _guidance_value(guidance_cval, guidance_dtype)


def _delivered(result: np.ndarray, output: Any, target: Any, copy_to: Any, shape: Tuple[int, ...]) -> np.ndarray:
    """What the call returns: the caller's output array (filled through a copy where the native
    call could not write it in place) or the new result in its shape."""
    if copy_to is not None:
        copy_to[...] = result.reshape(copy_to.shape)
        return cast(np.ndarray, copy_to)
    if output is not None and not isinstance(target, np.dtype):
        return cast(np.ndarray, output)
    return result.reshape(shape)


def _rule_sigma(sigma_r: Any, dtype: np.dtype) -> float:
    """The range rule's standard deviation for guidance of this dtype (sigma_r was checked)."""
    sigma = float(sigma_r) * _GUIDANCE_SCALES[dtype]
    if not _RULE_SIGMAS[0] <= sigma <= _RULE_SIGMAS[1]:
        raise ValueError(
            f"sigma_r is out of range for {dtype} guidance: sigma_r * {_GUIDANCE_SCALES[dtype]:g} = {sigma:g} "
            "must lie within 2**-40 .. 2**40"
        )
    return sigma


def _guidance_value(value: Any, dtype: np.dtype) -> Union[int, float]:
    """guidance_cval as the guidance's dtype holds it, checked."""
    if dtype.kind == "f":
        v = _real(value, "guidance_cval")
        if not (math.isfinite(v) and abs(v) <= _MAX_GUIDANCE):
            raise ValueError(f"guidance_cval must be finite and within +-2**60, not {value!r}")
        return float(np.asarray(v, dtype))  # rounded as the guidance's values are
    v = _integer(value, "guidance_cval")
    info = np.iinfo(dtype)
    if not info.min <= v <= info.max:
        if dtype == np.uint8:
            raise ValueError(f"guidance_cval must be an intensity 0..255, not {v}")
        raise ValueError(f"guidance_cval must be a value of the guidance's {dtype} ({info.min}..{info.max}), not {v}")
    return v


def _array(value: Any, name: str) -> np.ndarray:
    array = np.asarray(value)
    if array.ndim not in (2, 3):
        raise ValueError(f"{name} must have shape (h, w) or (h, w, c), not {array.shape}")
    return array


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:  # an int beyond float64's range
        raise ValueError(f"{name} is too large: {type(value).__name__} beyond float64's range") from None


def _integer(value: Any, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _region(region: Any, h: int, w: int) -> Tuple[slice, slice]:
    if region is None:
        return slice(0, h), slice(0, w)
    if not (isinstance(region, tuple) and len(region) == 2 and all(isinstance(s, slice) for s in region)):
        raise TypeError("region must be a pair of slices, e.g. np.s_[10:20, 0:64]")
    bounds = []
    for s, n, axis in zip(region, (h, w), ("rows", "columns")):
        start, stop, step = s.indices(n)
        if step != 1:
            raise ValueError(f"region {axis} must have step 1, not {step}")
        bounds.append(slice(start, max(start, stop)))
    return bounds[0], bounds[1]


def _output(output: Any, image: np.ndarray, guidance: np.ndarray, shape: Tuple[int, ...]) -> Tuple[Any, Any]:
    """What the native call writes to (a dtype or a 3-axis array), and the caller's array to
    copy the result into when it shares memory with an input."""
    if output is None:
        return image.dtype, None
    if not isinstance(output, np.ndarray):
        try:
            dtype = np.dtype(output)
        except TypeError:
            raise TypeError(f"output must be a dtype or an ndarray, not {output!r}") from None
        if dtype not in DTYPES:
            raise TypeError(f"output dtype {dtype} is not supported; accepted: {_DTYPE_NAMES}")
        return dtype, None
    if output.dtype not in DTYPES:
        raise TypeError(f"output dtype {output.dtype} is not supported; accepted: {_DTYPE_NAMES}")
    if output.shape != shape:
        raise ValueError(f"output has shape {output.shape}; the result's is {shape}")
    if not output.flags.writeable:
        raise ValueError("output is read-only")
    if np.may_share_memory(output, image) or np.may_share_memory(output, guidance) or _maps_a_file_of(
            output, image, guidance):
        return output.dtype, output
    return (output if output.ndim == 3 else output[:, :, np.newaxis]), None


def _mapped_file(array: np.ndarray) -> Optional[Tuple[Any, ...]]:
    """The file an array's memory maps (device and inode), found through its bases; None for
    memory of no file. Two maps of one file share memory that np.may_share_memory cannot see."""
    base: Any = array
    while isinstance(base, np.ndarray):
        base = base.base
    if not isinstance(base, mmap.mmap):
        return None
    address = array.__array_interface__["data"][0]
    try:
        with open("/proc/self/maps", encoding="ascii", errors="replace") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                lo, _, hi = fields[0].partition("-")
                if len(fields) >= 5 and int(lo, 16) <= address < int(hi, 16):
                    return ("maps", fields[3], fields[4]) if fields[4] != "0" else None
    except (OSError, ValueError):
        pass
    # Without /proc: the name np.memmap keeps.
    base = array
    while isinstance(base, np.ndarray):
        name = getattr(base, "filename", None)
        if name:
            try:
                info = os.stat(name)
            except OSError:
                return None
            return ("stat", info.st_dev, info.st_ino)
        base = base.base
    return None


def _maps_a_file_of(output: np.ndarray, *inputs: np.ndarray) -> bool:
    mapped = _mapped_file(output)
    return mapped is not None and any(_mapped_file(a) == mapped for a in inputs)


def _weights(sigma_s: Any, sigma_r: Any) -> Tuple[np.ndarray, np.ndarray]:
    """The spatial kernel and range table, computed as the class computes them."""
    sigma_s, sigma_r, radius = _sigmas(sigma_s, sigma_r)
    if radius <= _CACHED_RADIUS:
        return _cached_weights(sigma_s, sigma_r, radius, _environment())
    side = 2 * radius + 1
    if side * side > _CHECKED_OFFSETS:
        _native.require_memory(side * side * _KERNEL_BYTES_PER_OFFSET, f"a window of {side} x {side} pixels")
    return _compute_weights(sigma_s, sigma_r, radius)


def _sigmas(sigma_s: Any, sigma_r: Any) -> Tuple[Any, Any, int]:
    """sigma_s and sigma_r checked and as the weights' expressions take them, and the window's
    reach: 3 * sigma_s pixels, rounded to nearest where sigma_s is no whole number."""
    # A numpy integer is its value: squared as itself, np.uint8(17) would wrap to 33.
    if isinstance(sigma_s, numbers.Integral) and not isinstance(sigma_s, (bool, np.bool_)):
        sigma_s = operator.index(sigma_s)
    if isinstance(sigma_r, numbers.Integral) and not isinstance(sigma_r, (bool, np.bool_)):
        sigma_r = operator.index(sigma_r)
    s = _real(sigma_s, "sigma_s")
    r = _real(sigma_r, "sigma_r")
    if not (s > 0 and math.isfinite(s)):
        raise ValueError(f"sigma_s must be positive and finite, not {sigma_s!r}")
    if not (r > 0 and math.isfinite(r)):
        raise ValueError(f"sigma_r must be positive and finite, not {sigma_r!r}")
    for name, value in (("sigma_s", sigma_s), ("sigma_r", sigma_r)):
        try:
            with np.errstate(over="ignore", under="ignore"):  # numpy scalars: inf and 0 below
                divisor = 2.0 * value ** 2
        except OverflowError:
            raise ValueError(f"{name} is too large: its square overflows") from None
        if divisor == math.inf:
            raise ValueError(f"{name} is too large: its square overflows")
        if not divisor > 0:
            raise ValueError(f"{name} is too small: 2 * {name}**2 is 0")
    return sigma_s, sigma_r, 3 * sigma_s if isinstance(sigma_s, int) else int(3.0 * s + 0.5)


# Operands whose sums and products tell apart the floating-point environments np.exp can see: the
# rounding direction (1 + 3/4 ulp goes up to nearest and upward, down toward zero and downward;
# -1 - 3/4 ulp then tells the two of each pair apart), flush-to-zero (an inexact subnormal
# product) and denormals-are-zero (a subnormal operand). Module variables, so that the operations run at
# each call, in the caller's environment, rather than once when the source is compiled.
_ONE, _THREE_QUARTER_ULP = 1.0, 0.75 * 2.0 ** -52
_TINY, _SMALL, _SUBNORMAL = (1 + 2.0 ** -52) * 2.0 ** -1000, 1.5 * 2.0 ** -60, 2.0 ** -1070


def _environment() -> Tuple[float, float, float, float]:
    """The cache key's part for what np.exp's results depend on besides its operands: their bits
    differ under another rounding mode (179 of a table's 256 entries downward), and their
    subnormals under flush-to-zero."""
    return _ONE + _THREE_QUARTER_ULP, -_ONE - _THREE_QUARTER_ULP, _TINY * _SMALL, _SUBNORMAL + 0.0


@functools.lru_cache(maxsize=16, typed=True)
def _cached_weights(sigma_s: Any, sigma_r: Any, radius: int,
                    environment: Tuple[float, ...]) -> Tuple[np.ndarray, np.ndarray]:
    kernel_s, table = _compute_weights(sigma_s, sigma_r, radius)
    kernel_s.flags.writeable = False
    table.flags.writeable = False
    return kernel_s, table


def _compute_weights(sigma_s: Any, sigma_r: Any, radius: int) -> Tuple[np.ndarray, np.ndarray]:
    # The class's own expressions, operand for operand: np.exp differs in the last bit between
    # machines, so the weights are numpy's here as there, never recomputed natively.
    x, y = np.meshgrid(np.arange(-radius, radius + 1), np.arange(-radius, radius + 1))
    kernel_s = np.exp(-((x * x + y * y) / (2.0 * sigma_s ** 2)))
    diff = np.arange(0, 256) / 255.0
    table = np.exp(-((diff * diff) / (2.0 * sigma_r ** 2)))
    return np.ascontiguousarray(kernel_s, dtype=np.float64), np.ascontiguousarray(table, dtype=np.float64)
