"""Output files: whole or absent, and never put in place of a file the command was not told to replace.

Every output is first written to a hidden temporary file beside its final
name and published only after the bytes were written, flushed and synced
without error.  Images are encoded in memory and written here, not by
OpenCV's file writers, because some of those do not check their writes: on a
full disk they left truncated files and reported success.  A failure or an
interrupt therefore leaves the earlier file (or nothing) in place, never a
truncated one, and the OS error is reported as it is.

Without --overwrite the temporary file is published under a name that must
still be free at that moment (a hard link, or a rename that refuses to
replace), so that a file another program wrote there during the run is kept.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import os
import re
import stat
import tempfile
from typing import Any, Callable, Iterator, List, Optional, Tuple

import cv2
import numpy as np

from . import _native, depths
from .errors import UserError, cannot_write, os_reason
from .formats import is_npy
from .opencv_codecs import CodecError, EncodeRefused, encode, have_encoder, keeps_alpha, stored_depth
from .signals import signals_held

# Formats that store gray only: a colour result is converted rather than refused.
_GRAY_ONLY = {".pgm", ".pbm"}

# What a result is written as where the output format cannot hold its depth, nearest first.
# int16 and int32 have no scale to map to 8 bits from: they are refused instead.
_SHALLOWER = {"uint16": ("uint8",), "float32": ("uint8",), "float64": ("float32", "uint8")}

# Errors of link() that mean "this file system has no hard links", not "the name is taken".
_NO_HARD_LINKS = {errno.EPERM, errno.EOPNOTSUPP, errno.ENOSYS}
# Errors of renameat2() that mean "no such flag here" (an old kernel or a file system without it).
_NO_NOREPLACE = {errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP}
_AT_FDCWD = -100
_RENAME_NOREPLACE = 1
# Errors of posix_fallocate that mean "this file system cannot reserve", not "no room".
_NO_FALLOCATE = {errno.EOPNOTSUPP, errno.ENOSYS, errno.EINVAL}


def _describe_shape(arr: np.ndarray) -> str:
    chans = 1 if arr.ndim == 2 else arr.shape[2]
    return f"{arr.shape[1]}x{arr.shape[0]} (width x height), {chans} channel{'s' if chans != 1 else ''}"


def _read_only_fs(directory: str) -> bool:
    try:
        return bool(os.statvfs(directory).f_flag & os.ST_RDONLY)
    except OSError:
        return False


def check_output_dir(directory: str) -> None:
    """Refuse a directory that outputs cannot be written into, with the reason."""
    try:
        if not stat.S_ISDIR(os.stat(directory).st_mode):
            raise UserError(f"output directory '{directory}' is not a directory")
    except FileNotFoundError:
        raise UserError(f"output directory '{directory}' does not exist") from None
    except OSError as exc:
        raise UserError(f"output directory '{directory}' cannot be reached: {os_reason(exc)}") from None
    if _read_only_fs(directory):
        raise UserError(f"output directory '{directory}' is on a read-only file system")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise UserError(f"output directory '{directory}' is not writable")


def output_extension(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def can_encode(path: str) -> bool:
    return is_npy(path) or have_encoder(output_extension(path))


def check_output(path: str, overwrite: bool) -> None:
    """Refuse outputs that cannot or must not be written, before any work is done."""
    if os.path.isdir(path):
        raise UserError(f"output '{path}' is a directory; give a file name")
    if os.path.lexists(path) and not overwrite:
        raise UserError(f"output '{path}' already exists (use --overwrite to replace it)")
    check_output_dir(os.path.dirname(os.path.abspath(path)))
    if not can_encode(path):
        ext = os.path.splitext(path)[1] or "(no extension)"
        raise UserError(f"output '{path}': OpenCV has no encoder for '{ext}'; use e.g. .png, .jpg, .tif or .npy")


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _sync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _rename_noreplace(src: str, dst: str) -> None:
    """Rename ``src`` to ``dst`` unless ``dst`` exists (FileExistsError), for file systems without hard links."""
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError, TypeError):
        renameat2 = None
    if renameat2 is not None:
        if renameat2(_AT_FDCWD, os.fsencode(src), _AT_FDCWD, os.fsencode(dst), _RENAME_NOREPLACE) == 0:
            return
        err = ctypes.get_errno()
        if err not in _NO_NOREPLACE:
            raise OSError(err, os.strerror(err), dst)
    # Neither a hard link nor a refusing rename: the name is checked just
    # before the rename, so only a file written in between could be replaced.
    if os.path.lexists(dst):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), dst)
    os.rename(src, dst)


def _publish(tmp: str, path: str, overwrite: bool) -> None:
    if overwrite:
        os.replace(tmp, path)
        return
    try:
        os.link(tmp, path)
    except OSError as exc:
        if exc.errno not in _NO_HARD_LINKS:
            raise
        _rename_noreplace(tmp, path)
        return
    os.unlink(tmp)


def _temporary_names(name: str) -> "re.Pattern[str]":
    """The names atomic_output gives the temporary files of an output called ``name``."""
    ext = os.path.splitext(name)[1]
    return re.compile(re.escape(f".{name}.") + r"[a-z0-9_]{8}" + re.escape(f".partial{ext}"))


def _remove_stale_temporaries(directory: str, name: str) -> None:
    """Remove the temporary files of ``name`` that no running command holds: those that SIGKILL
    or a power cut left behind (any other end of the process removes its own). A command holds
    its temporary file locked while it writes it; one that can be locked here is nobody's."""
    pattern = _temporary_names(name)
    try:
        entries = [e for e in os.listdir(directory) if pattern.fullmatch(e)]
    except OSError:
        return
    for entry in entries:
        candidate = os.path.join(directory, entry)
        try:
            fd = os.open(candidate, os.O_RDONLY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0))
        except OSError:
            continue  # gone meanwhile, or not ours to open
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if stat.S_ISREG(os.fstat(fd).st_mode) and os.fstat(fd).st_ino == os.lstat(candidate).st_ino:
                os.unlink(candidate)
        except OSError:
            pass  # locked: a running command writes it
        finally:
            os.close(fd)


def _locked_temporary(directory: str, name: str) -> Tuple[int, str]:
    """A new temporary file for output ``name`` and a descriptor holding it locked. A command that
    removed stale ones may have taken this one for stale between its creation and the lock: then
    it is gone from the directory, and another is made."""
    ext = os.path.splitext(name)[1]
    while True:
        fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=f".partial{ext}", dir=directory)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            if os.fstat(fd).st_ino == os.lstat(tmp).st_ino:
                return fd, tmp
        except FileNotFoundError:
            pass
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)


@contextlib.contextmanager
def atomic_output(path: str, *, overwrite: bool) -> Iterator[str]:
    """Yield a temporary path beside ``path``; move it into place only if the block succeeds.

    The temporary file keeps the output's extension so that a reader of the
    directory can tell what it will become.  It is created in the target
    directory so that publishing it is a rename or a link on one file system,
    which is atomic.  The data is synced before, so that a crash just after
    cannot leave an empty file under the final name.  Without ``overwrite`` a
    file that took the name meanwhile is kept and this output fails.

    Whatever ends the process, the temporary file goes: an exception or a terminating signal
    through the cleanup below, a fault (SIGSEGV, SIGBUS, ...) through a native handler that
    unlinks it, and SIGKILL at the next run that writes this output, which removes temporary
    files of its name that no running command holds locked.
    """
    directory, name = os.path.split(os.path.abspath(path))
    tmp: Optional[str] = None
    lock: Optional[int] = None
    slot = -1
    try:
        _remove_stale_temporaries(directory, name)
        with signals_held():
            try:
                lock, tmp = _locked_temporary(directory, name)
            except OSError as exc:
                raise cannot_write(path, exc) from None
            slot = _native.hold_temporary(os.fsencode(tmp))
        yield tmp
        try:
            _sync(tmp)
            # mkstemp creates 0600 files; a finished output gets ordinary permissions.
            os.chmod(tmp, 0o666 & ~_umask())
            _publish(tmp, path, overwrite)
        except FileExistsError:
            raise UserError(
                f"output '{path}' appeared while this result was being made; it was left as it is "
                "(use --overwrite to replace it)"
            ) from None
        except OSError as exc:
            raise cannot_write(path, exc) from None
    except BaseException:
        if tmp is not None:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        raise
    finally:
        _native.release_temporary(slot)
        if lock is not None:
            os.close(lock)
    with contextlib.suppress(OSError):
        # Makes the new name itself durable; file systems that cannot sync a
        # directory still have the complete file under its name.
        _sync(directory)


@contextlib.contextmanager
def output_directory(outdir: str) -> Iterator[None]:
    """Create a batch's output directory, and remove what was created if nothing was written into it."""
    created: List[str] = []
    path = os.path.abspath(outdir)
    while not os.path.lexists(path):
        created.append(path)
        path = os.path.dirname(path)
    try:
        with signals_held():
            try:
                os.makedirs(outdir, exist_ok=True)
            except OSError as exc:
                raise UserError(f"cannot create output directory '{outdir}': {os_reason(exc)}") from None
        check_output_dir(outdir)
        yield
    finally:
        for directory in created:  # deepest first; rmdir refuses one that holds anything
            try:
                os.rmdir(directory)
            except FileNotFoundError:
                continue  # makedirs failed before it got this deep
            except OSError:
                break


def _write_bytes(tmp: str, final_path: str, chunks: Callable[[Any], Any]) -> None:
    try:
        with open(tmp, "wb") as fh:
            chunks(fh)
            fh.flush()
            os.fsync(fh.fileno())
    except OSError as exc:
        raise cannot_write(final_path, exc) from None


class _Sink:
    """A writer numpy cannot see through: it then writes in chunks through ``write``.

    Given a real file, ``np.save`` calls ``tofile``, which reports a short
    write as "requested and written" counts and loses the OS error.
    """

    def __init__(self, fh: Any) -> None:
        self.write = fh.write


def write_npy(tmp: str, final_path: str, arr: np.ndarray) -> None:
    """Write ``arr`` as a .npy file into ``tmp``."""
    _write_bytes(tmp, final_path, lambda fh: np.lib.format.write_array(_Sink(fh), arr, allow_pickle=False))


def written_channels(final_path: str, channels: int) -> int:
    """How many channels :func:`fit_format` leaves of a result with ``channels``."""
    ext = output_extension(final_path)
    if ext in _GRAY_ONLY:
        if channels not in (1, 3, 4):
            raise UserError(
                f"output '{final_path}': {ext} stores gray only, and a result of {channels} channels "
                "is no colour image to convert to gray"
            )
        return 1
    if channels == 4 and not keeps_alpha(ext):
        return 3
    return channels


def written_dtype(final_path: str, dtype: np.dtype, channels: int) -> np.dtype:
    """The dtype a result of ``dtype`` and ``channels`` is written to ``final_path`` in.

    Its own where the format holds it (with loss or without), else the nearest shallower one
    the format holds.  8-bit results are written as they always were.  Raises UserError for
    int16 and int32 results that the format cannot hold, before any filtering is done.
    """
    ext = output_extension(final_path)
    if is_npy(final_path) or dtype == np.uint8:
        return dtype
    channels = written_channels(final_path, channels)
    if stored_depth(ext, dtype.name, channels) is not None:
        return dtype
    for shallower in _SHALLOWER.get(dtype.name, ()):
        if stored_depth(ext, shallower, channels) is not None:
            return np.dtype(shallower)
    if dtype.kind == "i":
        plural = "s" if channels != 1 else ""
        raise UserError(
            f"output '{final_path}': {ext} cannot hold this {dtype} result ({channels} channel{plural}); "
            "write .npy instead"
        )
    return dtype  # the format holds no depth at all for these channels; its encoder says so


def check_writable(final_path: str, dtype: np.dtype, channels: int) -> None:
    """Refuse, before any filtering, a result that the output format cannot take at all."""
    if not is_npy(final_path):
        written_channels(final_path, channels)
        written_dtype(final_path, dtype, channels)


def fit_depth(arr: np.ndarray, final_path: str, notes: Optional[List[str]] = None) -> np.ndarray:
    """Give a result a depth its output format holds, with a note for what is lost."""
    channels = 1 if arr.ndim == 2 else arr.shape[2]
    dtype = written_dtype(final_path, arr.dtype, channels)
    ext = output_extension(final_path)
    if dtype != np.uint8 and not is_npy(final_path) and stored_depth(ext, dtype.name,
                                                                     written_channels(final_path, channels)) is False:
        if notes is not None:
            notes.append(f"'{final_path}': {ext} stores {dtype} samples only with loss, so the written values are "
                         "not exactly the result's (.tif keeps every depth)")
    if dtype == arr.dtype:
        return arr
    if dtype == np.float32:
        note = f"{ext} holds float32 at most, so the float64 result was rounded to float32"
        fitted = arr.astype(np.float32)
    else:
        fitted, outside = depths.to_uint8(arr)
        if arr.dtype == np.uint16:
            note = f"{ext} holds 8-bit samples only, so the 16-bit result was rescaled from 0..65535 to 0..255"
        else:
            note = f"{ext} holds no floating-point samples, so the {arr.dtype} result was mapped from 0..1 to 0..255"
            if outside:
                note += f" ({depths.share(outside, arr.size)} of its samples lay outside and were clipped)"
    if notes is not None:
        notes.append(f"'{final_path}': {note}")
    return fitted


def fit_format(arr: np.ndarray, final_path: str, notes: Optional[List[str]] = None) -> np.ndarray:
    """Give a result the channels its output format can store, with a note for what is lost."""
    ext = output_extension(final_path)
    if ext in _GRAY_ONLY and arr.ndim == 3:
        written_channels(final_path, arr.shape[2])  # refuses what has no gray to convert to
        if arr.shape[2] == 1:
            return arr[:, :, 0]
        code = cv2.COLOR_BGRA2GRAY if arr.shape[2] == 4 else cv2.COLOR_BGR2GRAY
        if notes is not None:
            notes.append(f"'{final_path}': {ext} stores gray only, so the colour result was converted to gray")
        return cv2.cvtColor(arr, code)
    if arr.ndim == 3 and arr.shape[2] == 4 and not keeps_alpha(ext):
        if notes is not None:
            notes.append(f"'{final_path}': {ext} stores no alpha channel, so the alpha channel was left out")
        return np.ascontiguousarray(arr[:, :, :3])
    return arr


def write_image(tmp: str, final_path: str, arr: np.ndarray, notes: Optional[List[str]] = None) -> None:
    """Encode ``arr`` in memory with the encoder ``final_path`` names, and write it into ``tmp``."""
    ext = output_extension(final_path)
    # Depth first: the colour-to-gray conversion takes 8-bit, 16-bit and float32 samples only.
    arr = fit_format(fit_depth(arr, final_path, notes), final_path, notes)
    try:
        data = encode(ext, arr)
    except CodecError as exc:
        raise UserError(f"cannot write '{final_path}': {exc}") from None
    except EncodeRefused as exc:
        if exc.through_file:
            raise UserError(
                f"cannot write '{final_path}': OpenCV's {ext} encoder failed writing its temporary file in "
                f"'{tempfile.gettempdir()}' (is that disk full?)"
            ) from None
        raise UserError(
            f"cannot write '{final_path}': OpenCV's {ext or 'image'} encoder refused an image of "
            f"{_describe_shape(arr)}"
        ) from None
    _write_bytes(tmp, final_path, lambda fh: fh.write(data))


def open_npy_output(tmp: str, final_path: str, shape: Tuple[int, ...], dtype: Any = np.uint8) -> np.memmap:
    """Create the .npy output as a memmap with its disk space reserved up front.

    A memmap over a sparse file dies with SIGBUS when the disk fills halfway
    through; reserving the blocks first turns that into an ordinary error
    before any filtering starts.
    """
    try:
        out = np.lib.format.open_memmap(tmp, mode="w+", dtype=dtype, shape=tuple(shape))
    except OSError as exc:
        raise cannot_write(final_path, exc) from None
    if hasattr(os, "posix_fallocate"):
        size = os.path.getsize(tmp)
        fd = os.open(tmp, os.O_RDWR)
        try:
            os.posix_fallocate(fd, 0, size)
        except OSError as exc:
            if exc.errno not in _NO_FALLOCATE:
                del out
                raise UserError(
                    f"cannot write '{final_path}': cannot reserve {size / 2**20:.1f} MiB: {os_reason(exc)}"
                ) from None
        finally:
            os.close(fd)
    return out
