"""Reading the command line's inputs.

Image files are read into memory and decoded there by OpenCV (every format it
reads), after their header has shown a size within --max-pixels; ``.npy`` files
are memory-mapped so that images larger than RAM can be filtered tile by tile
from disk to disk.  Either is checked against what the filter can take before
any output is made.
"""

from __future__ import annotations

import functools
import os
import stat
from dataclasses import dataclass, field
from typing import List, Optional

import cv2
import numpy as np

from .errors import InputOutOfMemory, UserError, os_reason
from .formats import HEAD_BYTES, declared_size, identify, is_npy
from .opencv_codecs import CodecError, decode, have_encoder

# Rows converted at a time: a deep memory-mapped input is rescaled without
# holding a float64 copy of the whole of it.
_BAND_BYTES = 1 << 24


def _share(count: int, total: int) -> str:
    pct = 100.0 * count / total
    return f"{pct:.1f}%" if pct >= 0.1 else "under 0.1%"


def to_uint8(arr: np.ndarray, path: str, notes: List[str]) -> np.ndarray:
    """Bring an image to the 8-bit scale the filter works on.

    The range tables are indexed by 8-bit intensity differences and the filter
    returns 8-bit output, so deeper images are rescaled (16-bit by 255/65535,
    floating point from 0..1) instead of being clipped at 255 or wrapped.
    """
    kind, size = arr.dtype.kind, arr.dtype.itemsize
    if kind == "u" and size == 1:
        return arr
    if not ((kind == "u" and size == 2) or kind == "f"):
        hint = (
            "; convert it first, e.g. with arr.astype(np.uint8) if its values are 0..255"
            if is_npy(path) else ""
        )
        raise UserError(
            f"'{path}' has {arr.dtype} samples; 8-bit, 16-bit and floating-point images are supported{hint}"
        )
    out = np.empty(arr.shape, dtype=np.uint8)
    row_bytes = max(1, arr[:1].nbytes)
    step = max(1, _BAND_BYTES // row_bytes)
    outside = 0
    largest = 0
    for r0 in range(0, arr.shape[0], step):
        band = np.asarray(arr[r0 : r0 + step])
        if kind == "u":
            largest = max(largest, int(band.max(initial=0)))
            # Exact rounding of x * 255 / 65535 in integers.
            out[r0 : r0 + step] = (band.astype(np.uint32) * 255 + 32767) // 65535
        else:
            band = band.astype(np.float64)
            outside += int(np.count_nonzero(~((band >= 0.0) & (band <= 1.0))))
            band = np.nan_to_num(band, nan=0.0, posinf=1.0, neginf=0.0)
            out[r0 : r0 + step] = np.rint(np.clip(band, 0.0, 1.0) * 255.0)
    if kind == "u":
        note = f"'{path}' is 16-bit; 0..65535 is mapped to the filter's 0..255"
        if largest < 256:
            note += (
                f" (its largest value is {largest}: if it holds 8-bit values, "
                "convert it to uint8 first)"
            )
    else:
        note = f"'{path}' holds floating-point samples; 0..1 is mapped to 0..255"
        if outside:
            note += f", and {_share(outside, arr.size)} of its samples lay outside 0..1 and were clipped"
    notes.append(note)
    return out


def reach(path: str, role: str) -> os.stat_result:
    """``os.stat`` with a one-line error that says why a path cannot be used.

    "does not exist" only when it does not: a path behind a directory without
    search permission exists, it just cannot be reached.
    """
    try:
        return os.stat(path)
    except FileNotFoundError:
        raise UserError(f"{role} '{path}' does not exist") from None
    except NotADirectoryError:
        raise UserError(f"{role} '{path}' does not exist (a part of its path is not a directory)") from None
    except PermissionError:
        raise UserError(
            f"{role} '{path}' cannot be reached: permission denied on a directory in its path"
        ) from None
    except OSError as exc:
        raise UserError(f"{role} '{path}' cannot be reached: {os_reason(exc)}") from None


def _check_file(path: str, role: str) -> None:
    if stat.S_ISDIR(reach(path, role).st_mode):
        raise UserError(f"{role} '{path}' is a directory, not a file")


def _read_bytes(path: str, role: str) -> bytes:
    _check_file(path, role)
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except PermissionError:
        raise UserError(f"{role} '{path}' is not readable (permission denied)") from None
    except OSError as exc:
        raise UserError(f"{role} '{path}' cannot be read: {os_reason(exc)}") from None


def _check_pixels(role: str, path: str, width: int, height: int, max_pixels: int, verb: str) -> None:
    if max_pixels and width * height > max_pixels:
        raise UserError(
            f"{role} '{path}' {verb} {width}x{height} pixels, more than --max-pixels {max_pixels} allows "
            "(raise it if the file is trusted)"
        )


def _undecodable(data: bytes) -> str:
    known = identify(data)
    if known is None:
        return "not an image format OpenCV can decode"
    name, ext = known
    if have_encoder(ext):
        return f"OpenCV knows its format ({name}) but cannot decode it; the file is damaged or truncated"
    return f"it is a {name} file, which this OpenCV cannot decode"


def _imread(path: str, flags: int, role: str, max_pixels: int) -> np.ndarray:
    data = _read_bytes(path, role)
    if not data:
        raise UserError(f"{role} '{path}' cannot be read: the file is empty")
    declared = declared_size(data)
    if declared is not None:
        # Refused before decoding: a small file can declare a picture that takes gigabytes.
        _check_pixels(role, path, *declared, max_pixels, "declares")
    try:
        arr = decode(data, flags)
    except CodecError as exc:
        raise UserError(f"{role} '{path}' cannot be read: {exc}") from None
    except MemoryError:
        sides = f" ({declared[0]}x{declared[1]} pixels)" if declared else ""
        raise InputOutOfMemory(f"{role} '{path}'{sides} could not be decoded") from None
    if arr is None:
        raise UserError(f"{role} '{path}' cannot be read: {_undecodable(data)}")
    # A format whose header is not read here is held to the same limit once decoded.
    _check_pixels(role, path, arr.shape[1], arr.shape[0], max_pixels, "is")
    return arr


def looks_like_image(path: str) -> bool:
    """Whether a file's first bytes are those of an image format OpenCV decodes here."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(HEAD_BYTES)
    except OSError:
        return False
    known = identify(head)
    return known is not None and have_encoder(known[1])


@functools.lru_cache(maxsize=None)
def _filter_takes_channels(count: int) -> bool:
    # The filter's first step mirrors the borders with OpenCV's copyMakeBorder,
    # whose channel limit depends on the OpenCV release (512 before 5.0, 128 since).
    try:
        cv2.copyMakeBorder(np.zeros((1, 1, count), np.uint8), 1, 1, 1, 1, cv2.BORDER_REFLECT)
    except cv2.error:
        return False
    return True


def _check_channels(role: str, path: str, arr: np.ndarray) -> None:
    if arr.ndim != 3 or _filter_takes_channels(arr.shape[2]):
        return
    most, fewest_refused = 1, arr.shape[2]
    while fewest_refused - most > 1:
        middle = (most + fewest_refused) // 2
        if _filter_takes_channels(middle):
            most = middle
        else:
            fewest_refused = middle
    raise UserError(f"{role} '{path}' has {arr.shape[2]} channels; the filter takes at most {most}")


def _load_npy(path: str, role: str, max_pixels: int) -> np.ndarray:
    _check_file(path, role)
    try:
        open(path, "rb").close()
    except PermissionError:
        raise UserError(f"{role} '{path}' is not readable (permission denied)") from None
    except OSError as exc:
        raise UserError(f"{role} '{path}' cannot be read: {os_reason(exc)}") from None
    try:
        # Mapped, not read: nothing of the data is in memory before the checks below.
        arr = np.load(path, mmap_mode="r", allow_pickle=False)
    except (ValueError, OSError, EOFError) as exc:
        raise UserError(f"{role} '{path}' is not a readable .npy array ({exc})") from None
    if not isinstance(arr, np.ndarray):
        raise UserError(f"{role} '{path}' is not a single .npy array")
    if arr.ndim not in (2, 3):
        raise UserError(
            f"{role} '{path}' has shape {arr.shape}; a .npy {role} must be (height, width) or "
            "(height, width, channels)"
        )
    if arr.shape[0] == 0 or arr.shape[1] == 0 or (arr.ndim == 3 and arr.shape[2] == 0):
        raise UserError(f"{role} '{path}' is empty (shape {arr.shape})")
    _check_pixels(role, path, arr.shape[1], arr.shape[0], max_pixels, "has")
    _check_channels(role, path, arr)
    return arr


@dataclass
class LoadedImage:
    """The image to filter, shaped for the filter, plus how to give the result its original form."""

    pixels: np.ndarray  # (h, w, ch) with ch >= 2
    alpha: Optional[np.ndarray] = None  # passed through untouched
    gray: bool = False  # the file was single-channel; the result keeps one channel
    gray_axis: bool = False  # ...and that channel had an axis of its own, (h, w, 1)
    notes: List[str] = field(default_factory=list)

    @property
    def height(self) -> int:
        return int(self.pixels.shape[0])

    @property
    def width(self) -> int:
        return int(self.pixels.shape[1])

    @property
    def restore_is_identity(self) -> bool:
        return not self.gray and self.alpha is None

    def restore(self, filtered: np.ndarray) -> np.ndarray:
        if self.gray:
            return filtered[:, :, :1] if self.gray_axis else filtered[:, :, 0]
        if self.alpha is not None:
            return np.dstack([filtered, self.alpha])
        return filtered


def _as_two_channels(gray: np.ndarray) -> np.ndarray:
    # The filter needs a channel axis, and OpenCV's border routine drops one
    # of length 1: a gray image is filtered as two identical channels.
    return np.repeat(np.asarray(gray)[:, :, None], 2, axis=2)


def load_image(path: str, max_pixels: int) -> LoadedImage:
    """Read the image to filter.

    Files are read unchanged (depth, alpha) and then brought into the shape the
    filter takes: alpha is not image content, so it is set aside and re-attached
    unfiltered; a single-channel image is filtered as two identical channels.
    A ``.npy`` image gets the same treatment, except that all of its channels
    are filtered (an array has no alpha convention).
    """
    notes: List[str] = []
    if is_npy(path):
        arr = to_uint8(_load_npy(path, "image", max_pixels), path, notes)
        if arr.ndim == 2:
            return LoadedImage(_as_two_channels(arr), gray=True, notes=notes)
        if arr.shape[2] == 1:
            return LoadedImage(_as_two_channels(arr[:, :, 0]), gray=True, gray_axis=True, notes=notes)
        return LoadedImage(arr, notes=notes)
    arr = to_uint8(_imread(path, cv2.IMREAD_UNCHANGED, "image", max_pixels), path, notes)
    if arr.ndim == 2:
        return LoadedImage(_as_two_channels(arr), gray=True, notes=notes)
    if arr.shape[2] == 4:
        return LoadedImage(np.ascontiguousarray(arr[:, :, :3]), alpha=arr[:, :, 3].copy(), notes=notes)
    return LoadedImage(arr, notes=notes)


def load_guidance(path: str, gray: bool, notes: List[str], max_pixels: int) -> np.ndarray:
    """Read the guidance image: 2-D for gray, (h, w, 3) for colour, always 8-bit."""
    if is_npy(path):
        arr = _load_npy(path, "guidance", max_pixels)
        if gray and arr.ndim == 3:
            raise UserError(
                f"--gray-guidance needs a 2-D .npy guidance; '{path}' has shape {arr.shape}"
            )
        if arr.ndim == 3 and arr.shape[2] == 1:
            # One channel is gray guidance; the filter takes that as two axes only.
            arr = arr[:, :, 0]
        # The range tables have 256 entries: every other dtype is rescaled (or
        # refused) here, before any part of the output is written.
        return to_uint8(arr, path, notes)
    if gray:
        return to_uint8(_imread(path, cv2.IMREAD_GRAYSCALE, "guidance", max_pixels), path, notes)
    arr = to_uint8(_imread(path, cv2.IMREAD_UNCHANGED, "guidance", max_pixels), path, notes)
    if arr.ndim == 3 and arr.shape[2] == 4:
        arr = np.ascontiguousarray(arr[:, :, :3])
    return arr


def check_sizes(image: LoadedImage, guidance: np.ndarray, image_path: str, guidance_path: str) -> None:
    if guidance.shape[:2] != image.pixels.shape[:2]:
        raise UserError(
            f"guidance '{guidance_path}' is {guidance.shape[1]}x{guidance.shape[0]} but image "
            f"'{image_path}' is {image.width}x{image.height} (width x height); they must match"
        )
