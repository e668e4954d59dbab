"""The size an image header declares: sovelk_tools.formats against Pillow, imageio and tifffile.

    python benchmarks/header_sizes.py [--repeat 2000]

The command line refuses an input whose header declares more than --max-pixels before anything
is decoded. This asks, for every format OpenCV writes here, whether each library reads the size
from the header alone and agrees with what OpenCV decodes, and how long one answer takes; then how
long each takes to turn down a PNG that declares 30000 x 30000 pixels in 200 bytes, and the most
memory it held meanwhile (tracemalloc). Libraries that are not installed are left out.
"""

import argparse
import io
import struct
import time
import tracemalloc
import warnings
import zlib

import cv2
import numpy as np

from sovelk_tools import formats

EXTENSIONS = (".png", ".jpg", ".tif", ".webp", ".bmp", ".gif", ".ppm", ".pam", ".pfm", ".ras", ".exr", ".hdr",
              ".jp2", ".avif")


def sample(ext):
    """A 67 x 45 image in ``ext``, or None where this OpenCV has no encoder for it."""
    shape = (45, 67) if ext in (".pfm",) else (45, 67, 3)
    dtype = np.float32 if ext in (".pfm", ".exr", ".hdr") else np.uint8
    arr = np.random.default_rng(0).integers(0, 200, shape).astype(dtype)
    if dtype == np.float32:
        arr /= 255
    try:
        if not cv2.haveImageWriter("x" + ext):
            return None
        ok, buf = cv2.imencode(ext, arr)
    except cv2.error:
        return None
    return bytes(buf) if ok else None


def png_declaring(w, h):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = zlib.compress(b"\0" * (w + 1) * 4)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", rows) + chunk(b"IEND", b""))


def readers(ext):
    found = {"sovelk_tools.formats": lambda data: formats.declared_size(data)}
    try:
        from PIL import Image

        Image.MAX_IMAGE_PIXELS = None  # the size is what is asked for, not Pillow's own limit

        def pillow(data):
            with Image.open(io.BytesIO(data)) as im:
                return im.size

        found["Pillow"] = pillow
    except ImportError:
        pass
    try:
        import imageio.v3 as iio

        def imageio_props(data):
            shape = iio.improps(data, extension=ext, index=0).shape
            return (shape[1], shape[0])

        found["imageio"] = imageio_props
    except ImportError:
        pass
    if ext == ".tif":
        try:
            import tifffile

            def tiff(data):
                with tifffile.TiffFile(io.BytesIO(data)) as t:
                    shape = t.pages[0].shape
                return (shape[1], shape[0])

            found["tifffile"] = tiff
        except ImportError:
            pass
    return found


def timed(read, data, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        read(data)
    return (time.perf_counter() - start) / repeat * 1e6


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--repeat", type=int, default=2000)
    args = p.parse_args()
    warnings.simplefilter("ignore")
    print(f"{'format':8s} {'reader':22s} {'answer':14s} {'us/call':>9s}")
    for ext in EXTENSIONS:
        data = sample(ext)
        if data is None:
            print(f"{ext:8s} (no encoder in this OpenCV)")
            continue
        decoded = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
        truth = (decoded.shape[1], decoded.shape[0]) if decoded is not None else None
        for name, read in readers(ext).items():
            try:
                size = read(data)
            except Exception as exc:  # noqa: BLE001 - a library that cannot read it is the answer
                print(f"{ext:8s} {name:22s} {type(exc).__name__:14s}")
                continue
            verdict = "right" if size == truth and size is not None else f"{size}"
            print(f"{ext:8s} {name:22s} {verdict:14s} {timed(read, data, max(1, args.repeat // 10)):9.1f}")
    bomb = png_declaring(30000, 30000)
    print(f"\nPNG of {len(bomb)} bytes declaring 30000 x 30000 (900 megapixels):")
    for name, read in readers(".png").items():
        tracemalloc.start()
        t0 = time.perf_counter()
        size = read(bomb)
        seconds = time.perf_counter() - t0
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"  {name:22s} size {size}, {seconds * 1e6:.0f} us, peak {peak / 1024:.0f} KiB, "
              f"{timed(read, bomb, args.repeat):.1f} us/call over {args.repeat}")


if __name__ == "__main__":
    main()
