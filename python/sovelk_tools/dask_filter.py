"""Lazy, chunk-parallel filtering of dask arrays.

Every chunk is filtered with ``pad_w`` pixels of context from its neighbours
(``dask.array.map_overlap``); as in the tiled path, the filter's own mirroring
of that block never reaches the chunk's pixels, so the result is bit-identical
to the whole-image call.

At the image's outer border nothing is added (``boundary="none"``): there the
block's own edge is the image's edge, so the filter's own mirroring of the
block is the whole image's, as long as the block holds at least ``pad_w``
pixels across, which the context from the other side provides (dask merges
chunks smaller than the depth with their neighbours).  Letting dask mirror the
border instead cost a fifth of the time on a cluster of worker processes, in
the extra tasks that build it.  An axis shorter than ``pad_w`` is another
matter: OpenCV then keeps mirroring back and forth within the whole axis, so
that axis is padded here with the same index arithmetic as the tiled path,
kept in one chunk, and trimmed after filtering.
"""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

import numpy as np

from ._border import check_pair, filter_one_block, pad_width_of, reflect_index


def _filter_block(img_block: np.ndarray, guid_block: np.ndarray, *, filt: Any, gray: bool) -> np.ndarray:
    # The gray guidance travels as (h, w, 1) so that dask lines its axes up with
    # the image's; the filter wants it two-dimensional again.
    guid = guid_block[:, :, 0] if gray else guid_block
    return filter_one_block(filt, img_block, guid)


def _mirror_axis(x: Any, axis: int, pad: int) -> Any:
    n = x.shape[axis]
    idx = reflect_index(np.arange(-pad, n + pad), n)
    # Kept as one chunk: the axis is shorter than pad_w, so it is small, and a
    # single chunk holds the complete mirrored context for every pixel on it.
    taken = x[(slice(None),) * axis + (idx,)]
    chunks = list(taken.chunks)
    chunks[axis] = (n + 2 * pad,)
    return taken.rechunk(tuple(chunks))


def filter_dask(filt: Any, img: Any, guidance: Any) -> Any:
    """Return a lazy dask array equal to ``filt.joint_bilateral_filter(img, guidance)``.

    ``img`` (h, w, ch) and ``guidance`` (h, w) or (h, w, c) may be dask arrays
    or anything ``dask.array.asarray`` accepts.  The guidance is rechunked to
    the image's chunks and channels are kept in one chunk.  Chunks smaller than
    ``pad_w`` are merged with their neighbours, so the result's chunks can
    differ from the input's.  ``filt`` is pickled into the task graph, so the
    computation runs on threads, processes or a distributed cluster alike.

    Each chunk costs one filter call on a (chunk + 2*pad_w) block: size chunks
    by what one such call may use.
    """
    import dask.array as da

    img = da.asarray(img)
    guidance = da.asarray(guidance)
    h, w, ch = check_pair(img, guidance)
    pad = pad_width_of(filt)

    gray = guidance.ndim == 2
    if gray:
        guidance = guidance[:, :, None]
    img = img.rechunk({2: -1})
    guidance = guidance.rechunk((img.chunks[0], img.chunks[1], -1))

    if img.numblocks[0] == 1 and img.numblocks[1] == 1:
        return da.map_blocks(
            _filter_block, img, guidance, dtype=np.uint8, meta=np.empty((0, 0, 0), dtype=np.uint8),
            filt=filt, gray=gray,
        )

    depth: Dict[int, int] = {0: pad, 1: pad, 2: 0}
    trims: List[Tuple[int, int]] = []
    for axis, n in ((0, h), (1, w)):
        if pad > n:
            img = _mirror_axis(img, axis, pad)
            guidance = _mirror_axis(guidance, axis, pad)
            depth[axis] = 0
            trims.append((axis, n))

    result = da.map_overlap(
        _filter_block,
        img,
        guidance,
        depth=[depth, depth],
        boundary="none",
        align_arrays=False,
        dtype=np.uint8,
        meta=np.empty((0, 0, 0), dtype=np.uint8),
        filt=filt,
        gray=gray,
    )
    for axis, n in trims:
        sl = [slice(None)] * 3
        sl[axis] = slice(pad, pad + n)
        result = result[tuple(sl)]
    return result
