# The native part of sovelk_tools.joint_bilateral and joint_bilateral_upsample; call those instead.
from typing import Any, Optional, Union

import numpy as np

def filter(
    image: np.ndarray,
    guidance: np.ndarray,
    kernel_s: np.ndarray,
    range: Union[np.ndarray, float],
    output: Any,
    mode: int,
    cval: float,
    guidance_cval: float,
    truncate: bool,
    row0: int,
    col0: int,
    rows: int,
    cols: int,
    /,
) -> np.ndarray: ...
def upsample(
    low: np.ndarray,
    guidance: np.ndarray,
    kernels: np.ndarray,
    range: Union[np.ndarray, float],
    output: Any,
    mode: int,
    cval: float,
    guidance_cval: float,
    truncate: bool,
    row0: int,
    col0: int,
    rows: int,
    cols: int,
    hole: Optional[float],
    /,
) -> np.ndarray: ...
def require_memory(nbytes: int, what: str, /) -> None: ...
def hold_temporary(path: bytes, /) -> int: ...
def release_temporary(slot: int, /) -> None: ...
