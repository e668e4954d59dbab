"""Tile-by-tile filtering with bounded working memory.

Two filters can drive it.  ``joint_bilateral`` filters each tile as a ``region`` of the whole
image: the windows read the image around the tile and the border only beyond the image, so the
tiles together are the whole-image result bit for bit, for every dtype and border mode, and
nothing but the tile's own pixels is computed.

A ``Sovelk.Joint_bilateral_filter`` object takes whole arrays only, so each tile is filtered
together with ``pad_w`` pixels of context on every side.  The filter mirrors that block again
itself, but a pixel of the tile is at least ``pad_w`` away from the block's edge, so its window
only ever reads the block's interior - which holds exactly the image values (or, at the image's
own border, exactly the mirrored values) that the whole-image call reads.  The result is
therefore bit-identical to ``filt.joint_bilateral_filter(img, guidance)``.
"""

from __future__ import annotations

import mmap
import os
from typing import Any, Callable, Dict, Iterator, Optional, Protocol, Tuple, Union, overload

import numpy as np

from ._border import axis_windows, check_pair, filter_one_block, pad_width_of, take_block, window_index
from .function import DTYPES, _sigmas, joint_bilateral
from .npyfile import read_rows
from .upsample import joint_bilateral_upsample

TileSize = Union[int, Tuple[int, int]]

DEFAULT_TILE = 256

# The options of joint_bilateral that apply to every tile alike; region and output are the tiles'.
FUNCTION_OPTIONS = ("sigma_s", "sigma_r", "mode", "cval", "guidance_cval", "rounding")
# joint_bilateral_upsample's.
UPSAMPLE_OPTIONS = FUNCTION_OPTIONS + ("hole",)


class FilterObject(Protocol):
    """What ``filter_tiled`` needs of a ``Sovelk.Joint_bilateral_filter``."""

    pad_w: int

    def joint_bilateral_filter(self, img: Any, guidance: Any) -> np.ndarray: ...


def _tile_shape(tile: TileSize) -> Tuple[int, int]:
    if isinstance(tile, (bool, np.bool_)):
        raise TypeError("tile must be an int or a (rows, cols) pair, not a bool")
    if isinstance(tile, (int, np.integer)):
        th = tw = int(tile)
    else:
        try:
            th, tw = (int(t) for t in tile)
        except (TypeError, ValueError):
            raise TypeError(f"tile must be an int or a (rows, cols) pair, got {tile!r}") from None
    if th < 1 or tw < 1:
        raise ValueError(f"tile sides must be at least 1, got {(th, tw)}")
    return th, tw


def iter_tiles(h: int, w: int, tile: TileSize) -> Iterator[Tuple[int, int, int, int]]:
    """Yield (r0, r1, c0, c1) for the tiles covering an h x w image, row by row."""
    th, tw = _tile_shape(tile)
    for r0 in range(0, h, th):
        for c0 in range(0, w, tw):
            yield r0, min(r0 + th, h), c0, min(c0 + tw, w)


def tile_count(h: int, w: int, tile: TileSize) -> int:
    th, tw = _tile_shape(tile)
    return (-(-h // th)) * (-(-w // tw))


def _same_file(a: Any, b: Any) -> bool:
    fa, fb = getattr(a, "filename", None), getattr(b, "filename", None)
    if not fa or not fb:
        return False
    try:
        return os.path.samefile(fa, fb)
    except OSError:
        return False


def _check_out(out: Any, shape: Tuple[int, ...], img: Any, guidance: Any, dtypes: Tuple[np.dtype, ...]) -> None:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy array (or memmap), not {type(out).__name__}")
    if tuple(out.shape) != shape:
        raise ValueError(f"out must have shape {shape}, got {tuple(out.shape)}")
    if out.dtype not in dtypes:
        accepted = ", ".join(d.name for d in dtypes)
        raise ValueError(f"out must have dtype {accepted}, got {out.dtype}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    # Tiles read their neighbours' pixels as context; writing into the input
    # would feed already-filtered pixels into later tiles and silently corrupt them.
    for name, src in (("img", img), ("guidance", guidance)):
        if src is None:
            continue
        if np.may_share_memory(out, src) or _same_file(out, src):
            raise ValueError(f"out must not share memory (or a file) with {name}")


@overload
def filter_tiled(
    filt: FilterObject,
    img: Any,
    guidance: Any,
    tile: TileSize = ...,
    out: Optional[np.ndarray] = ...,
    *,
    progress: Optional[Callable[[int], Any]] = ...,
) -> np.ndarray: ...


@overload
def filter_tiled(
    filt: Callable[..., np.ndarray],
    img: Any,
    guidance: Any,
    tile: TileSize = ...,
    out: Optional[np.ndarray] = ...,
    *,
    sigma_s: float,
    sigma_r: float,
    mode: str = ...,
    cval: float = ...,
    guidance_cval: int = ...,
    rounding: str = ...,
    hole: Optional[float] = ...,
    progress: Optional[Callable[[int], Any]] = ...,
) -> np.ndarray: ...


def filter_tiled(
    filt: Any,
    img: Any,
    guidance: Any,
    tile: TileSize = DEFAULT_TILE,
    out: Optional[np.ndarray] = None,
    *,
    progress: Optional[Callable[[int], Any]] = None,
    **options: Any,
) -> np.ndarray:
    """Filter ``img`` under ``guidance`` tile by tile; same result as the whole-image call.

    Two ways to call it::

        filter_tiled(joint_bilateral, img, guidance, tile=512, out=out,
                     sigma_s=3, sigma_r=0.1, mode="mirror")        # the function, any dtype
        filter_tiled(Sovelk.Joint_bilateral_filter(3, 0.1), img, guidance, tile=512, out=out)
        filter_tiled(joint_bilateral_upsample, low, guidance, tile=512, out=out,
                     sigma_s=1, sigma_r=0.1, hole=0)                # tiles of the guidance's size

    Parameters
    ----------
    filt:
        ``sovelk_tools.joint_bilateral``, ``sovelk_tools.joint_bilateral_upsample`` (``img`` is
        then its low image, and the tiles and ``out`` have the guidance's height and width), or
        a ``Sovelk.Joint_bilateral_filter`` object.
    img, guidance:
        With the function: what it takes (an image of shape (h, w) or (h, w, c) of uint8,
        uint16, int16, int32, float32 or float64, and a guidance of the same h and w and any of
        those dtypes, or None for the image itself); the result equals
        ``joint_bilateral(img, guidance, **options)`` bit for bit.  With the
        object: arrays of shape (h, w, ch) and (h, w) or (h, w, c); the result equals
        ``filt.joint_bilateral_filter(img, guidance)``.  Numpy memmaps work: only the rows and
        columns the current tile's windows reach are read.
    tile:
        Tile side in pixels, or a (rows, cols) pair.  With the function a tile's call holds
        its tile of output and rows of the window per worker thread; with the object, the
        memory of one filter call on a (rows + 2*pad_w) x (cols + 2*pad_w) block.
    out:
        Optional array of the result's shape to write into, for example a memmap from
        ``np.lib.format.open_memmap``; it must not overlap the inputs.  With the function its
        dtype is the result's (any the function writes; a new array takes the image's dtype);
        with the object it is uint8.  Should a tile fail (NaN in a float image), the tiles
        before it have been written.
    sigma_s, sigma_r, mode, cval, guidance_cval, rounding, hole:
        With the functions only, and as they take them (sigma_s and sigma_r are required; hole
        with ``joint_bilateral_upsample`` only); the object carries its own sigmas.
    progress:
        Optional callable taking the number of finished tiles, e.g. a tqdm bar's
        ``update``; called once per tile.

    Returns ``out`` (a new array if none was given).
    """
    if filt is joint_bilateral or filt is joint_bilateral_upsample:
        return _tiled_function(filt, img, guidance, _tile_shape(tile), out, progress, options)
    if options:
        raise TypeError(
            f"filter_tiled() takes {', '.join(sorted(options))} only with joint_bilateral as its "
            "first argument; a Joint_bilateral_filter object carries its own sigmas"
        )
    if guidance is None:
        raise TypeError("filter_tiled() guides an image by itself (guidance None) with joint_bilateral only")
    h, w, ch = check_pair(img, guidance)
    pad = pad_width_of(filt)
    th, tw = _tile_shape(tile)
    if out is None:
        out = np.empty((h, w, ch), dtype=np.uint8)
    else:
        _check_out(out, (h, w, ch), img, guidance, (np.dtype(np.uint8),))

    if h <= th and w <= tw:
        out[...] = filter_one_block(filt, img, guidance)
        if progress is not None:
            progress(1)
        return _flushed(out)

    for r0, r1, c0, c1 in iter_tiles(h, w, (th, tw)):
        rows = window_index(r0, r1, pad, h)
        cols = window_index(c0, c1, pad, w)
        block = filter_one_block(filt, take_block(img, rows, cols), take_block(guidance, rows, cols))
        out[r0:r1, c0:c1] = block[pad : pad + (r1 - r0), pad : pad + (c1 - c0)]
        _tile_done(progress, c1 == w, (out, img, guidance))
    return _flushed(out)


def _tiled_function(
    call: Callable[..., np.ndarray],
    img: Any,
    guidance: Any,
    tile: Tuple[int, int],
    out: Optional[np.ndarray],
    progress: Optional[Callable[[int], Any]],
    options: Dict[str, Any],
) -> np.ndarray:
    accepted = UPSAMPLE_OPTIONS if call is joint_bilateral_upsample else FUNCTION_OPTIONS
    unknown = sorted(set(options) - set(accepted))
    if unknown:
        raise TypeError(
            f"filter_tiled() got unexpected option(s) {', '.join(unknown)}; with {call.__name__} it "
            f"takes {', '.join(accepted)} (region and output are the tiles')"
        )
    missing = [name for name in ("sigma_s", "sigma_r") if name not in options]
    if missing:
        raise TypeError(f"filter_tiled({call.__name__}, ...) needs {' and '.join(missing)}")
    img = img if isinstance(img, np.ndarray) else np.asarray(img)
    # A call on no pixels checks every argument in the function's own words before any tile
    # is written, and gives the result's dtype.
    empty = call(img, guidance, region=np.s_[0:0, 0:0], **options)
    # Upsampling's result has the guidance's height and width.
    shape = tuple(np.shape(guidance)[:2]) + img.shape[2:] if call is joint_bilateral_upsample else img.shape
    h, w = shape[:2]
    if out is None:
        out = np.empty(shape, dtype=empty.dtype)
    else:
        _check_out(out, shape, img, guidance, DTYPES)
    for r0, r1, c0, c1 in iter_tiles(h, w, tile):
        call(img, guidance, region=np.s_[r0:r1, c0:c1], output=out[r0:r1, c0:c1], **options)
        _tile_done(progress, c1 == w, (out, img, guidance))
    return _flushed(out)


def filter_in_bands(
    img: Any,
    guidance: Any,
    tile: TileSize,
    out: np.ndarray,
    progress: Optional[Callable[[int], Any]] = None,
    **options: Any,
) -> np.ndarray:
    """``filter_tiled(joint_bilateral, ...)`` for inputs read a band of rows at a time: numpy
    arrays, or NpyReaders of .npy files, which are then read by plain reads, never mapped.

    Each band of tile rows is read whole-width with the window's reach of rows around it (from
    the image's other side in wrap mode), as filter_dask reads a chunk's window, and its tiles
    are filtered as regions of that band: bit for bit the whole-image result. ``tile`` 0 reads
    the whole image at once. ``out`` receives the result; options are joint_bilateral's.
    """
    h, w = img.shape[:2]
    th, tw = (h, w) if tile == 0 else _tile_shape(tile)
    pad = _sigmas(options["sigma_s"], options["sigma_r"])[2]
    starts = range(0, h, th)
    bands = axis_windows([min(th, h - r0) for r0 in starts], pad, options.get("mode") == "wrap")
    for r0, (runs, rows) in zip(starts, bands):
        band_img = read_rows(img, runs)
        band_guidance = None if guidance is None else read_rows(guidance, runs)
        r1 = min(r0 + th, h)
        for c0 in range(0, w, tw):
            c1 = min(c0 + tw, w)
            joint_bilateral(band_img, band_guidance, region=(rows, slice(c0, c1)), output=out[r0:r1, c0:c1],
                            **options)
            _tile_done(progress, c1 == w, (out,))
    return _flushed(out)


def _tile_done(progress: Optional[Callable[[int], Any]], band_ends: bool, arrays: Tuple[Any, ...]) -> None:
    if progress is not None:
        progress(1)
    if band_ends:
        # Let go of the mapped pages the band of tiles touched, or a disk-to-disk run would
        # keep every page of all three files resident and its memory would grow with the
        # image after all.
        for arr in arrays:
            _release_pages(arr)


def _file_mapping(arr: Any) -> Optional[mmap.mmap]:
    """The mmap object under a numpy memmap (or a view of one), found through ``base``."""
    base = arr
    while base is not None and not isinstance(base, mmap.mmap):
        base = getattr(base, "base", None)
    return base


def _release_pages(arr: Any) -> None:
    """Drop the resident pages of a shared file mapping; the file keeps the data.

    Only shared mappings ('r', 'r+', 'w+') qualify: the pages of a
    copy-on-write map ('c') may hold changes that exist nowhere else.
    """
    if not isinstance(arr, np.memmap) or arr.mode not in ("r", "r+", "w+"):
        return
    mm = _file_mapping(arr)
    advice = getattr(mmap, "MADV_DONTNEED", None)
    if mm is None or advice is None or not hasattr(mm, "madvise"):
        return
    try:
        if arr.mode != "r":
            arr.flush()
        mm.madvise(advice)
    except (OSError, ValueError):
        pass  # a closed or unusual mapping: keeping the pages is harmless


def _flushed(out: np.ndarray) -> np.ndarray:
    flush = getattr(out, "flush", None)
    if callable(flush):
        flush()
    return out
