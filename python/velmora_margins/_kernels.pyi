from collections.abc import Sequence

import numpy as np
import pandas as pd

Derivative = tuple[Sequence[int], np.ndarray]
Factor = tuple[Sequence[int], np.ndarray, Sequence[np.ndarray], bool]

def contrast_sums(
    kind: str,
    beta: np.ndarray,
    x: np.ndarray,
    weights: np.ndarray | None,
    derivatives: Sequence[Derivative],
    factors: Sequence[Factor],
    /,
) -> tuple[np.ndarray, np.ndarray, float]: ...
def effects_table(effects: np.ndarray, std_errors: np.ndarray, /) -> pd.DataFrame: ...
