"""Reading the command line's inputs.

Image files are read into memory and decoded there by OpenCV (every format it
reads), after their header has shown a size within --max-pixels; ``.npy`` files
are opened and read a band of rows at a time while they are filtered, so that
images larger than RAM can be filtered from disk to disk (by plain reads, not
through a memory map: a mapped file that shrinks during the run ends the process
with SIGBUS, where a read fails that file alone).  Either is checked against what
the filter can take before any output is made.  Images and guidance keep their
depth.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass
from typing import Any, List, Optional, TypeVar, Union

import cv2
import numpy as np

from . import depths
from .errors import InputOutOfMemory, UserError, os_reason
from .formats import HEAD_BYTES, declared_size, identify, is_npy
from .npyfile import NpyError, NpyReader

# An image as it is filtered: an array, or an NpyReader of an .npy file.
Source = TypeVar("Source", np.ndarray, NpyReader)
from .opencv_codecs import CodecError, decode, have_encoder


def _full_depth(arr: Source, path: str, role: str = "image") -> Source:
    """The image (or guidance) as the filter takes it, at its own depth, or a one-line refusal."""
    arr = depths.native(arr)
    if not depths.filterable(arr.dtype):
        hint = ", e.g. with arr.astype(np.float64)" if is_npy(path) else ""
        raise UserError(
            f"{role} '{path}' has {arr.dtype} samples; the filter takes {depths.accepted()}: convert it first{hint}"
        )
    return arr


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


def _load_npy(path: str, role: str, max_pixels: int) -> NpyReader:
    _check_file(path, role)
    try:
        # Opened, not read: nothing of the data is in memory before the checks below.
        arr = NpyReader(path, native=True, name=f"{role} '{path}'")
    except PermissionError:
        raise UserError(f"{role} '{path}' is not readable (permission denied)") from None
    except OSError as exc:
        raise UserError(f"{role} '{path}' cannot be read: {os_reason(exc)}") from None
    except NpyError as exc:
        raise UserError(f"{role} '{path}' is not a readable .npy array ({exc})") from None
    if arr.ndim not in (2, 3):
        raise UserError(
            f"{role} '{path}' has shape {arr.shape}; a .npy {role} must be (height, width) or "
            "(height, width, channels)"
        )
    if arr.shape[0] == 0 or arr.shape[1] == 0 or (arr.ndim == 3 and arr.shape[2] == 0):
        raise UserError(f"{role} '{path}' is empty (shape {arr.shape})")
    _check_pixels(role, path, arr.shape[1], arr.shape[0], max_pixels, "has")
    return arr


@dataclass
class LoadedImage:
    """The image to filter, at its own depth, and the alpha channel set aside from it."""

    pixels: Union[np.ndarray, NpyReader]  # (h, w) or (h, w, c); a reader for an .npy file
    alpha: Optional[np.ndarray] = None  # passed through untouched

    @property
    def height(self) -> int:
        return int(self.pixels.shape[0])

    @property
    def width(self) -> int:
        return int(self.pixels.shape[1])

    @property
    def channels(self) -> int:
        """Channels of the result as written, alpha included."""
        own = self.pixels.shape[2] if self.pixels.ndim == 3 else 1
        return own + (self.alpha is not None)

    def restore(self, filtered: np.ndarray) -> np.ndarray:
        if self.alpha is not None:
            return np.dstack([filtered, self.alpha])
        return filtered


def load_image(path: str, max_pixels: int) -> LoadedImage:
    """Read the image to filter, at its own depth and with its own channels.

    A gray image stays one channel, (h, w) or (h, w, 1) as it was.  Alpha is not
    image content: it is set aside and re-attached unfiltered.  A ``.npy`` image
    has all of its channels filtered (an array has no alpha convention), and is
    opened, not read: its pixels are an NpyReader.
    """
    if is_npy(path):
        return LoadedImage(_full_depth(_load_npy(path, "image", max_pixels), path))
    arr = _full_depth(_imread(path, cv2.IMREAD_UNCHANGED, "image", max_pixels), path)
    if arr.ndim == 3 and arr.shape[2] == 4:
        return LoadedImage(arr[:, :, :3], alpha=arr[:, :, 3].copy())
    return LoadedImage(arr)


def load_guidance(path: str, gray: bool, max_pixels: int) -> Union[np.ndarray, NpyReader]:
    """Read the guidance image at its own depth, as the filter weighs it: 2-D for gray, (h, w, c)
    for colour (alpha dropped); a ``.npy`` file is opened, not read, and given as its NpyReader."""
    if is_npy(path):
        reader = _load_npy(path, "guidance", max_pixels)
        if gray and reader.ndim == 3 and reader.shape[2] != 1:
            raise UserError(
                f"--gray-guidance needs a one-channel .npy guidance; '{path}' has shape {reader.shape}"
            )
        return _full_depth(reader, path, "guidance")
    flags = cv2.IMREAD_GRAYSCALE | cv2.IMREAD_ANYDEPTH if gray else cv2.IMREAD_UNCHANGED
    arr = _full_depth(_imread(path, flags, "guidance", max_pixels), path, "guidance")
    if arr.ndim == 3 and arr.shape[2] == 4:
        arr = np.ascontiguousarray(arr[:, :, :3])
    return arr


def check_sizes(image: LoadedImage, guidance: Union[np.ndarray, NpyReader], image_path: str,
                guidance_path: str) -> None:
    if guidance.shape[:2] != image.pixels.shape[:2]:
        raise UserError(
            f"guidance '{guidance_path}' is {guidance.shape[1]}x{guidance.shape[0]} but image "
            f"'{image_path}' is {image.width}x{image.height} (width x height); they must match"
        )
