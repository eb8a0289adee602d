from collections.abc import Sequence

import numpy as np
import numpy.typing as npt
import pandas as pd

Derivative = tuple[Sequence[int], np.ndarray]
Factor = tuple[Sequence[int], np.ndarray, Sequence[np.ndarray], bool]
Float64Array = npt.NDArray[np.float64]

def contrast_sums(
    kind: str,
    beta: np.ndarray,
    x: np.ndarray,
    weights: np.ndarray | None,
    derivatives: Sequence[Derivative],
    factors: Sequence[Factor],
    /,
) -> tuple[np.ndarray, np.ndarray, float]: ...
def fit_sums(
    kind: str,
    beta: Float64Array,
    x: Float64Array,
    y: Float64Array,
    weights: Float64Array | None,
    with_meat: bool,
    /,
) -> tuple[float, Float64Array, Float64Array, Float64Array | None, float, int]: ...
def cluster_scores(
    kind: str,
    beta: Float64Array,
    x: Float64Array,
    y: Float64Array,
    weights: Float64Array | None,
    codes: npt.NDArray[np.int64],
    groups: int,
    /,
) -> Float64Array: ...
def effects_table(effects: np.ndarray, std_errors: np.ndarray, /) -> pd.DataFrame: ...
