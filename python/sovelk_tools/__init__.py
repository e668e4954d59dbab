"""Companion tools for the Sovelk joint bilateral filter.

- :func:`joint_bilateral` filters gray, colour, 16-bit and float images at their
  own depth under a guidance of any of those dtypes, with scipy.ndimage's border
  modes, on the class's native core; :func:`bilateral` guides an image by itself.
- :func:`joint_bilateral_upsample` brings a low-resolution image (a depth map, a
  result computed small) to the size of its guidance, following the guidance's edges.
- :func:`filter_tiled` filters tile by tile with bounded memory (numpy arrays
  or memmaps, also disk to disk), through ``joint_bilateral`` and its options or
  a ``Sovelk.Joint_bilateral_filter``, and gives exactly the whole-image result.
- :func:`filter_dask` builds the same result lazily over dask arrays or ``.npy``
  files, through ``joint_bilateral`` and its options or a
  ``Sovelk.Joint_bilateral_filter``, for threads, processes or a distributed
  cluster (needs the ``dask`` extra).
- The ``sovelk`` command line (``python -m sovelk_tools``) filters image files
  at their own depth and runs a demo on a bundled sample photograph.
"""

from __future__ import annotations

import pkgutil

# A development build (tools/dev-build.sh) puts the native part, _native, in a sovelk_tools/
# folder of its own beside Sovelk; an installed wheel has it here. Either way the package is
# this folder plus any sovelk_tools/ folder on sys.path.
__path__ = pkgutil.extend_path(__path__, __name__)

from ._border import reflect_index  # noqa: E402
from .function import bilateral, joint_bilateral  # noqa: E402
from .upsample import joint_bilateral_upsample  # noqa: E402
# dask itself is imported at filter_dask's first call, so the rest works without the dask extra.
from .dask_filter import filter_dask  # noqa: E402
from .tiled import DEFAULT_TILE, filter_tiled, iter_tiles  # noqa: E402

__all__ = ["DEFAULT_TILE", "bilateral", "filter_dask", "filter_tiled", "iter_tiles", "joint_bilateral",
           "joint_bilateral_upsample", "reflect_index"]

