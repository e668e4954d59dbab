"""What an input file is: ``.npy`` by its name, images by their signature, and the size a header declares.

The size is read from the header before anything is decoded: a few hundred
kilobytes of PNG can declare 900 megapixels (a decompression bomb), and a
decoder asked for them takes gigabytes and minutes before it can fail.  The
parsers read only the fields they need, with every offset checked, and answer
None where a header is not what they expect; the decoder then judges the file.
"""

from __future__ import annotations

import os
import re
import struct
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

NPY = ".npy"

# The most pixels an input may declare unless --max-pixels says otherwise: a
# 16384 x 16384 image, whose 8-bit colour pixels alone take 768 MiB.
DEFAULT_MAX_PIXELS = 1 << 28

# Enough of a file's start to recognise every signature below.
HEAD_BYTES = 64

Size = Tuple[int, int]  # (width, height)


def is_npy(path: str) -> bool:
    return os.path.splitext(path)[1].lower() == NPY


def _unpack(fmt: str, data: bytes, offset: int) -> Tuple[Any, ...]:
    if offset < 0 or offset + struct.calcsize(fmt) > len(data):
        raise struct.error("past the end of the header")
    return struct.unpack_from(fmt, data, offset)


def _png(d: bytes) -> Optional[Size]:
    if d[12:16] != b"IHDR":
        return None
    w, h = _unpack(">II", d, 16)
    return w, h


# JPEG markers that stand alone, without a length: TEM, RST0-7, SOI.
_JPEG_STANDALONE = {0x01, *range(0xD0, 0xD8), 0xD8}
# Start-of-frame markers; C4 (DHT), C8 (JPG) and CC (DAC) share the range but are not frames.
_JPEG_FRAMES = set(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def _jpeg(d: bytes) -> Optional[Size]:
    i = 2
    while i + 1 < len(d):
        if d[i] != 0xFF:
            return None
        marker = d[i + 1]
        if marker == 0xFF:  # fill byte
            i += 1
        elif marker in _JPEG_STANDALONE:
            i += 2
        elif marker in (0xD9, 0xDA):  # end of image, or scan data before any frame header
            return None
        elif marker in _JPEG_FRAMES:
            h, w = _unpack(">HH", d, i + 5)
            return (w, h) if h else None  # height 0: a later DNL marker sets it
        else:
            i += 2 + _unpack(">H", d, i + 2)[0]
    return None


# TIFF field types that can hold a width or height, by the struct code of one value: libtiff
# reads the sides from any integer type, signed ones too (SBYTE, SSHORT, SLONG, SLONG8).
_TIFF_TYPES = {1: "B", 3: "H", 4: "I", 16: "Q", 6: "b", 8: "h", 9: "i", 17: "q"}
# Entries read at the most from the first directory: width and height come early.
_TIFF_MAX_ENTRIES = 4096


def _tiff(d: bytes) -> Optional[Size]:
    order = "<" if d[:2] == b"II" else ">"
    big = _unpack(order + "H", d, 2)[0] == 43
    if big:
        ifd = _unpack(order + "Q", d, 8)[0]
        count, first, entry, value_at = _unpack(order + "Q", d, ifd)[0], ifd + 8, 20, 12
    else:
        ifd = _unpack(order + "I", d, 4)[0]
        count, first, entry, value_at = _unpack(order + "H", d, ifd)[0], ifd + 2, 12, 8
    found: Dict[int, int] = {}
    for k in range(min(count, _TIFF_MAX_ENTRIES)):
        at = first + k * entry
        tag, kind = _unpack(order + "HH", d, at)
        if tag in (256, 257) and kind in _TIFF_TYPES:
            found[tag] = _unpack(order + _TIFF_TYPES[kind], d, at + value_at)[0]
        if len(found) == 2:
            # A negative side is none libtiff takes: the decoder judges the file.
            return (found[256], found[257]) if min(found.values()) >= 0 else None
    return None


def _webp(d: bytes) -> Optional[Size]:
    chunk = d[12:16]
    if chunk == b"VP8X":
        w = int.from_bytes(d[24:27], "little") + 1
        h = int.from_bytes(d[27:30], "little") + 1
        return (w, h) if len(d) >= 30 else None
    if chunk == b"VP8 " and d[23:26] == b"\x9d\x01\x2a":
        w, h = _unpack("<HH", d, 26)
        return w & 0x3FFF, h & 0x3FFF
    if chunk == b"VP8L" and d[20:21] == b"\x2f":
        bits = _unpack("<I", d, 21)[0]
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    return None


def _bmp(d: bytes) -> Optional[Size]:
    if _unpack("<I", d, 14)[0] == 12:  # OS/2 core header: 16-bit sides
        w, h = _unpack("<HH", d, 18)
        return w, h
    w, h = _unpack("<ii", d, 18)
    return abs(w), abs(h)  # a negative height means rows stored top-down


def _gif(d: bytes) -> Optional[Size]:
    w, h = _unpack("<HH", d, 6)
    return w, h


_GAP = rb"(?:\s|#[^\r\n]*[\r\n])+"  # whitespace and comment lines between header fields
_PNM_HEADER = re.compile(rb"\AP[1-6Ff]" + _GAP + rb"(\d{1,12})" + _GAP + rb"(\d{1,12})")


def _pnm(d: bytes) -> Optional[Size]:
    m = _PNM_HEADER.match(d)
    return (int(m.group(1)), int(m.group(2))) if m else None


def _pam(d: bytes) -> Optional[Size]:
    end = d.find(b"ENDHDR")
    header = d[:end] if end >= 0 else b""
    w = re.search(rb"(?m)^[ \t]*WIDTH[ \t]+(\d{1,12})", header)
    h = re.search(rb"(?m)^[ \t]*HEIGHT[ \t]+(\d{1,12})", header)
    return (int(w.group(1)), int(h.group(1))) if w and h else None


def _sun_raster(d: bytes) -> Optional[Size]:
    w, h = _unpack(">II", d, 4)
    return w, h


_HDR_RESOLUTION = re.compile(rb"\n\n([-+])([XY])[ \t]+(\d{1,12})[ \t]+([-+])([XY])[ \t]+(\d{1,12})")


def _radiance(d: bytes) -> Optional[Size]:
    m = _HDR_RESOLUTION.search(d)  # the line after the header's empty line
    if not m or m.group(2) == m.group(5):
        return None
    first, second = int(m.group(3)), int(m.group(6))
    return (second, first) if m.group(2) == b"Y" else (first, second)


def _j2k_codestream(d: bytes, at: int) -> Optional[Size]:
    if d[at : at + 4] != b"\xff\x4f\xff\x51":
        return None
    x, y, x0, y0 = _unpack(">IIII", d, at + 8)
    return max(0, x - x0), max(0, y - y0)


def _boxes(d: bytes, start: int, end: int) -> List[Tuple[bytes, int, int]]:
    """The ISO base media boxes between ``start`` and ``end``: (type, content start, box end)."""
    found: List[Tuple[bytes, int, int]] = []
    at = start
    while at + 8 <= end and len(found) < 256:
        size, kind = _unpack(">I4s", d, at)
        content = at + 8
        if size == 1:
            size, content = _unpack(">Q", d, at + 8)[0], at + 16
        elif size == 0:
            size = end - at
        if size < content - at:
            break
        found.append((kind, content, min(end, at + size)))
        at += size
    return found


# Boxes whose children follow a version and flags field.
_FULL_BOXES = {b"meta"}


def _box_contents(d: bytes, start: int, end: int, path: Tuple[bytes, ...]) -> Iterator[Tuple[int, int]]:
    """The (start, end) of the contents of every box reached by ``path``, box types from the outside in."""
    if not path:
        yield start, end
        return
    for kind, content, box_end in _boxes(d, start, end):
        if kind == path[0]:
            skip = 4 if kind in _FULL_BOXES else 0
            yield from _box_contents(d, content + skip, box_end, path[1:])


def _jpeg2000(d: bytes) -> Optional[Size]:
    if d[:2] == b"\xff\x4f":
        return _j2k_codestream(d, 0)
    for at, _ in _box_contents(d, 0, len(d), (b"jp2h", b"ihdr")):
        h, w = _unpack(">II", d, at)
        return w, h
    return None


def _avif(d: bytes) -> Optional[Size]:
    # Every image item (the picture, its alpha plane, the tiles of a grid)
    # declares its extent; the largest bounds what the decoder allocates.
    sides = [_unpack(">II", d, at + 4) for at, _ in _box_contents(d, 0, len(d), (b"meta", b"iprp", b"ipco", b"ispe"))]
    if not sides:
        return None
    w, h = max(sides, key=lambda s: s[0] * s[1])
    return w, h


def _openexr(d: bytes) -> Optional[Size]:
    at = 8  # magic number and version
    for _ in range(1024):
        name_end = d.find(b"\0", at)
        if name_end <= at:  # an empty name ends the header
            return None
        type_end = d.find(b"\0", name_end + 1)
        if type_end < 0:
            return None
        size = _unpack("<I", d, type_end + 1)[0]
        value = type_end + 5
        if d[at:name_end] == b"dataWindow" and d[name_end + 1 : type_end] == b"box2i":
            x0, y0, x1, y1 = _unpack("<iiii", d, value)
            return max(0, x1 - x0 + 1), max(0, y1 - y0 + 1)
        at = value + size
    return None


def _no_size(d: bytes) -> Optional[Size]:
    return None  # the decoder's own limit applies


# (name, extension OpenCV knows it by, signature test, size parser)
_FORMATS: List[Tuple[str, str, Callable[[bytes], bool], Callable[[bytes], Optional[Size]]]] = [
    ("PNG", ".png", lambda h: h.startswith(b"\x89PNG\r\n\x1a\n"), _png),
    ("JPEG", ".jpg", lambda h: h.startswith(b"\xff\xd8\xff"), _jpeg),
    ("TIFF", ".tif", lambda h: h[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"), _tiff),
    ("WebP", ".webp", lambda h: h[:4] == b"RIFF" and h[8:12] == b"WEBP", _webp),
    ("BMP", ".bmp", lambda h: h.startswith(b"BM"), _bmp),
    ("GIF", ".gif", lambda h: h[:6] in (b"GIF87a", b"GIF89a"), _gif),
    ("PNM", ".pnm", lambda h: re.match(rb"P[1-6]\s", h) is not None, _pnm),
    ("PAM", ".pam", lambda h: re.match(rb"P7\s", h) is not None, _pam),
    ("PFM", ".pfm", lambda h: re.match(rb"P[Ff]\s", h) is not None, _pnm),
    ("Sun raster", ".ras", lambda h: h.startswith(b"\x59\xa6\x6a\x95"), _sun_raster),
    ("OpenEXR", ".exr", lambda h: h.startswith(b"\x76\x2f\x31\x01"), _openexr),
    ("Radiance HDR", ".hdr", lambda h: h.startswith((b"#?RADIANCE", b"#?RGBE")), _radiance),
    ("JPEG 2000", ".jp2", lambda h: h.startswith((b"\0\0\0\x0cjP  \r\n\x87\n", b"\xff\x4f\xff\x51")), _jpeg2000),
    ("AVIF", ".avif", lambda h: h[4:8] == b"ftyp" and h[8:12] in (b"avif", b"avis"), _avif),
    ("JPEG XL", ".jxl", lambda h: h.startswith((b"\xff\x0a", b"\0\0\0\x0cJXL \r\n\x87\n")), _no_size),
]


def identify(head: bytes) -> Optional[Tuple[str, str]]:
    """The format a file's first bytes announce: (name, extension), or None."""
    for name, ext, matches, _ in _FORMATS:
        if matches(head[:HEAD_BYTES]):
            return name, ext
    return None


def declared_size(data: bytes) -> Optional[Size]:
    """The (width, height) that an image file's header declares, or None where it cannot be read."""
    for _, _, matches, parse in _FORMATS:
        if matches(data[:HEAD_BYTES]):
            try:
                return parse(data)
            except struct.error:
                return None
    return None
