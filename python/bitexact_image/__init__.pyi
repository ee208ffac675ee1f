# The types of the package's functions, for editors and type checkers.
# Inputs are anything NumPy turns into an array (numbers, nested lists,
# arrays of any memory order); results are new float64 arrays, and the
# 0-based argmax maps of envsweep are int32. A patchwarp template is an
# array, of which only the shape is used, or the shape (M, N) itself.
# workers is the most threads a call runs on (-1: every processor).
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Error", "gridlerp", "patchwarp", "envsweep", "linscore", "selftest"]
__version__: str

class Error(ValueError):
    identifier: str
    message: str
    function: str
    def __init__(self, identifier: str, message: str, function: str | None = None) -> None: ...

def gridlerp(
    image: ArrayLike,
    X: ArrayLike,
    Y: ArrayLike,
    out: NDArray[np.float64] | None = None,
    workers: int = 1,
) -> NDArray[np.float64]: ...
def patchwarp(
    image: ArrayLike,
    template: NDArray[Any] | tuple[int, int],
    A: ArrayLike,
    out: tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]] | None = None,
    workers: int = 1,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...
def envsweep(
    source_map: ArrayLike,
    col_quad: ArrayLike,
    col_lin: ArrayLike,
    row_quad: ArrayLike,
    row_lin: ArrayLike,
    col_first: ArrayLike,
    row_first: ArrayLike,
    out_cols: ArrayLike,
    out_rows: ArrayLike,
    pos_step: ArrayLike,
    out: tuple[NDArray[np.float64], NDArray[np.int32], NDArray[np.int32]] | None = None,
    workers: int = 1,
) -> tuple[NDArray[np.float64], NDArray[np.int32], NDArray[np.int32]]: ...
def linscore(
    X: ArrayLike,
    mean: ArrayLike,
    scale: ArrayLike,
    w: ArrayLike,
    out: NDArray[np.float64] | None = None,
    workers: int = 1,
) -> NDArray[np.float64]: ...
def selftest(path: str | None = None) -> bool: ...
