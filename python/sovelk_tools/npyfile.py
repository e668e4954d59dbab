""".npy files read by plain reads at known offsets, never through a memory map.

A memory map of a file that shrinks while it is read ends the process with SIGBUS (``np.save`` to
the same path truncates the file first). Read this way, a file that shrinks or is rewritten while
it is read is an error of that file alone, and so is a damaged header, whatever numpy's own
parser would have raised for it (a tokenize error for an unclosed bracket, OverflowError for a
negative dimension). Only the rows and columns asked for are read.
"""

from __future__ import annotations

import ast
import math
import os
import stat
import struct
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

import numpy as np
from numpy.lib import format as npy_format

_MAGIC = b"\x93NUMPY"
# numpy's own writer pads headers to 64 bytes; one of our dtypes and shapes takes far less.
_MAX_HEADER = 1 << 16


class NpyError(ValueError):
    """An .npy file that cannot be read as one array, or that changed while it was read."""


@dataclass(frozen=True)
class Header:
    shape: Tuple[int, ...]
    dtype: np.dtype
    fortran_order: bool
    offset: int  # where the data starts

    @property
    def nbytes(self) -> int:
        return math.prod(self.shape) * self.dtype.itemsize


@dataclass(frozen=True)
class Identity:
    """What tells a file apart from the same path rewritten or replaced."""

    device: int
    inode: int
    size: int
    mtime_ns: int
    ctime_ns: int

    @staticmethod
    def of(info: os.stat_result) -> "Identity":
        return Identity(info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


def read_header(fd: int) -> Header:
    """The header of the .npy file open as ``fd``; NpyError with the reason where it is no valid
    header of one array of a plain dtype."""
    start = os.pread(fd, 12, 0)
    if start[:6] != _MAGIC or len(start) < 10:
        raise NpyError("it does not start as an .npy file does")
    major = start[6]
    if major == 1:
        length, offset = struct.unpack("<H", start[8:10])[0], 10
    elif major in (2, 3) and len(start) == 12:
        length, offset = struct.unpack("<I", start[8:12])[0], 12
    else:
        raise NpyError(f"its format version {major}.{start[7]} is not one numpy writes")
    if length > _MAX_HEADER:
        raise NpyError(f"its header of {length} bytes is longer than any array of ours needs")
    raw = os.pread(fd, length, offset)
    if len(raw) < length:
        raise NpyError("its header is cut short")
    try:
        fields = ast.literal_eval(raw.decode("utf8" if major == 3 else "latin1"))
    except Exception as exc:  # noqa: BLE001 - any parse failure of the text is a damaged header
        raise NpyError(f"its header cannot be parsed ({type(exc).__name__})") from None
    if not isinstance(fields, dict) or set(fields) != {"descr", "fortran_order", "shape"}:
        raise NpyError("its header is not the dictionary of descr, fortran_order and shape")
    shape = fields["shape"]
    if not (isinstance(shape, tuple) and all(type(n) is int and n >= 0 for n in shape)):
        raise NpyError(f"its header's shape {shape!r} is not a tuple of sizes")
    if not isinstance(fields["fortran_order"], bool):
        raise NpyError("its header's fortran_order is not True or False")
    try:
        dtype = npy_format.descr_to_dtype(fields["descr"])
    except Exception as exc:  # noqa: BLE001 - numpy raises several types for a bad descr
        raise NpyError(f"its header's dtype {fields['descr']!r} is not one numpy knows ({exc})") from None
    if dtype.hasobject:
        raise NpyError("it holds Python objects, which are read only by unpickling")
    return Header(shape, dtype, fields["fortran_order"], offset + length)


class NpyReader:
    """An open .npy file whose blocks of rows and columns are read on request, checked against
    the file as it was when opened. ``native=True`` gives the samples in the machine's byte
    order; ``name`` (e.g. "image 'a.npy'") starts the texts of errors met while reading. Also
    reads ``reader[r0:r1]``, whole rows, for code written for arrays."""

    def __init__(self, path: str, *, native: bool = False, name: str = "it") -> None:
        self.path = path
        self._name = name
        self._fd: Optional[int] = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            info = os.fstat(self._fd)
            if not stat.S_ISREG(info.st_mode):
                raise NpyError("it is not a regular file")
            self.identity = Identity.of(info)
            self.header = read_header(self._fd)
            end = self.header.offset + self.header.nbytes
            if info.st_size < end:
                raise NpyError(f"it holds {info.st_size} bytes, fewer than the {end} its header declares")
        except BaseException:
            self.close()
            raise
        file_dtype = self.header.dtype
        self._swap = native and not file_dtype.isnative
        self.dtype = file_dtype.newbyteorder("=") if self._swap else file_dtype
        self.shape = self.header.shape
        self.ndim = len(self.shape)
        self.size = math.prod(self.shape)

    def close(self) -> None:
        fd, self._fd = getattr(self, "_fd", None), None
        if fd is not None:
            os.close(fd)

    def __enter__(self) -> "NpyReader":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def check(self) -> None:
        """NpyError unless the open file is still as it was when opened."""
        assert self._fd is not None, "closed"
        if Identity.of(os.fstat(self._fd)) != self.identity:
            raise NpyError(f"{self._name} changed while it was read (its size or modification time differ)")

    def __getitem__(self, rows: slice) -> np.ndarray:
        if not isinstance(rows, slice):
            raise TypeError("an NpyReader reads whole rows only: reader[r0:r1]")
        return self.block(rows, slice(None))

    def block(self, rows: slice, cols: slice) -> np.ndarray:
        """Rows x columns (slices of step 1, with every channel) as a new C-ordered array."""
        h, w = self.shape[0], self.shape[1] if self.ndim > 1 else 1
        r0, r1, rstep = rows.indices(h)
        c0, c1, cstep = cols.indices(w)
        if rstep != 1 or cstep != 1:
            raise ValueError("an NpyReader reads slices of step 1")
        r1, c1 = max(r0, r1), max(c0, c1)
        rest = self.shape[2:]
        channels = math.prod(rest)
        item = self.header.dtype.itemsize
        out = np.empty((r1 - r0, c1 - c0) + rest, dtype=self.header.dtype)
        if out.size:
            if not self.header.fortran_order:
                pixel = channels * item
                flat = out.reshape(-1).view(np.uint8).data
                if c0 == 0 and c1 == w:  # whole rows: one read
                    self._read_into(flat, self.header.offset + r0 * w * pixel)
                else:
                    span = (c1 - c0) * pixel
                    for i, r in enumerate(range(r0, r1)):
                        self._read_into(flat[i * span:(i + 1) * span], self.header.offset + (r * w + c0) * pixel)
            else:  # element (i, j, k) at i + h (j + w k): a run of rows per column and channel
                columns = np.empty((channels, c1 - c0, r1 - r0), dtype=self.header.dtype)
                flat = columns.reshape(-1).view(np.uint8).data
                span = (r1 - r0) * item
                runs = ((k, j) for k in range(channels) for j in range(c0, c1))
                for n, (k, j) in enumerate(runs):
                    self._read_into(flat[n * span:(n + 1) * span], self.header.offset + ((k * w + j) * h + r0) * item)
                out[...] = columns.transpose(2, 1, 0).reshape(out.shape)
        self.check()
        return out.astype(self.dtype) if self._swap else out

    def _read_into(self, target: memoryview, offset: int) -> None:
        assert self._fd is not None, "closed"
        done = 0
        while done < len(target):
            if hasattr(os, "preadv"):
                n = os.preadv(self._fd, [target[done:]], offset + done)
            else:
                chunk = os.pread(self._fd, len(target) - done, offset + done)
                target[done:done + len(chunk)] = chunk
                n = len(chunk)
            if n == 0:
                raise NpyError(f"{self._name} shrank while it was read: it ends before the data its header declares")
            done += n


def read_rows(source: Any, runs: List[slice]) -> np.ndarray:
    """The rows of ``runs`` of an array or an NpyReader, joined in order (whole rows)."""
    parts = [source[run] for run in runs]
    return parts[0] if len(parts) == 1 else np.concatenate(parts, axis=0)
