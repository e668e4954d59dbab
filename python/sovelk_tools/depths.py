"""Sample depths on the command line: which ones the filter takes, and the 8-bit rescale.

Images and guidance are filtered at their own depth.  Rescaling to 8 bits is left for an output
format that cannot hold the result's depth.
"""

from __future__ import annotations

from typing import Any, Tuple

import numpy as np

from .function import DTYPES

# Rows converted at a time: a deep memory-mapped array is rescaled without holding a float64
# copy of the whole of it.
_BAND_BYTES = 1 << 24


def native(arr: Any) -> Any:
    """``arr`` (an array, or an NpyReader) in the machine's byte order (a .npy file may hold
    big-endian samples)."""
    return arr if arr.dtype.isnative else arr.astype(arr.dtype.newbyteorder("="))


def filterable(dtype: np.dtype) -> bool:
    return dtype in DTYPES


def accepted() -> str:
    return ", ".join(d.name for d in DTYPES)


def to_uint8(arr: Any) -> Tuple[np.ndarray, int]:
    """(8-bit copy, float samples that lay outside 0..1).

    16-bit samples are scaled by 255/65535 and rounded; floating-point ones mapped from 0..1,
    clipped (NaN to 0, infinities to the ends) and rounded.
    """
    out = np.empty(arr.shape, dtype=np.uint8)
    step = max(1, _BAND_BYTES // max(1, arr[:1].nbytes))
    outside = 0
    for r0 in range(0, arr.shape[0], step):
        band = np.asarray(arr[r0 : r0 + step])
        if arr.dtype.kind == "u":
            # Exact rounding of x * 255 / 65535 in integers.
            out[r0 : r0 + step] = (band.astype(np.uint32) * 255 + 32767) // 65535
        else:
            band = band.astype(np.float64)
            outside += int(np.count_nonzero(~((band >= 0.0) & (band <= 1.0))))
            band = np.nan_to_num(band, nan=0.0, posinf=1.0, neginf=0.0)
            out[r0 : r0 + step] = np.rint(np.clip(band, 0.0, 1.0) * 255.0)
    return out, outside


def share(count: int, total: int) -> str:
    pct = 100.0 * count / total
    return f"{pct:.1f}%" if pct >= 0.1 else "under 0.1%"
