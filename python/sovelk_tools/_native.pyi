# The native part of sovelk_tools.joint_bilateral; call that function instead.
from typing import Any, Union

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
def require_memory(nbytes: int, what: str, /) -> None: ...
def hold_temporary(path: bytes, /) -> int: ...
def release_temporary(slot: int, /) -> None: ...
