"""Tile-by-tile filtering with bounded working memory.

Each tile is filtered together with ``pad_w`` pixels of context on every side.
The filter mirrors that block again itself, but a pixel of the tile is at least
``pad_w`` away from the block's edge, so its window only ever reads the block's
interior - which holds exactly the image values (or, at the image's own border,
exactly the mirrored values) that the whole-image call reads.  The result is
therefore bit-identical to ``filt.joint_bilateral_filter(img, guidance)``.
"""

from __future__ import annotations

import mmap
import os
from typing import Any, Iterator, Optional, Tuple, Union

import numpy as np

from ._border import check_pair, filter_one_block, pad_width_of, take_block, window_index

TileSize = Union[int, Tuple[int, int]]

DEFAULT_TILE = 256


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


def _check_out(out: Any, shape: Tuple[int, int, int], img: Any, guidance: Any) -> None:
    if tuple(out.shape) != shape:
        raise ValueError(f"out must have shape {shape}, got {tuple(out.shape)}")
    if out.dtype != np.uint8:
        raise ValueError(f"out must have dtype uint8 (the filter's output), got {out.dtype}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    # Tiles read their neighbours' pixels as context; writing into the input
    # would feed already-filtered pixels into later tiles and silently corrupt them.
    for name, src in (("img", img), ("guidance", guidance)):
        if np.may_share_memory(out, src) or _same_file(out, src):
            raise ValueError(f"out must not share memory (or a file) with {name}")


def filter_tiled(
    filt: Any,
    img: Any,
    guidance: Any,
    tile: TileSize = DEFAULT_TILE,
    out: Optional[np.ndarray] = None,
    *,
    progress: Any = None,
) -> np.ndarray:
    """Filter ``img`` under ``guidance`` tile by tile; same result as the whole-image call.

    Parameters
    ----------
    filt:
        A ``Sovelk.Joint_bilateral_filter``.
    img, guidance:
        Arrays of shape (h, w, ch) and (h, w) or (h, w, c), as for
        ``filt.joint_bilateral_filter``.  Numpy memmaps work: only the block
        around the current tile is read.
    tile:
        Tile side in pixels, or a (rows, cols) pair.  Working memory is that of
        one filter call on a (rows + 2*pad_w) x (cols + 2*pad_w) block.
    out:
        Optional uint8 array of shape (h, w, ch) to write into, for example a
        memmap from ``np.lib.format.open_memmap``; it must not overlap the inputs.
    progress:
        Optional callable taking the number of finished tiles, e.g. a tqdm bar's
        ``update``; called once per tile.

    Returns ``out`` (a new array if none was given).
    """
    h, w, ch = check_pair(img, guidance)
    pad = pad_width_of(filt)
    th, tw = _tile_shape(tile)
    if out is None:
        out = np.empty((h, w, ch), dtype=np.uint8)
    else:
        _check_out(out, (h, w, ch), img, guidance)

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
        if progress is not None:
            progress(1)
        if c1 == w:
            # End of a band of tiles: let go of the mapped pages it touched,
            # or a disk-to-disk run would keep every page of all three files
            # resident and its memory would grow with the image after all.
            for arr in (out, img, guidance):
                _release_pages(arr)

    return _flushed(out)


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
