"""Lazy, chunk-parallel filtering of dask arrays.

Every output chunk is one filter call on its window: the chunk with the window radius of context
on each side.  Along an axis the window is cut to the image, so that past the image's edge the
filter applies its own border exactly where the whole-image call applies it: a pixel of the chunk
whose window crosses that edge reads the same mirrored, repeated or constant values either way,
since the window then reaches the radius or more into the image from that edge, or spans the
whole axis.  Wrap is the exception, for its context past one edge is the image's other side: the
window is taken across the edge, from the chunks at the other end, unless it spans the whole axis
anyway.  With ``joint_bilateral`` each window is filtered as a ``region`` (only the chunk's pixels
are computed); a ``Sovelk.Joint_bilateral_filter`` filters its whole window and the chunk is cut
out.  So the result is bit-identical to the whole-image call for any chunking, and a chunk that is
the whole image is the whole-image call.

The graph is built here rather than with ``map_overlap``: each input chunk that borders another
chunk's window gives one task, its frame (its margins a radius wide, image and guidance
together), and each output chunk is one task that takes its parts from its neighbours' frames,
joins them to its own chunk and filters.  Worker processes then exchange only margins, in two
tasks per chunk where ``map_overlap`` made seventeen for two arrays (a slice per neighbour, a join
and trims, per array): each task costs a round trip through the scheduler.

Two kinds of input are not made dask arrays at all.  The path of an ``.npy`` file: each window
task reads its own window from the file, so with worker processes no input travels between
processes, only the results.  A numpy array: it is cut into the windows when the graph is built,
and each window travels once, inside its task, to the worker that filters it, rather than chunks
to the workers and then margins between them (fewer and larger transfers, in a quarter of the
tasks); where windows overlap so much that their copies would pass ``MAX_WINDOW_COPIES`` times the
array, it is chunked by dask as before.
"""

from __future__ import annotations

import bisect
import dataclasses
import functools
import inspect
import itertools
import math
import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple, Union, overload

import numpy as np

from ._border import axis_windows, check_pair, filter_one_block, pad_width_of
from .function import _sigmas, joint_bilateral
from .npyfile import NpyError, NpyReader
from .tiled import FilterObject
from .upsample import joint_bilateral_upsample, upsampling_factor

if TYPE_CHECKING:
    import dask.array
    from typing_extensions import Required, TypedDict, Unpack

    class FunctionOptions(TypedDict, total=False):
        """joint_bilateral's options that filter_dask passes on to every chunk."""

        sigma_s: Required[float]
        sigma_r: Required[float]
        mode: str
        cval: float
        guidance_cval: int
        rounding: str
        output: Any

Path = Union[str, "os.PathLike[str]"]

# A numpy input is copied into its windows unless they add up to more than this many times the
# array (small chunks under a wide window), which a graph holding them would keep until computed.
MAX_WINDOW_COPIES = 2.0


def _pieces(runs: List[slice], bounds: List[int]) -> List[Tuple[int, slice]]:
    """The runs split at chunk boundaries: (chunk index, slice within that chunk), in order."""
    return [(j, slice(max(run.start, bounds[j]) - bounds[j], min(run.stop, bounds[j + 1]) - bounds[j]))
            for run in runs
            for j in range(bisect.bisect_right(bounds, run.start) - 1, bisect.bisect_left(bounds, run.stop))]


class NpyFile:
    """An ``.npy`` file that each task reads its own window from, by its absolute path, checked
    against the file as it was when the graph was built."""

    def __init__(self, path: Path, name: str) -> None:
        self.path = os.path.abspath(os.fspath(path))
        self.name = name
        try:
            with NpyReader(self.path) as reader:
                self.header, self.identity = reader.header, reader.identity
        except (OSError, ValueError) as exc:
            reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else exc
            raise ValueError(f"{name}: cannot read {self.path!r} as an .npy array: {reason}") from None
        self.shape: Tuple[int, ...] = self.header.shape
        self.dtype = self.header.dtype
        self.ndim = len(self.shape)
        # A file rewritten between two graphs must not give the same task names, or a cluster
        # that still holds the first graph's results would hand them out again.
        self.token = (self.path, *dataclasses.astuple(self.identity))

    def read(self, row_runs: List[slice], col_runs: List[slice]) -> np.ndarray:
        """The window, read from the file by plain reads (a mapped file that shrinks would end
        the worker with SIGBUS). RuntimeError where the file is no longer the one the graph was
        built from: its tasks would otherwise mix two files' pixels, or another dtype's."""
        changed = (f"{self.name}: {self.path!r} changed after filter_dask built the graph (its size, "
                   "modification time, inode or header differ); build the graph again")
        try:
            with NpyReader(self.path) as reader:
                if reader.identity != self.identity or reader.header != self.header:
                    raise RuntimeError(changed)
                return _join([[reader.block(rows, cols) for cols in col_runs] for rows in row_runs])
        except (OSError, NpyError) as exc:
            raise RuntimeError(f"{changed}: {exc}") from None

    def template(self) -> np.ndarray:
        """An array of this shape and dtype that takes no memory, for checking arguments."""
        return np.broadcast_to(np.zeros((), self.dtype), self.shape)


def _read_window(source: NpyFile, row_runs: List[slice], col_runs: List[slice]) -> np.ndarray:
    return source.read(row_runs, col_runs)


def _window_copy(array: np.ndarray, row_runs: List[slice], col_runs: List[slice]) -> np.ndarray:
    """The window, copied: the graph must not see later changes to the caller's array."""
    if len(row_runs) == len(col_runs) == 1:
        return np.array(array[row_runs[0], col_runs[0]])
    return _join([[array[rows, cols] for cols in col_runs] for rows in row_runs])


def _chunked(array: Any) -> bool:
    """Whether an input of the graph is a dask array (not a file or a numpy array to cut)."""
    return not isinstance(array, (NpyFile, np.ndarray))


def _frame(pads: Tuple[int, ...], *blocks: np.ndarray) -> Tuple[Tuple[np.ndarray, ...], ...]:
    """A chunk's margins, for each array: its first and last ``pad`` rows (full width) and its
    first and last ``pad`` columns (full height): sides 0 to 3, ``pad`` the array's own of ``pads``.

    Copied, so that only these margins, not the whole chunk they are views of, travel to the
    workers that filter the neighbouring windows."""
    return tuple((np.ascontiguousarray(b[:pad]), np.ascontiguousarray(b[max(b.shape[0] - pad, 0):]),
                  np.ascontiguousarray(b[:, :pad]), np.ascontiguousarray(b[:, max(b.shape[1] - pad, 0):]))
                 for pad, b in zip(pads, blocks))


def _from_frame(frame: Tuple[Tuple[np.ndarray, ...], ...], which: int, side: int, rows: slice,
                cols: slice) -> np.ndarray:
    return frame[which][side][rows, cols]


def _cut(block: np.ndarray, rows: slice, cols: slice) -> np.ndarray:
    return block[rows, cols]


def _piece(frame_key: Any, which: int, chunk_key: Any, n: int, m: int, rows: slice, cols: slice,
           pad: int) -> Any:
    """The task, run inside the window's own task, that takes the part (rows, cols) of an n x m
    chunk: from one side of the chunk's frame where it lies there, else from the chunk itself."""
    if (rows.start, rows.stop, cols.start, cols.stop) == (0, n, 0, m):
        return chunk_key  # the whole chunk: nothing to cut or copy
    top, left = max(n - pad, 0), max(m - pad, 0)
    if rows.stop <= pad:
        return (_from_frame, frame_key, which, 0, rows, cols)
    if rows.start >= top:
        return (_from_frame, frame_key, which, 1, slice(rows.start - top, rows.stop - top), cols)
    if cols.stop <= pad:
        return (_from_frame, frame_key, which, 2, rows, cols)
    if cols.start >= left:
        return (_from_frame, frame_key, which, 3, rows, slice(cols.start - left, cols.stop - left))
    return (_cut, chunk_key, rows, cols)


def _join(grid: List[List[np.ndarray]]) -> np.ndarray:
    rows = [np.concatenate(row, axis=1) if len(row) > 1 else row[0] for row in grid]
    return np.concatenate(rows, axis=0) if len(rows) > 1 else rows[0]


def _object_window(filt: Any, rows: slice, cols: slice, img: np.ndarray, guidance: np.ndarray) -> np.ndarray:
    out = filter_one_block(filt, img, guidance)
    return out if out.shape[:2] == (rows.stop - rows.start, cols.stop - cols.start) else out[rows, cols]


def _function_window(options: Dict[str, Any], rows: slice, cols: slice, img: np.ndarray,
                     guidance: Optional[np.ndarray] = None) -> np.ndarray:
    return joint_bilateral(img, guidance, region=(rows, cols), **options)


def _upsampling_window(options: Dict[str, Any], factor: int, rows: slice, cols: slice, low: np.ndarray,
                       guidance: np.ndarray) -> np.ndarray:
    """The chunk's block of the upsampled window: rows and cols are the low window's."""
    region = (slice(factor * rows.start, factor * rows.stop), slice(factor * cols.start, factor * cols.stop))
    return joint_bilateral_upsample(low, guidance, region=region, **options)


def _chunk_key(array: Any, i: int, j: int) -> Tuple[Any, ...]:
    return (str(array.name), i, j) + (0,) * (int(array.ndim) - 2)


def _window_graph(name: str, block_call: Callable[..., Any], arrays: Sequence[Any],
                  grid_chunks: Tuple[Tuple[int, ...], Tuple[int, ...]], pad: int, wrap: bool,
                  out_ndim: int, scales: Sequence[int] = ()) -> Dict[Any, Any]:
    """Tasks that call ``block_call(rows, cols, *windows)`` on each chunk's window of ``arrays``.

    ``arrays`` are dask arrays chunked as ``grid_chunks`` along rows and columns (one chunk along
    axis 2), ``NpyFile`` sources or numpy arrays; ``rows`` and ``cols`` say where the chunk lies in
    the window. Each chunk that lends a part to another chunk's window gives one task, its frame,
    holding the margins of all dask arrays; each window is one task that takes its parts from the
    frames of its neighbours and its own chunk whole, reads the files' windows itself, and holds
    its windows of the numpy arrays. ``scales`` (1 for each array by default) makes an array
    that many times larger along both axes, its chunks and window too (the guidance of
    upsampling); ``rows`` and ``cols`` are then those of the arrays of scale 1."""
    scales = tuple(scales) or (1,) * len(arrays)

    def layout(scale: int) -> Tuple[Any, ...]:
        chunks = tuple(tuple(scale * c for c in axis) for axis in grid_chunks)
        return (chunks, [axis_windows(c, scale * pad, wrap) for c in chunks],
                [[0, *itertools.accumulate(c)] for c in chunks])

    layouts = {scale: layout(scale) for scale in {1, *scales}}
    row_windows_1, col_windows_1 = layouts[1][1]
    chunked = [(a, scale) for a, scale in zip(arrays, scales) if _chunked(a)]
    frame_pads = tuple(scale * pad for _, scale in chunked)
    graph: Dict[Any, Any] = {}
    for i, j in itertools.product(range(len(grid_chunks[0])), range(len(grid_chunks[1]))):
        rows, cols = row_windows_1[i][1], col_windows_1[j][1]
        windows: List[Any] = []
        which = -1
        for array, scale in zip(arrays, scales):
            chunks, (row_windows, col_windows), (row_bounds, col_bounds) = layouts[scale]
            (row_runs, _), (col_runs, _) = row_windows[i], col_windows[j]
            if isinstance(array, NpyFile):
                windows.append((_read_window, array, row_runs, col_runs))
                continue
            if isinstance(array, np.ndarray):
                windows.append(_window_copy(array, row_runs, col_runs))
                continue
            row_pieces, col_pieces = _pieces(row_runs, row_bounds), _pieces(col_runs, col_bounds)
            which, grid = which + 1, []
            for bi, piece_rows in row_pieces:
                row = []
                for bj, piece_cols in col_pieces:
                    frame_key = (f"{name}-frame", bi, bj)
                    piece = _piece(frame_key, which, _chunk_key(array, bi, bj), chunks[0][bi], chunks[1][bj],
                                   piece_rows, piece_cols, scale * pad)
                    if isinstance(piece, tuple) and piece[0] is _from_frame:
                        graph[frame_key] = (_frame, frame_pads, *(_chunk_key(a, bi, bj) for a, _ in chunked))
                    row.append(piece)
                grid.append(row)
            windows.append((_join, grid))
        graph[(name, i, j) + (0,) * (out_ndim - 2)] = (block_call, rows, cols, *windows)
    return graph


def _source(value: Any, name: str) -> Any:
    """An NpyFile for the path of an .npy file, a numpy array as it is, else a dask array."""
    if isinstance(value, (str, os.PathLike)):
        return NpyFile(value, name)
    if type(value) in (np.ndarray, np.memmap):
        return value
    import dask.array as da

    array = da.asarray(value)
    if any(math.isnan(n) for n in array.shape):
        raise ValueError(f"{name} has unknown chunk sizes (shape {array.shape}): call its compute_chunk_sizes() first")
    return array


def _grid(img: Any, guidance: Any, chunks: Any) -> Tuple[Tuple[int, ...], Tuple[int, ...]]:
    """The chunks along rows and columns of the result: ``chunks`` if given, else the image's,
    else the guidance's, else dask's automatic chunks for the image."""
    import dask.array as da

    if chunks is None:
        for array in (img, guidance):
            if array is not None and _chunked(array):
                return array.chunks[0], array.chunks[1]
        chunks = "auto"
    if isinstance(chunks, tuple) and len(chunks) == 2 and img.ndim == 3:
        chunks = chunks + (-1,)
    try:
        layout = da.empty(img.shape, dtype=img.dtype, chunks=chunks)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"chunks {chunks!r} do not fit an image of shape {img.shape}: {exc}") from None
    if img.ndim == 3:
        layout = layout.rechunk({2: -1})
    return layout.chunks[0], layout.chunks[1]


def _aligned(array: Any, grid: Tuple[Tuple[int, ...], Tuple[int, ...]], pad: int, wrap: bool) -> Any:
    """The input as the graph takes it: a dask array chunked along ``grid``, and a numpy array
    whose windows would take too much memory made one."""
    if isinstance(array, np.ndarray):
        copies = 1.0
        for axis, chunks in enumerate(grid):
            reach = sum(run.stop - run.start for runs, _ in axis_windows(chunks, pad, wrap) for run in runs)
            copies *= reach / max(array.shape[axis], 1)
        if copies <= MAX_WINDOW_COPIES:
            return array
        import dask.array as da

        array = da.from_array(array, chunks=grid + array.shape[2:])
    if isinstance(array, NpyFile):
        return array
    return array.rechunk(grid + ((-1,) if array.ndim == 3 else ()))


def _function_options(options: Dict[str, Any], call: Callable[..., Any] = joint_bilateral) -> Dict[str, Any]:
    """The options, checked against the function's own signature: the image and guidance are
    the chunks', and so is the region."""
    if "region" in options:
        raise TypeError("filter_dask() takes no region: each chunk is filtered as a region of the image")
    try:
        inspect.signature(call).bind(None, None, **options)
    except TypeError as exc:
        raise TypeError(f"filter_dask({call.__name__}, img, guidance, ...): {exc}") from None
    if isinstance(options.get("output"), np.ndarray):
        raise TypeError(
            "filter_dask() takes output as a dtype only: the result is a dask array; write it into "
            "an array with dask.array.store(result, array)"
        )
    return options


@overload
def filter_dask(
    filt: FilterObject,
    img: Any,
    guidance: Any,
    *,
    chunks: Any = ...,
) -> "dask.array.Array": ...


@overload
def filter_dask(
    filt: Callable[..., np.ndarray],
    img: Any,
    guidance: Any,
    *,
    chunks: Any = ...,
    **options: Unpack[FunctionOptions],
) -> "dask.array.Array": ...


def filter_dask(filt: Any, img: Any, guidance: Any, *, chunks: Any = None, **options: Any) -> "dask.array.Array":
    """A lazy dask array equal to the whole-image filter of ``img`` under ``guidance``.

    Two ways to call it::

        filter_dask(joint_bilateral, img, guidance, sigma_s=3, sigma_r=0.1, mode="wrap")
        filter_dask(Sovelk.Joint_bilateral_filter(3, 0.1), img, guidance)
        filter_dask(joint_bilateral_upsample, low, guidance, sigma_s=1, sigma_r=0.1, hole=0)

    Parameters
    ----------
    filt:
        ``sovelk_tools.joint_bilateral``, ``sovelk_tools.joint_bilateral_upsample`` (``img`` is
        then its low image; the result has the guidance's height and width, and its chunks along
        rows and columns are multiples of the factor, the low image's chunks times it by
        default), or a ``Sovelk.Joint_bilateral_filter`` object.
    img, guidance:
        Dask arrays, numpy arrays, anything else ``dask.array.asarray`` takes, or the path (str
        or ``os.PathLike``) of an ``.npy`` file.  With the function: what it takes (an image of
        shape (h, w) or (h, w, c) of uint8, uint16, int16, int32, float32 or float64, and a
        guidance of the same h and w and any of those dtypes, or None for the image itself); the
        result equals ``joint_bilateral(img, guidance, **options)`` bit for bit, with its dtype.  With the object: shapes (h, w, ch) and (h, w)
        or (h, w, c); the result equals ``filt.joint_bilateral_filter(img, guidance)`` (uint8).
        With worker processes the inputs must reach the workers, which may cost more than the
        filtering.  An ``.npy`` file is read by each task from the file, its own window only,
        when the result is computed: the workers must see the same file (one machine, or a
        shared file system); only the results travel.  A task that finds the file changed since
        the graph was built (its size, modification time, inode or header) raises RuntimeError.  A
        numpy array is copied into the chunks' windows when the graph is built (or chunked by
        dask where the windows overlap so much that they would hold more than
        ``MAX_WINDOW_COPIES`` times the array), and each window travels once, to the worker
        that filters it; a memory map is read whole for that, so give its file's path instead.  A dask array made with ``from_array`` travels in chunks to the workers,
        and its margins between them.
    chunks:
        The result's chunks along rows and columns (an int, a (rows, cols) pair, or anything
        dask takes as chunks for the image).  By default the image's, else (for an ``.npy``
        image) the guidance's, else dask's automatic chunks.  Dask inputs are rechunked to them;
        channels always stay in one chunk.
    sigma_s, sigma_r, mode, cval, guidance_cval, rounding, output, hole:
        With the functions only, and as they take them (sigma_s and sigma_r are required; hole
        with ``joint_bilateral_upsample`` only); ``output`` may be a dtype, not an array
        (write the result into one with ``dask.array.store``).  The object carries its own
        sigmas.

    Every argument is checked here, before any work; NaN or infinity in a float image raises
    ValueError when the chunk whose window holds it is computed.  The graph runs on threads,
    processes or a distributed cluster alike (the filter object travels by pickling).  Each
    chunk costs one filter call on its window, the chunk and the window radius around it: size
    chunks by what one such call may use.
    """
    import dask.array as da
    from dask.base import tokenize

    if guidance is None and filt is not joint_bilateral:
        raise TypeError("filter_dask() guides an image by itself (guidance None) with joint_bilateral only")
    # Guided by itself, the graph carries the image alone, and each window is its own guidance.
    img = _source(img, "img")
    guidance = None if guidance is None else _source(guidance, "guidance")
    if filt is joint_bilateral_upsample:
        return _upsample_dask(img, guidance, chunks, _function_options(options, filt))
    inputs = (img,) if guidance is None else (img, guidance)
    if filt is joint_bilateral:
        options = _function_options(options)
        # A call on no pixels checks every argument in the function's own words and gives the
        # result's dtype; the templates take no memory whatever the image's size.
        templates = _templates(inputs)
        dtype = joint_bilateral(templates[0], templates[-1] if guidance is not None else None,
                                region=np.s_[0:0, 0:0], **options).dtype
        pad = _sigmas(options["sigma_s"], options["sigma_r"])[2]
        block_call: Callable[..., Any] = functools.partial(_function_window, options)
        wrap = options.get("mode") == "wrap"
    else:
        if options:
            raise TypeError(
                f"filter_dask() takes {', '.join(sorted(options))} only with joint_bilateral as its "
                "first argument; a Joint_bilateral_filter object carries its own sigmas"
            )
        check_pair(img, guidance)
        pad = pad_width_of(filt)
        dtype = np.dtype(np.uint8)
        block_call = functools.partial(_object_window, filt)
        wrap = False

    grid = _grid(img, guidance, chunks)
    img = _aligned(img, grid, pad, wrap)
    guidance = None if guidance is None else _aligned(guidance, grid, pad, wrap)
    out_chunks = grid + (((img.shape[2],),) if img.ndim == 3 else ())
    if 0 in img.shape[:2]:
        return da.empty(img.shape, dtype=dtype, chunks=out_chunks)

    arrays = (img,) if guidance is None else (img, guidance)
    name = "sovelk-filter-" + tokenize(filt, options, pad, *_token_parts(arrays))
    return _window_array(name, block_call, arrays, grid, pad, wrap, out_chunks, dtype)


def _templates(arrays: Sequence[Any]) -> List[np.ndarray]:
    """Arrays of the sources' shapes and dtypes that take no memory whatever their size: a call on
    no pixels of them checks every argument in the function's own words and gives the result's
    dtype."""
    return [a.template() if isinstance(a, NpyFile) else np.broadcast_to(np.zeros((), a.dtype), a.shape)
            for a in arrays]


def _token_parts(arrays: Sequence[Any]) -> List[Any]:
    return [a.token if isinstance(a, NpyFile) else a for a in arrays]


def _window_array(name: str, block_call: Callable[..., Any], arrays: Sequence[Any],
                  grid: Tuple[Tuple[int, ...], Tuple[int, ...]], pad: int, wrap: bool, out_chunks: Tuple[Any, ...],
                  dtype: np.dtype, scales: Sequence[int] = ()) -> "dask.array.Array":
    """The dask array of ``_window_graph``'s tasks, chunked as ``out_chunks``."""
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph

    ndim = len(out_chunks)
    layer = _window_graph(name, block_call, arrays, grid, pad, wrap, ndim, scales=scales)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=[a for a in arrays if _chunked(a)])
    return da.Array(graph, name, chunks=out_chunks, dtype=dtype, meta=np.empty((0,) * ndim, dtype=dtype))


def _upsampling_grid(low: Any, guidance: Any, chunks: Any, factor: int,
                     shape: Tuple[int, ...]) -> Tuple[Tuple[int, ...], Tuple[int, ...]]:
    """The low image's chunks along rows and columns: ``chunks`` (of the result, each a multiple of
    the factor) divided by the factor if given, else the low image's, else the guidance's where
    they are multiples of the factor, else dask's automatic chunks for the low image."""
    import dask.array as da

    if chunks is None:
        if _chunked(low):
            return low.chunks[0], low.chunks[1]
        if _chunked(guidance) and all(c % factor == 0 for axis in guidance.chunks[:2] for c in axis):
            return tuple(c // factor for c in guidance.chunks[0]), tuple(c // factor for c in guidance.chunks[1])
        return _grid(low, low, "auto")
    if isinstance(chunks, tuple) and len(chunks) == 2 and len(shape) == 3:
        chunks = chunks + (-1,)
    try:
        layout = da.empty(shape, dtype=np.uint8, chunks=chunks).chunks
    except (TypeError, ValueError) as exc:
        raise ValueError(f"chunks {chunks!r} do not fit a result of shape {shape}: {exc}") from None
    if any(c % factor for axis in layout[:2] for c in axis):
        raise ValueError(f"chunks {chunks!r} of the upsampled result must be multiples of the factor {factor}, "
                         f"so that each chunk's windows are whole low pixels'")
    return tuple(c // factor for c in layout[0]), tuple(c // factor for c in layout[1])


def _upsample_dask(low: Any, guidance: Any, chunks: Any, options: Dict[str, Any]) -> "dask.array.Array":
    """filter_dask(joint_bilateral_upsample, ...): each chunk of the result is one call on the
    low image's window of the chunk's low pixels and the guidance's window, factor times it."""
    import dask.array as da
    from dask.base import tokenize

    templates = _templates((low, guidance))
    dtype = joint_bilateral_upsample(templates[0], templates[1], region=np.s_[0:0, 0:0], **options).dtype
    factor = upsampling_factor(low.shape, guidance.shape)
    shape = tuple(guidance.shape[:2]) + tuple(low.shape[2:])
    pad = _sigmas(options["sigma_s"], options["sigma_r"])[2]
    wrap = options.get("mode") == "wrap"
    grid = _upsampling_grid(low, guidance, chunks, factor, shape)
    full_grid = (tuple(factor * c for c in grid[0]), tuple(factor * c for c in grid[1]))
    low, guidance = _aligned(low, grid, pad, wrap), _aligned(guidance, full_grid, factor * pad, wrap)
    out_chunks = full_grid + (((shape[2],),) if len(shape) == 3 else ())
    if 0 in shape[:2]:
        return da.empty(shape, dtype=dtype, chunks=out_chunks)
    arrays = (low, guidance)
    name = "sovelk-upsample-" + tokenize(options, pad, *_token_parts(arrays))
    block_call = functools.partial(_upsampling_window, options, factor)
    return _window_array(name, block_call, arrays, grid, pad, wrap, out_chunks, dtype, scales=(1, factor))
