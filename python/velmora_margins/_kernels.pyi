from collections.abc import Sequence
from typing import Final, final

import numpy as np
import numpy.typing as npt
import pandas as pd

Float64Array = npt.NDArray[np.float64]
# A design column: its values, or (codes, table), the rows' codes and its value for each code.
DesignColumn = Float64Array | tuple[npt.NDArray[np.uint8], Float64Array]
# A design matrix: one rows x k array, or a tuple of its k columns (one length each).
Design = Float64Array | tuple[DesignColumn, ...]
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
FAMILIES: Final[tuple[str, ...]]

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

@final
class GlmSums:
    def __new__(
        cls,
        loglik: float,
        deviance: float,
        pearson_chi2: float,
        score: Float64Array,
        information: Float64Array,
        observed: Float64Array | None,
        meat: Float64Array | None,
        weight: float,
        rows: int,
        constant: float,
    ) -> GlmSums: ...
    @property
    def loglik(self) -> float: ...
    @property
    def deviance(self) -> float: ...
    @property
    def pearson_chi2(self) -> float: ...
    @property
    def score(self) -> Float64Array: ...
    @property
    def information(self) -> Float64Array: ...
    @property
    def observed(self) -> Float64Array | None: ...
    @property
    def meat(self) -> Float64Array | None: ...
    @property
    def weight(self) -> float: ...
    @property
    def rows(self) -> int: ...
    @property
    def constant(self) -> float: ...
    def __add__(self, other: GlmSums, /) -> GlmSums: ...

@final
class LinearSums:
    def __new__(
        cls,
        xtwx: Float64Array,
        xtwy: Float64Array,
        ytwy: float,
        weight: float,
        log_weight: float,
        rows: int,
    ) -> LinearSums: ...
    @property
    def xtwx(self) -> Float64Array: ...
    @property
    def xtwy(self) -> Float64Array: ...
    @property
    def ytwy(self) -> float: ...
    @property
    def weight(self) -> float: ...
    @property
    def log_weight(self) -> float: ...
    @property
    def rows(self) -> int: ...
    def __add__(self, other: LinearSums, /) -> LinearSums: ...

@final
class LinearMeat:
    def __new__(
        cls,
        hc0: Float64Array,
        hc2: Float64Array,
        hc3: Float64Array,
        ssr: float,
        max_leverage: float,
        rows: int,
    ) -> LinearMeat: ...
    @property
    def hc0(self) -> Float64Array: ...
    @property
    def hc2(self) -> Float64Array: ...
    @property
    def hc3(self) -> Float64Array: ...
    @property
    def ssr(self) -> float: ...
    @property
    def max_leverage(self) -> float: ...
    @property
    def rows(self) -> int: ...
    def __add__(self, other: LinearMeat, /) -> LinearMeat: ...

def contrast_sums(
    link: str,
    beta: Float64Array,
    x: Design,
    weights: Float64Array | None,
    derivatives: Sequence[Derivative],
    level_contrasts: Sequence[LevelContrast],
    predictions: Sequence[Prediction] = (),
    offset: Float64Array | None = None,
) -> ContrastSums: ...
def fit_sums(
    link: str,
    beta: Float64Array,
    x: Design,
    y: Float64Array,
    weights: Float64Array | None,
    with_meat: bool,
    offset: Float64Array | None = None,
) -> FitSums: ...
def cluster_scores(
    link: str,
    beta: Float64Array,
    x: Design,
    y: Float64Array,
    weights: Float64Array | None,
    codes: npt.NDArray[np.int64],
    groups: int,
    offset: Float64Array | None = None,
) -> Float64Array: ...
def glm_sums(
    family: str,
    link: str,
    beta: Float64Array,
    x: Design,
    y: Float64Array,
    offset: Float64Array | None = None,
    freq_weights: Float64Array | None = None,
    var_weights: Float64Array | None = None,
    scale: float = 1.0,
    alpha: float = 1.0,
    var_power: float = 1.0,
    with_observed: bool = False,
    with_meat: bool = False,
    with_constants: bool = True,
) -> GlmSums: ...
def glm_cluster_scores(
    family: str,
    link: str,
    beta: Float64Array,
    x: Design,
    y: Float64Array,
    codes: npt.NDArray[np.int64],
    groups: int,
    offset: Float64Array | None = None,
    freq_weights: Float64Array | None = None,
    var_weights: Float64Array | None = None,
    alpha: float = 1.0,
    var_power: float = 1.0,
) -> Float64Array: ...
def negbin_sums(
    params: Float64Array,
    x: Design,
    y: Float64Array,
    weights: Float64Array | None,
    with_meat: bool,
    offset: Float64Array | None = None,
) -> FitSums: ...
def negbin_cluster_scores(
    params: Float64Array,
    x: Design,
    y: Float64Array,
    weights: Float64Array | None,
    codes: npt.NDArray[np.int64],
    groups: int,
    offset: Float64Array | None = None,
) -> Float64Array: ...
def ols_sums(x: Design, y: Float64Array, weights: Float64Array | None) -> LinearSums: ...
def ols_meat(
    beta: Float64Array,
    bread: Float64Array,
    x: Design,
    y: Float64Array,
    weights: Float64Array | None,
) -> LinearMeat: ...
def ols_cluster_scores(
    beta: Float64Array,
    x: Design,
    y: Float64Array,
    weights: Float64Array | None,
    codes: npt.NDArray[np.int64],
    groups: int,
) -> Float64Array: ...
def link_values(link: str, v: Float64Array) -> LinkValues: ...
def binary_columns(x: Design) -> npt.NDArray[np.bool_]: ...
def effects_table(effects: Float64Array, std_errors: Float64Array) -> pd.DataFrame: ...
