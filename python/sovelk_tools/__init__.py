"""Companion tools for the Sovelk joint bilateral filter.

- :func:`filter_tiled` filters tile by tile with bounded memory (numpy arrays
  or memmaps, also disk to disk) and gives exactly the whole-image result.
- :func:`filter_dask` builds the same result lazily over a dask array, for
  threads, processes or a distributed cluster (needs the ``dask`` extra).
- The ``sovelk`` command line (``python -m sovelk_tools``) filters image files
  and runs a demo on a bundled sample photograph.
"""

from __future__ import annotations

from typing import Any

from ._border import reflect_index
from .tiled import DEFAULT_TILE, filter_tiled, iter_tiles

__all__ = ["DEFAULT_TILE", "filter_dask", "filter_tiled", "iter_tiles", "reflect_index"]


def filter_dask(filt: Any, img: Any, guidance: Any) -> Any:
    """Lazy dask array equal to ``filt.joint_bilateral_filter(img, guidance)``.

    See :func:`sovelk_tools.dask_filter.filter_dask`; dask is imported only
    here, so the rest of the package works without it.
    """
    from .dask_filter import filter_dask as _filter_dask

    return _filter_dask(filt, img, guidance)
