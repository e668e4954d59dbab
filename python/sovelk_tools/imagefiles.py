"""Reading inputs and writing outputs for the command line, never leaving half-written files.

Image files go through OpenCV (every format it reads and writes); ``.npy``
files are memory-mapped so that images larger than RAM can be filtered tile by
tile from disk to disk.  Every output is first written to a hidden temporary
file in the target directory and moved into place with ``os.replace`` only once
it is complete, so a failure or an interrupt leaves either the old file or
nothing - never a truncated image.
"""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from dataclasses import dataclass, field
from typing import Iterator, List, Optional, Tuple

import cv2
import numpy as np


class UserError(Exception):
    """A problem with the user's request, reported as one line and exit code 2."""


NPY = ".npy"

# Formats that store gray only: a colour result is converted rather than refused.
_GRAY_ONLY = {".pgm", ".pbm"}


def is_npy(path: str) -> bool:
    return os.path.splitext(path)[1].lower() == NPY


def _describe_shape(arr: np.ndarray) -> str:
    chans = 1 if arr.ndim == 2 else arr.shape[2]
    return f"{arr.shape[1]}x{arr.shape[0]} (width x height), {chans} channel{'s' if chans != 1 else ''}"


def to_uint8(arr: np.ndarray, path: str, notes: List[str]) -> np.ndarray:
    """Bring an image to the 8-bit scale the filter works on.

    The range tables are indexed by 8-bit intensity differences and the filter
    returns 8-bit output, so deeper images are rescaled (16-bit by 255/65535,
    floating point from 0..1) instead of being clipped at 255.
    """
    if arr.dtype == np.uint8:
        return arr
    if arr.dtype == np.uint16:
        notes.append(f"'{path}' is 16-bit; it is filtered at 8 bits, the filter's output depth")
        # Exact rounding of x * 255 / 65535 in integers.
        return ((arr.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8)
    if np.issubdtype(arr.dtype, np.floating):
        notes.append(
            f"'{path}' holds floating-point samples; 0..1 is mapped to 0..255 and values outside are clipped"
        )
        scaled = np.nan_to_num(arr.astype(np.float64), nan=0.0, posinf=1.0, neginf=0.0)
        return np.rint(np.clip(scaled, 0.0, 1.0) * 255.0).astype(np.uint8)
    raise UserError(
        f"'{path}' has {arr.dtype} samples; 8-bit, 16-bit and floating-point images are supported"
    )


def _check_readable(path: str, role: str) -> None:
    if not os.path.exists(path):
        raise UserError(f"{role} '{path}' does not exist")
    if os.path.isdir(path):
        raise UserError(f"{role} '{path}' is a directory, not a file")
    if not os.access(path, os.R_OK):
        raise UserError(f"{role} '{path}' is not readable (permission denied)")


def _imread(path: str, flags: int, role: str) -> np.ndarray:
    _check_readable(path, role)
    try:
        arr = cv2.imread(path, flags)
    except cv2.error:
        arr = None
    if arr is None:
        raise UserError(f"{role} '{path}' cannot be read: not an image format OpenCV can decode")
    return arr


def _load_npy(path: str, role: str) -> np.ndarray:
    _check_readable(path, role)
    try:
        arr = np.load(path, mmap_mode="r", allow_pickle=False)
    except (ValueError, OSError, EOFError) as exc:
        raise UserError(f"{role} '{path}' is not a readable .npy array ({exc})") from None
    if not isinstance(arr, np.ndarray):
        raise UserError(f"{role} '{path}' is not a single .npy array")
    return arr


@dataclass
class LoadedImage:
    """The image to filter, shaped for the filter, plus how to give the result its original form."""

    pixels: np.ndarray  # (h, w, ch) with ch >= 2
    alpha: Optional[np.ndarray] = None  # passed through untouched
    gray: bool = False  # the file was single-channel; the result keeps one channel
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
            return filtered[:, :, 0]
        if self.alpha is not None:
            return np.dstack([filtered, self.alpha])
        return filtered


def load_image(path: str) -> LoadedImage:
    """Read the image to filter.

    Files are read unchanged (depth, alpha) and then brought into the shape the
    filter takes: alpha is not image content, so it is set aside and re-attached
    unfiltered; a single-channel image is filtered as two identical channels,
    because the filter needs a channel axis and OpenCV's border routine drops a
    channel axis of length 1.
    """
    if is_npy(path):
        arr = _load_npy(path, "image")
        if arr.ndim != 3 or arr.shape[2] < 2:
            raise UserError(
                f"image '{path}' has shape {arr.shape}; a .npy image must be (height, width, channels) "
                "with at least 2 channels"
            )
        if arr.shape[0] == 0 or arr.shape[1] == 0:
            raise UserError(f"image '{path}' is empty (shape {arr.shape})")
        return LoadedImage(arr)
    notes: List[str] = []
    arr = to_uint8(_imread(path, cv2.IMREAD_UNCHANGED, "image"), path, notes)
    if arr.ndim == 2:
        return LoadedImage(np.repeat(arr[:, :, None], 2, axis=2), gray=True, notes=notes)
    if arr.shape[2] == 4:
        return LoadedImage(np.ascontiguousarray(arr[:, :, :3]), alpha=arr[:, :, 3].copy(), notes=notes)
    return LoadedImage(arr, notes=notes)


def load_guidance(path: str, gray: bool, notes: List[str]) -> np.ndarray:
    """Read the guidance image: 2-D for gray, (h, w, 3) for colour, always 8-bit."""
    if is_npy(path):
        arr = _load_npy(path, "guidance")
        if arr.ndim not in (2, 3):
            raise UserError(
                f"guidance '{path}' has shape {arr.shape}; it must be (height, width) or "
                "(height, width, channels)"
            )
        if gray and arr.ndim == 3:
            raise UserError(
                f"--gray-guidance needs a 2-D .npy guidance; '{path}' has shape {arr.shape}"
            )
        if arr.dtype != np.uint8:
            # The range tables have 256 entries: other dtypes could index past them
            # halfway through a long run, after part of the output was written.
            raise UserError(f"guidance '{path}' has dtype {arr.dtype}; a .npy guidance must be uint8")
        return arr
    if gray:
        return _imread(path, cv2.IMREAD_GRAYSCALE, "guidance")
    arr = to_uint8(_imread(path, cv2.IMREAD_UNCHANGED, "guidance"), path, notes)
    if arr.ndim == 3 and arr.shape[2] == 4:
        arr = np.ascontiguousarray(arr[:, :, :3])
    return arr


def check_sizes(image: LoadedImage, guidance: np.ndarray, image_path: str, guidance_path: str) -> None:
    if guidance.shape[:2] != image.pixels.shape[:2]:
        raise UserError(
            f"guidance '{guidance_path}' is {guidance.shape[1]}x{guidance.shape[0]} but image "
            f"'{image_path}' is {image.width}x{image.height} (width x height); they must match"
        )


def check_output(path: str, overwrite: bool) -> None:
    """Refuse outputs that cannot or must not be written, before any work is done."""
    if os.path.isdir(path):
        raise UserError(f"output '{path}' is a directory; give a file name")
    if os.path.lexists(path) and not overwrite:
        raise UserError(f"output '{path}' already exists (use --overwrite to replace it)")
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise UserError(f"output directory '{parent}' does not exist")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise UserError(f"output directory '{parent}' is not writable")
    if not is_npy(path) and not cv2.haveImageWriter(path):
        ext = os.path.splitext(path)[1] or "(no extension)"
        raise UserError(f"output '{path}': OpenCV has no encoder for '{ext}'; use e.g. .png, .jpg, .tif or .npy")


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """Yield a temporary path beside ``path``; move it into place only if the block succeeds.

    The temporary file keeps the output's extension, because OpenCV picks the
    encoder from it.  It is created in the target directory so that the final
    ``os.replace`` is a rename on one file system, which is atomic.
    """
    directory, name = os.path.split(os.path.abspath(path))
    ext = os.path.splitext(name)[1]
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=f".partial{ext}", dir=directory)
    os.close(fd)
    try:
        yield tmp
        with open(tmp, "rb+") as fh:
            os.fsync(fh.fileno())
        # mkstemp creates 0600 files; a finished output gets ordinary permissions.
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_image(tmp: str, final_path: str, arr: np.ndarray) -> None:
    """Encode ``arr`` into ``tmp`` with OpenCV, picking the encoder from ``final_path``."""
    ext = os.path.splitext(final_path)[1].lower()
    if ext in _GRAY_ONLY and arr.ndim == 3:
        code = cv2.COLOR_BGRA2GRAY if arr.shape[2] == 4 else cv2.COLOR_BGR2GRAY
        arr = cv2.cvtColor(arr, code)
    try:
        ok = cv2.imwrite(tmp, arr)
    except cv2.error as exc:
        last = str(exc).strip().splitlines()[-1] if str(exc).strip() else "encoder error"
        raise UserError(f"cannot write '{final_path}': {last}") from None
    if not ok:
        raise UserError(
            f"cannot write '{final_path}': OpenCV's {ext or 'image'} encoder refused an image of "
            f"{_describe_shape(arr)}"
        )


def open_npy_output(tmp: str, shape: Tuple[int, ...]) -> np.memmap:
    """Create the .npy output as a memmap with its disk space reserved up front.

    A memmap over a sparse file dies with SIGBUS when the disk fills halfway
    through; reserving the blocks first turns that into an ordinary error
    before any filtering starts.
    """
    out = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.uint8, shape=tuple(shape))
    if hasattr(os, "posix_fallocate"):
        size = os.path.getsize(tmp)
        fd = os.open(tmp, os.O_RDWR)
        try:
            os.posix_fallocate(fd, 0, size)
        except OSError as exc:
            # File systems without fallocate support answer EOPNOTSUPP/EINVAL: carry on.
            if exc.errno in (errno.ENOSPC, errno.EFBIG, getattr(errno, "EDQUOT", errno.ENOSPC)):
                del out
                raise UserError(
                    f"cannot reserve {size / 2**20:.1f} MiB for the output: {exc.strerror}"
                ) from None
        finally:
            os.close(fd)
    return out
