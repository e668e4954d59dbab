"""OpenCV's image codecs, called so that they cannot crash the command, mislead it or talk over it.

- They are given bytes and names of our own making, never a user's file name:
  OpenCV's binding crashes on a name that is not valid UTF-8.
- What libpng, libjpeg or OpenCV's log print on stderr while they run is
  captured, so that the command's one-line errors stand alone; the text still
  tells a decoder that ran out of memory from one that met a damaged file.
- Running out of memory is a MemoryError, whatever way the codec reports it.
"""

from __future__ import annotations

import contextlib
import functools
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import IO, Any, Callable, Iterator, List, Optional

import cv2
import numpy as np

from .formats import HEAD_BYTES, identify
from .signals import signals_held


class CodecError(Exception):
    """OpenCV refused the data for a reason other than memory; the text is its own last line."""


# How codecs and OpenCV's log word a failed allocation (OpenCV, libpng, libjpeg, libtiff).
_OUT_OF_MEMORY = re.compile(
    r"insufficient memory|out of memory|failed to allocate|cannot allocate|not enough memory", re.IGNORECASE
)


def _logging() -> Any:
    return getattr(getattr(cv2, "utils", None), "logging", None)  # absent from some OpenCV 4 releases


def quiet_logging() -> None:
    """Keep OpenCV's log off stderr outside the codec calls, which capture it themselves."""
    logging = _logging()
    if logging is not None:
        logging.setLogLevel(logging.LOG_LEVEL_SILENT)


def is_out_of_memory(exc: BaseException) -> bool:
    return isinstance(exc, cv2.error) and getattr(exc, "code", None) == cv2.Error.StsNoMem


def last_line(exc: BaseException, default: str) -> str:
    text = str(exc).strip()
    return text.splitlines()[-1].strip() if text else default


def _open_or_none(opener: Callable[[], Any]) -> Any:
    try:
        return opener()
    except OSError:
        return None


@contextlib.contextmanager
def _native_stderr() -> Iterator[List[str]]:
    """Send what native code writes to file descriptor 2 into a private file while the block runs.

    The list yielded holds that text once the block has ended.  A signal that
    arrives meanwhile is held until descriptor 2 is back, so that the
    command's own last words are not written into the private file.
    """
    captured: List[str] = []
    with signals_held():
        with contextlib.suppress(AttributeError, OSError, ValueError):
            sys.stderr.flush()  # what Python holds back belongs before the codec's text, not in it
        # Without a place for the text (a full disk) or a stderr at all, nothing is redirected.
        sink: Optional[IO[bytes]] = _open_or_none(tempfile.TemporaryFile)
        saved: Optional[int] = _open_or_none(lambda: os.dup(2)) if sink is not None else None
        if sink is None or saved is None:
            if sink is not None:
                sink.close()
            yield captured
            return
        try:
            os.dup2(sink.fileno(), 2)
            yield captured
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            captured.append(sink.read().decode("utf-8", "replace"))
            sink.close()


@contextlib.contextmanager
def _codec_call(log_errors: bool) -> Iterator[List[str]]:
    """Capture a codec call's messages; with ``log_errors``, OpenCV's error log is among them.

    A decoder's failure inside OpenCV (an allocation included) is reported
    only through that log, so a decode lets it through for the capture.
    """
    logging = _logging()
    previous = None
    if log_errors and logging is not None:
        previous = logging.getLogLevel()
        logging.setLogLevel(logging.LOG_LEVEL_ERROR)
    try:
        with _native_stderr() as messages:
            yield messages
    finally:
        if previous is not None:
            logging.setLogLevel(previous)


def _raise_for(exc: cv2.error, what: str) -> None:
    if is_out_of_memory(exc):
        raise MemoryError(f"OpenCV could not allocate memory to {what}") from None
    raise CodecError(last_line(exc, f"OpenCV could not {what}")) from None


_EXTENSION = re.compile(r"\.[A-Za-z0-9]+")


@functools.lru_cache(maxsize=None)
def have_encoder(ext: str) -> bool:
    """Whether OpenCV writes files with extension ``ext`` (e.g. '.png').

    OpenCV 4 raises, rather than answer no, for a codec built in but disabled (OpenEXR).
    """
    if not _EXTENSION.fullmatch(ext):
        return False
    with _codec_call(log_errors=False):
        try:
            return bool(cv2.haveImageWriter("x" + ext))
        except cv2.error:
            return False


# Decoders of these formats crash the process on some damaged files in OpenCV releases before 5
# (JPEG 2000: OpenJPEG reading an uninitialised value); there they run in a child process.
_CRASHING_DECODERS = ("JPEG 2000",) if int(cv2.__version__.split(".")[0]) < 5 else ()

# The child: the file's bytes on stdin, the image as .npy on stdout; exit 3 when OpenCV decoded
# nothing, OpenCV's error on stderr when it raised.
_DECODE_CHILD = """
import sys, cv2, numpy as np
image = cv2.imdecode(np.frombuffer(sys.stdin.buffer.read(), dtype=np.uint8), int(sys.argv[1]))
if image is None:
    sys.exit(3)
np.save(sys.stdout.buffer, image, allow_pickle=False)
"""


def _decode_in_child(data: bytes, flags: int, code: str = _DECODE_CHILD) -> Optional[np.ndarray]:
    proc = subprocess.run([sys.executable, "-c", code, str(flags)], input=data, capture_output=True)
    if proc.returncode < 0:
        raise CodecError(f"the decoder crashed on this file (signal {-proc.returncode}); it is probably damaged")
    messages = proc.stderr.decode("utf-8", "replace")
    if _OUT_OF_MEMORY.search(messages):
        raise MemoryError("the image decoder ran out of memory")
    if proc.returncode == 3:
        return None
    if proc.returncode != 0:
        raise CodecError(messages.strip().splitlines()[-1] if messages.strip() else "the decoder failed")
    return np.load(io.BytesIO(proc.stdout), allow_pickle=False)


def decode(data: bytes, flags: int) -> Optional[np.ndarray]:
    """Decode an image file held in memory; None when OpenCV cannot decode it.

    Raises MemoryError when the decoder ran out of memory, and CodecError with
    OpenCV's words when it refused the data outright (or crashed, for a decoder
    that runs apart).
    """
    kind = identify(bytes(data[:HEAD_BYTES]))
    if kind is not None and kind[0] in _CRASHING_DECODERS:
        return _decode_in_child(bytes(data), flags)
    with _codec_call(log_errors=True) as messages:
        try:
            arr = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), flags)
        except cv2.error as exc:
            _raise_for(exc, "decode the image")
    if arr is None and _OUT_OF_MEMORY.search(messages[0] if messages else ""):
        raise MemoryError("the image decoder ran out of memory")
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


class EncodeRefused(Exception):
    """The encoder returned no data; ``through_file`` when it had been writing a temporary file."""

    def __init__(self, through_file: bool) -> None:
        super().__init__(through_file)
        self.through_file = through_file


# Encoders that read past the end of the image: OpenCV's Sun raster encoder pads each row to an
# even length by copying one byte beyond it, which past the last row is outside the array.
_READ_PAST_THE_END = {".ras", ".sr"}


def _followed_by_zeros(arr: np.ndarray) -> np.ndarray:
    """A copy of ``arr`` whose buffer goes on with zeros after the last row."""
    buffer = np.zeros(arr.nbytes + arr.dtype.itemsize * max(1, arr.shape[1]), dtype=np.uint8)
    copy = buffer[: arr.nbytes].view(arr.dtype).reshape(arr.shape)
    copy[...] = arr
    return copy


_TIFF_LZW = 5  # libtiff's COMPRESSION_LZW: lossless for every sample type


def encode(ext: str, arr: np.ndarray) -> memoryview:
    """Encode ``arr`` in memory with the encoder for ``ext``."""
    if ext in _READ_PAST_THE_END:
        arr = _followed_by_zeros(arr)
    params: List[int] = []
    if ext in (".tif", ".tiff") and arr.dtype.kind == "f":
        # OpenCV 4 stores three-channel floats as LogLuv by default, which loses precision.
        params = [cv2.IMWRITE_TIFF_COMPRESSION, _TIFF_LZW]
    with _private_opencv_temp() as private, _codec_call(log_errors=False):
        try:
            ok, buf = cv2.imencode(ext, arr, params)
        except cv2.error as exc:
            _raise_for(exc, "encode the image")
        # OpenCV removes its temporary file after a successful encode only.
        through_file = private is not None and bool(os.listdir(private))
    if not ok:
        raise EncodeRefused(through_file)
    return buf.data


# The side of the images the encoders are tried on: OpenCV 5's JPEG 2000 encoder refuses sides
# below 32, and noise over a 64 x 64 image shows what a lossy encoding loses.
_PROBE_SIDE = 64


def _probe(kind: np.dtype, channels: int) -> np.ndarray:
    rng = np.random.default_rng(0)
    shape = (_PROBE_SIDE, _PROBE_SIDE) + (() if channels == 1 else (channels,))
    if kind.kind == "f":
        return rng.random(shape).astype(kind)
    info = np.iinfo(kind)
    return rng.integers(info.min, info.max, shape, dtype=kind, endpoint=True)


@functools.lru_cache(maxsize=None)
def stored_depth(ext: str, dtype: str, channels: int) -> Optional[bool]:
    """How OpenCV's encoder for ``ext`` stores ``channels`` channels of ``dtype``, tried on an image
    of noise and read back: True where every value comes back, False where the format holds the
    type with loss (JPEG and lossy WebP at 8 bits, JPEG 2000 at 16), None where it does not hold
    it at all. Several encoders take any depth and convert it silently (a 16-bit image to a JPEG
    saturates at 255, floats in 0..1 to a PNG become 0 and 1), and one writes 16-bit files its
    own decoder refuses: neither holds the depth. A gray image read back as colour (WebP) is
    held if its channels are equal."""
    kind = np.dtype(dtype)
    probe = _probe(kind, channels)
    try:
        data = encode(ext, probe)
    except (CodecError, EncodeRefused):
        return None
    back = decode(bytes(data), cv2.IMREAD_UNCHANGED)
    if back is None or back.dtype != kind or back.shape[:2] != probe.shape[:2]:
        return None
    if channels == 1 and back.ndim == 3 and (back == back[:, :, :1]).all():
        back = back[:, :, 0]
    if back.shape != probe.shape:
        return None
    return bool(np.array_equal(back, probe))


@functools.lru_cache(maxsize=None)
def keeps_alpha(ext: str) -> bool:
    """Whether OpenCV's encoder for ``ext`` stores a fourth channel (tried on a small image)."""
    try:
        data = encode(ext, np.zeros((_PROBE_SIDE, _PROBE_SIDE, 4), dtype=np.uint8))
    except (CodecError, EncodeRefused):
        return False
    back = decode(bytes(data), cv2.IMREAD_UNCHANGED)
    # A format OpenCV writes but cannot read back is given the channels as they are.
    return back is None or (back.ndim == 3 and back.shape[2] == 4)
