"""Lazy, chunk-parallel filtering of dask arrays.

Every output chunk is one filter call on its window: the chunk with ``pad_w`` pixels of context
on each side, cut to the image.  As in the tiled path, the filter's own mirroring of that window
never reaches the chunk's pixels where the window has context, and where the window stops at the
image's edge its mirroring is the whole image's: the window then reaches ``pad_w`` pixels or more
into the image from that edge, or spans the whole axis.  So the result is bit-identical to the
whole-image call, for any chunking, and a chunk that is the whole image is the whole-image call.

The graph is built here rather than with ``map_overlap``: each input chunk that borders another
chunk's window gives one task, its frame (its margins ``pad_w`` wide, image and guidance
together), and each output chunk is one task that takes its parts from its neighbours' frames,
joins them to its own chunk and filters.  Worker processes then exchange only margins, in two
tasks per chunk where ``map_overlap`` made seventeen for two arrays (a slice per neighbour, a join
and trims, per array): each task costs a round trip through the scheduler.
"""

from __future__ import annotations

import bisect
import itertools
from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np

from ._border import check_pair, filter_one_block, pad_width_of

# Along one axis, a chunk's window: its pieces (input chunk index, slice within that chunk) and
# where the chunk itself lies within the window.
AxisWindow = Tuple[List[Tuple[int, slice]], slice]


def axis_windows(chunks: Sequence[int], pad: int) -> List[AxisWindow]:
    """For each chunk along an axis, the pieces of input chunks its window is made of.

    Chunk k spans [start, stop); its window spans [start - pad, stop + pad) cut to the axis, and
    may take in several neighbouring chunks where they are narrower than ``pad``.
    """
    bounds = np.concatenate([[0], np.cumsum(chunks)]).astype(int).tolist()
    n = bounds[-1]
    windows = []
    for k in range(len(chunks)):
        lo, hi = max(bounds[k] - pad, 0), min(bounds[k + 1] + pad, n)
        pieces = [(j, slice(max(lo, bounds[j]) - bounds[j], min(hi, bounds[j + 1]) - bounds[j]))
                  for j in range(bisect.bisect_right(bounds, lo) - 1, bisect.bisect_left(bounds, hi))]
        windows.append((pieces, slice(bounds[k] - lo, bounds[k + 1] - lo)))
    return windows


def _frame(pad: int, *blocks: np.ndarray) -> Tuple[Tuple[np.ndarray, ...], ...]:
    """A chunk's margins, for each array: its first and last ``pad`` rows (full width) and its
    first and last ``pad`` columns (full height): sides 0 to 3.

    Copied, so that only these margins, not the whole chunk they are views of, travel to the
    workers that filter the neighbouring windows."""
    return tuple((np.ascontiguousarray(b[:pad]), np.ascontiguousarray(b[max(b.shape[0] - pad, 0):]),
                  np.ascontiguousarray(b[:, :pad]), np.ascontiguousarray(b[:, max(b.shape[1] - pad, 0):]))
                 for b in blocks)


def _from_frame(frame: Tuple[Tuple[np.ndarray, ...], ...], side: int, rows: slice,
                cols: slice) -> Tuple[np.ndarray, ...]:
    return tuple(sides[side][rows, cols] for sides in frame)


def _from_chunks(rows: slice, cols: slice, *blocks: np.ndarray) -> Tuple[np.ndarray, ...]:
    return tuple(b[rows, cols] for b in blocks)


def _piece(frame_key: Any, chunk_keys: List[Any], n: int, m: int, rows: slice, cols: slice,
           pad: int) -> Any:
    """The task, run inside the window's own task, that takes the part (rows, cols) of an n x m
    chunk: from one side of the chunk's frame where it lies there, else from the chunk itself."""
    if (rows.start, rows.stop, cols.start, cols.stop) == (0, n, 0, m):
        return chunk_keys  # the whole chunk: nothing to cut or copy
    top, left = max(n - pad, 0), max(m - pad, 0)
    if rows.stop <= pad:
        return (_from_frame, frame_key, 0, rows, cols)
    if rows.start >= top:
        return (_from_frame, frame_key, 1, slice(rows.start - top, rows.stop - top), cols)
    if cols.stop <= pad:
        return (_from_frame, frame_key, 2, rows, cols)
    if cols.start >= left:
        return (_from_frame, frame_key, 3, rows, slice(cols.start - left, cols.stop - left))
    return (_from_chunks, rows, cols, *chunk_keys)


def _join(grid: List[List[Sequence[np.ndarray]]], which: int) -> np.ndarray:
    rows = [np.concatenate([piece[which] for piece in row], axis=1) if len(row) > 1 else row[0][which]
            for row in grid]
    return np.concatenate(rows, axis=0) if len(rows) > 1 else rows[0]


def _filter_window(filt: Any, gray: bool, grid: List[List[Sequence[np.ndarray]]], rows: slice,
                   cols: slice) -> np.ndarray:
    img, guidance = _join(grid, 0), _join(grid, 1)
    # The gray guidance travels as (h, w, 1) so that its chunks line up with the image's; the
    # filter wants it two-dimensional again.
    out = filter_one_block(filt, img, guidance[:, :, 0] if gray else guidance)
    return out if out.shape[:2] == (rows.stop - rows.start, cols.stop - cols.start) else out[rows, cols]


def _window_graph(name: str, block_call: Callable[..., Any], arrays: Sequence[Any],
                  pad: int) -> Dict[Any, Any]:
    """Tasks that call ``block_call(grid, rows, cols)`` on each chunk's window of ``arrays``
    (same chunks, one chunk along axis 2). ``grid`` holds the window's pieces row by row, each a
    sequence of all arrays' pieces; ``rows`` and ``cols`` say where the chunk lies in the window.

    Each chunk that lends a part to another chunk's window gives one task, its frame; each window
    is one task that takes its parts from the frames of its neighbours and its own chunk whole."""
    first = arrays[0]
    row_windows, col_windows = (axis_windows(first.chunks[axis], pad) for axis in (0, 1))
    graph: Dict[Any, Any] = {}
    for i, j in itertools.product(range(first.numblocks[0]), range(first.numblocks[1])):
        (row_pieces, rows), (col_pieces, cols) = row_windows[i], col_windows[j]
        grid = []
        for bi, piece_rows in row_pieces:
            row = []
            for bj, piece_cols in col_pieces:
                chunk_keys = [(a.name, bi, bj, 0) for a in arrays]
                frame_key = (f"{name}-frame", bi, bj)
                piece = _piece(frame_key, chunk_keys, first.chunks[0][bi], first.chunks[1][bj],
                               piece_rows, piece_cols, pad)
                if isinstance(piece, tuple) and piece[0] is _from_frame:
                    graph[frame_key] = (_frame, pad, *chunk_keys)
                row.append(piece)
            grid.append(row)
        graph[(name, i, j, 0)] = (block_call, grid, rows, cols)
    return graph


def filter_dask(filt: Any, img: Any, guidance: Any) -> Any:
    """Return a lazy dask array equal to ``filt.joint_bilateral_filter(img, guidance)``.

    ``img`` (h, w, ch) and ``guidance`` (h, w) or (h, w, c) may be dask arrays or anything
    ``dask.array.asarray`` accepts.  The guidance is rechunked to the image's chunks and channels
    are kept in one chunk; the result has the image's chunks.  ``filt`` is pickled into the task
    graph, so the computation runs on threads, processes or a distributed cluster alike.

    Each chunk costs one filter call on a (chunk + 2*pad_w) window: size chunks by what one such
    call may use.
    """
    import functools

    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    img = da.asarray(img)
    guidance = da.asarray(guidance)
    check_pair(img, guidance)
    pad = pad_width_of(filt)

    gray = guidance.ndim == 2
    if gray:
        guidance = guidance[:, :, None]
    img = img.rechunk({2: -1})
    guidance = guidance.rechunk((img.chunks[0], img.chunks[1], -1))

    name = "sovelk-filter-" + tokenize(filt, img, guidance)
    block_call = functools.partial(_filter_window, filt, gray)
    layer = _window_graph(name, block_call, (img, guidance), pad)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[img, guidance])
    return da.Array(graph, name, chunks=img.chunks, dtype=np.uint8, meta=np.empty((0, 0, 0), dtype=np.uint8))
