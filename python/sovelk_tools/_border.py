"""Border arithmetic and the block call shared by the tiled and the dask paths.

The filter mirrors its input with OpenCV's BORDER_REFLECT (edge pixel repeated:
rows 2, 1, 0 | 0, 1, 2, ...).  A tile cut out of a large image only gets the
same result as the whole-image call if the context around it holds exactly the
values that whole-image padding would have put there, so the mirroring is
reproduced here with plain index arithmetic that works for any pad width.
"""

from __future__ import annotations

import itertools
import operator
from typing import Any, List, Sequence, Tuple, Union

import numpy as np

Index = Union[slice, np.ndarray]


def reflect_index(positions: Any, length: int) -> np.ndarray:
    """Map positions on an axis of ``length`` cells to the cells BORDER_REFLECT reads.

    Positions may lie anywhere, also further out than ``length``: OpenCV then
    keeps mirroring back and forth, which is a period of ``2 * length``
    (``... 1 0 | 0 1 2 ... n-1 | n-1 ... 1 0 | 0 1 ...``).  A one-cell axis
    always maps to cell 0.
    """
    length = operator.index(length)
    if length < 1:
        raise ValueError(f"cannot mirror an axis of length {length}")
    pos = np.asarray(positions, dtype=np.intp)
    folded = np.mod(pos, 2 * length)
    return np.where(folded < length, folded, 2 * length - 1 - folded)


def window_index(start: int, stop: int, pad: int, length: int) -> Index:
    """Cells of an axis of ``length`` that the range [start - pad, stop + pad) reads.

    A plain slice when the range stays inside the axis, so that memory-mapped
    inputs are read as one contiguous run; an index array where it crosses the
    image border and has to be mirrored.
    """
    lo, hi = start - pad, stop + pad
    if lo >= 0 and hi <= length:
        return slice(lo, hi)
    return reflect_index(np.arange(lo, hi), length)


def take_block(arr: Any, rows: Index, cols: Index) -> np.ndarray:
    """Copy rows x cols (slices or index arrays) of ``arr`` into a new C-contiguous array.

    Only the requested cells are read, which matters for memory-mapped inputs
    far larger than one block.
    """
    if isinstance(rows, slice) and isinstance(cols, slice):
        return np.ascontiguousarray(arr[rows, cols])
    if isinstance(rows, slice):
        rows = np.arange(*rows.indices(arr.shape[0]))
    if isinstance(cols, slice):
        cols = np.arange(*cols.indices(arr.shape[1]))
    return np.ascontiguousarray(arr[np.ix_(rows, cols)])


def pad_width_of(filt: Any) -> int:
    """The filter's context radius, checked to be a usable whole number."""
    try:
        pad = operator.index(filt.pad_w)
    except AttributeError:
        raise TypeError(
            f"{type(filt).__name__!s} has no pad_w attribute: pass a Sovelk.Joint_bilateral_filter"
        ) from None
    except TypeError:
        raise TypeError(f"filter's pad_w must be an integer, not {filt.pad_w!r}") from None
    if pad < 0:
        raise ValueError(f"filter's pad_w is negative ({pad}); build it with sigma_s >= 0")
    return pad


def check_pair(img: Any, guidance: Any) -> Tuple[int, int, int]:
    """Validate the image/guidance pair up front and return (h, w, ch).

    Checking here, before any tile is filtered, means a bad pair fails at once
    instead of after part of an output has been written.
    """
    if len(img.shape) != 3:
        raise ValueError(f"img must have shape (h, w, ch), got {tuple(img.shape)}")
    if len(guidance.shape) not in (2, 3):
        raise ValueError(
            f"guidance must have shape (h, w) or (h, w, c), got {tuple(guidance.shape)}"
        )
    h, w, ch = (int(n) for n in img.shape)
    if tuple(guidance.shape[:2]) != (h, w):
        raise ValueError(
            f"guidance is {guidance.shape[0]}x{guidance.shape[1]} (h x w) "
            f"but img is {h}x{w}; they must match"
        )
    if h < 1 or w < 1 or ch < 1:
        raise ValueError(f"img is empty: shape {tuple(img.shape)}")
    return h, w, ch


def filter_one_block(filt: Any, img: Any, guidance: Any) -> np.ndarray:
    """One filter call on a block (a tile or chunk with its context, or the whole image).

    Where one tile or chunk covers the image, the tiled and dask paths pass
    the image itself rather than a padded block: the whole-image call is then
    the result by definition, and it also matters for bit-identity, because
    numpy sums the weights of a 1x1 image pairwise rather than plane by
    plane, which a padded block would not reproduce.
    """
    return filt.joint_bilateral_filter(np.ascontiguousarray(img), np.ascontiguousarray(guidance))


# Along one axis, a chunk's window: the runs of image positions it is made of, in order, and
# where the chunk lies within it.
AxisWindow = Tuple[List[slice], slice]


def axis_windows(chunks: Sequence[int], pad: int, wrap: bool = False) -> List[AxisWindow]:
    """For each chunk along an axis, the runs of positions its window is made of.

    Chunk k spans [start, stop); its window spans [start - pad, stop + pad) cut to the axis, and
    may take in several neighbouring chunks where they are narrower than ``pad``.  With ``wrap``
    a window shorter than the axis continues from the other end instead, in one or two runs; one
    as long takes the whole axis, and the filter's own wrapping is then the image's.
    """
    bounds = [0, *itertools.accumulate(int(c) for c in chunks)]
    n = bounds[-1]
    windows = []
    for start, stop in zip(bounds, bounds[1:]):
        lo, hi = start - pad, stop + pad
        if wrap and hi - lo >= n:
            windows.append(([slice(0, n)], slice(start, stop)))
        elif wrap:
            if lo < 0:
                runs = [slice(lo + n, n), slice(0, hi)]
            elif hi > n:
                runs = [slice(lo, n), slice(0, hi - n)]
            else:
                runs = [slice(lo, hi)]
            windows.append((runs, slice(pad, pad + stop - start)))
        else:
            lo, hi = max(lo, 0), min(hi, n)
            windows.append(([slice(lo, hi)], slice(start - lo, stop - lo)))
    return windows
