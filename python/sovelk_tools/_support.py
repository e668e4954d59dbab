"""What the command line and the demo share: one-line errors, and output files that are whole or absent.

Every output is first written to a hidden temporary file beside its final
name and moved into place with ``os.replace`` only after the bytes were
written, flushed and synced without error.  Images are encoded in memory and
written here, not by OpenCV's file writers, because some of those do not
check their writes: on a full disk they left truncated files and reported
success.  A failure or an interrupt therefore leaves the earlier file (or
nothing) in place, never a truncated one, and the OS error is reported as it is.
"""

from __future__ import annotations

import contextlib
import functools
import os
import shutil
import stat
import tempfile
import threading
from typing import Any, Iterator, List, Optional

import cv2
import numpy as np


class UserError(Exception):
    """A problem reported as one line and exit code 2 (the request, a file, the disk)."""


NPY = ".npy"

# Formats that store gray only: a colour result is converted rather than refused.
_GRAY_ONLY = {".pgm", ".pbm"}


def is_npy(path: str) -> bool:
    return os.path.splitext(path)[1].lower() == NPY


def os_reason(exc: OSError) -> str:
    """The operating system's own words for an error, e.g. 'No space left on device'."""
    return exc.strerror or str(exc)


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


def check_output(path: str, overwrite: bool) -> None:
    """Refuse outputs that cannot or must not be written, before any work is done."""
    if os.path.isdir(path):
        raise UserError(f"output '{path}' is a directory; give a file name")
    if os.path.lexists(path) and not overwrite:
        raise UserError(f"output '{path}' already exists (use --overwrite to replace it)")
    check_output_dir(os.path.dirname(os.path.abspath(path)))
    if not is_npy(path) and not cv2.haveImageWriter(path):
        ext = os.path.splitext(path)[1] or "(no extension)"
        raise UserError(f"output '{path}': OpenCV has no encoder for '{ext}'; use e.g. .png, .jpg, .tif or .npy")


class _Held:
    depth = 0
    pending: Optional[BaseException] = None


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """Hold back an interrupt raised by a signal handler until the block ends.

    Creating a file and recording its name for the cleanup are two steps; an
    exception raised between them would leave a file no cleanup knows of.
    Handlers that call ``hold_or_raise`` are held here and raised at the end.
    Signal handlers run in the main thread only, so a block in another thread
    holds nothing: the exception must not surface in a thread that did not get it.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    _Held.depth += 1
    try:
        yield
    finally:
        _Held.depth -= 1
        if _Held.depth == 0 and _Held.pending is not None:
            pending, _Held.pending = _Held.pending, None
            raise pending


def hold_or_raise(exc: BaseException) -> None:
    """Raise ``exc`` now, or at the end of the ``signals_held`` block that is running."""
    if _Held.depth == 0:
        raise exc
    if _Held.pending is None:
        _Held.pending = exc


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


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """Yield a temporary path beside ``path``; move it into place only if the block succeeds.

    The temporary file keeps the output's extension so that a reader of the
    directory can tell what it will become.  It is created in the target
    directory so that the final ``os.replace`` is a rename on one file system,
    which is atomic.  The data is synced before the rename, so that a crash
    just after it cannot leave an empty file under the final name.
    """
    directory, name = os.path.split(os.path.abspath(path))
    ext = os.path.splitext(name)[1]
    tmp: Optional[str] = None
    try:
        with signals_held():
            try:
                fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=f".partial{ext}", dir=directory)
            except OSError as exc:
                raise UserError(f"cannot write '{path}': {os_reason(exc)}") from None
            os.close(fd)
        yield tmp
        try:
            _sync(tmp)
            # mkstemp creates 0600 files; a finished output gets ordinary permissions.
            os.chmod(tmp, 0o666 & ~_umask())
            os.replace(tmp, path)
        except OSError as exc:
            raise UserError(f"cannot write '{path}': {os_reason(exc)}") from None
    except BaseException:
        if tmp is not None:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        raise
    with contextlib.suppress(OSError):
        # Makes the rename itself durable; file systems that cannot sync a
        # directory still have the complete file under its name.
        _sync(directory)


def _write_bytes(tmp: str, final_path: str, chunks: Any) -> None:
    try:
        with open(tmp, "wb") as fh:
            chunks(fh)
            fh.flush()
            os.fsync(fh.fileno())
    except OSError as exc:
        raise UserError(f"cannot write '{final_path}': {os_reason(exc)}") from None


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


@functools.lru_cache(maxsize=None)
def _keeps_alpha(ext: str) -> bool:
    """Whether OpenCV's encoder for ``ext`` stores a fourth channel (tried on a tiny image)."""
    probe = np.zeros((2, 2, 4), dtype=np.uint8)
    try:
        ok, buf = cv2.imencode(ext, probe)
    except cv2.error:
        return False
    if not ok:
        return False
    back = cv2.imdecode(buf, cv2.IMREAD_UNCHANGED)
    # A format OpenCV writes but cannot read back is given the channels as they are.
    return back is None or (back.ndim == 3 and back.shape[2] == 4)


def fit_format(arr: np.ndarray, final_path: str, notes: Optional[List[str]] = None) -> np.ndarray:
    """Give a result the channels its output format can store, with a note for what is lost."""
    ext = os.path.splitext(final_path)[1].lower()
    if ext in _GRAY_ONLY and arr.ndim == 3:
        code = cv2.COLOR_BGRA2GRAY if arr.shape[2] == 4 else cv2.COLOR_BGR2GRAY
        if notes is not None:
            notes.append(f"'{final_path}': {ext} stores gray only, so the colour result was converted to gray")
        return cv2.cvtColor(arr, code)
    if arr.ndim == 3 and arr.shape[2] == 4 and not _keeps_alpha(ext):
        if notes is not None:
            notes.append(f"'{final_path}': {ext} stores no alpha channel, so the alpha channel was left out")
        return np.ascontiguousarray(arr[:, :, :3])
    return arr


@contextlib.contextmanager
def _private_opencv_temp() -> Iterator[Optional[str]]:
    """Run an encoder with OpenCV's temporary files in a directory of our own.

    Some encoders (JPEG 2000, Radiance HDR) cannot encode into memory: OpenCV
    writes a temporary file and reads it back, and leaves that file behind
    when the write fails.  A private directory is removed with whatever is in
    it.  Where none can be made, the encoders that need no file still work.
    """
    key = "OPENCV_TEMP_PATH"
    before = os.environ.get(key)
    try:
        private = tempfile.mkdtemp(prefix="sovelk-encode-")
    except OSError:
        yield None
        return
    os.environ[key] = private
    try:
        yield private
    finally:
        if before is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = before
        shutil.rmtree(private, ignore_errors=True)


def write_image(tmp: str, final_path: str, arr: np.ndarray, notes: Optional[List[str]] = None) -> None:
    """Encode ``arr`` in memory with the encoder ``final_path`` names, and write it into ``tmp``."""
    ext = os.path.splitext(final_path)[1].lower()
    arr = fit_format(arr, final_path, notes)
    with _private_opencv_temp() as private:
        try:
            ok, buf = cv2.imencode(ext, arr)
        except cv2.error as exc:
            last = str(exc).strip().splitlines()[-1] if str(exc).strip() else "encoder error"
            raise UserError(f"cannot write '{final_path}': {last}") from None
        # OpenCV removes its temporary file after a successful encode only.
        through_file = private is not None and bool(os.listdir(private))
    if not ok:
        if through_file:
            raise UserError(
                f"cannot write '{final_path}': OpenCV's {ext} encoder failed writing its temporary file in "
                f"'{tempfile.gettempdir()}' (is that disk full?)"
            )
        raise UserError(
            f"cannot write '{final_path}': OpenCV's {ext or 'image'} encoder refused an image of "
            f"{_describe_shape(arr)}"
        )
    _write_bytes(tmp, final_path, lambda fh: fh.write(buf.data))

