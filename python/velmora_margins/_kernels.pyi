from collections.abc import Sequence
from typing import Final, final

import numpy as np
import numpy.typing as npt
import pandas as pd

Float64Array = npt.NDArray[np.float64]
# (columns, slopes), or (columns, slopes, side_columns, side, multiplier, per_prediction).
Derivative = (
    tuple[Sequence[int], Float64Array]
    | tuple[Sequence[int], Float64Array, Sequence[int], Float64Array, Float64Array | None, bool]
)
LevelContrast = tuple[Sequence[int], Float64Array, Sequence[Float64Array], bool]
# (columns, values): the side at which F is taken.
Prediction = tuple[Sequence[int], Float64Array]

LINKS: Final[tuple[str, ...]]
FIT_LINKS: Final[tuple[str, ...]]

@final
class ContrastSums:
    def __new__(
        cls, effects: Float64Array, gradients: Float64Array, weight: float
    ) -> ContrastSums: ...
    @property
    def effects(self) -> Float64Array: ...
    @property
    def gradients(self) -> Float64Array: ...
    @property
    def weight(self) -> float: ...
    def __add__(self, other: ContrastSums, /) -> ContrastSums: ...
    def __reduce__(self) -> tuple[type[ContrastSums], tuple[Float64Array, Float64Array, float]]: ...

@final
class FitSums:
    def __new__(
        cls,
        loglik: float,
        score: Float64Array,
        information: Float64Array,
        meat: Float64Array | None,
        weight: float,
        rows: int,
    ) -> FitSums: ...
    @property
    def loglik(self) -> float: ...
    @property
    def score(self) -> Float64Array: ...
    @property
    def information(self) -> Float64Array: ...
    @property
    def meat(self) -> Float64Array | None: ...
    @property
    def weight(self) -> float: ...
    @property
    def rows(self) -> int: ...
    def __add__(self, other: FitSums, /) -> FitSums: ...
    def __reduce__(
        self,
    ) -> tuple[
        type[FitSums], tuple[float, Float64Array, Float64Array, Float64Array | None, float, int]
    ]: ...

@final
class LinkValues(tuple[Float64Array, Float64Array, Float64Array]):
    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    @property
    def cdf(self) -> Float64Array: ...
    @property
    def pdf(self) -> Float64Array: ...
    @property
    def pdf_derivative(self) -> Float64Array: ...

def contrast_sums(
    link: str,
    beta: Float64Array,
    x: Float64Array,
    weights: Float64Array | None,
    derivatives: Sequence[Derivative],
    level_contrasts: Sequence[LevelContrast],
    predictions: Sequence[Prediction] = (),
    offset: Float64Array | None = None,
) -> ContrastSums: ...
def fit_sums(
    link: str,
    beta: Float64Array,
    x: Float64Array,
    y: Float64Array,
    weights: Float64Array | None,
    with_meat: bool,
) -> FitSums: ...
def cluster_scores(
    link: str,
    beta: Float64Array,
    x: Float64Array,
    y: Float64Array,
    weights: Float64Array | None,
    codes: npt.NDArray[np.int64],
    groups: int,
) -> Float64Array: ...
def link_values(link: str, v: Float64Array) -> LinkValues: ...
def binary_columns(x: Float64Array) -> npt.NDArray[np.bool_]: ...
def effects_table(effects: Float64Array, std_errors: Float64Array) -> pd.DataFrame: ...
