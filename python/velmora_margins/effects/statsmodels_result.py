"""Reading a fitted Logit or Probit result: coefficients, covariance, design and data."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.effects.plan import binary_columns
from velmora_margins.formula.design import Design, read_design
from velmora_margins.formula.factor import DesignError
from velmora_margins.partitioned.result import PartitionedModel

KINDS = {"logit": "Logit", "probit": "Probit"}


@dataclass(frozen=True)
class FittedModel:
    """What the effects need of a fitted result.

    A statsmodels result holds its design matrix (``exog``) and, from a formula, the
    data frame; a result of velmora_margins.fit holds its partitioned data instead.
    """

    kind: str  # "logit" or "probit"
    params: np.ndarray  # k
    cov: np.ndarray  # k x k
    names: tuple[str, ...]  # k column names
    binary: np.ndarray  # k: whether each column holds only 0 and 1
    rows: int
    design: Design | None = None  # None for a model fitted without a formula
    exog: np.ndarray | None = None  # n x k, read in place
    frame: pd.DataFrame | None = None  # the data the formula was evaluated on
    positions: np.ndarray | None = None  # the frame's row of each row of exog
    partitioned: PartitionedModel | None = None

    def intercepts(self) -> list[int]:
        """Returns the columns named const or intercept, in any letter case."""
        return [j for j, name in enumerate(self.names) if name.lower() in ("const", "intercept")]


def read_result(result: Any) -> FittedModel:
    """Returns the parts of a fitted statsmodels Logit or Probit result that the
    effects use, or fails naming what is missing."""
    model = getattr(result, "model", None)
    kind = type(model).__name__.lower()
    if isinstance(model, PartitionedModel):
        return FittedModel(
            kind,
            np.asarray(result.params, dtype=np.float64),
            np.asarray(result.cov_params(), dtype=np.float64),
            tuple(model.exog_names),
            model.binary,
            int(result.nobs),
            design=model.design,
            partitioned=model,
        )
    if kind not in KINDS:
        what = type(result).__name__ if model is None else type(model).__name__
        raise TypeError(
            f"result: expected a fitted Logit or Probit result (statsmodels.formula.api.logit "
            f"or probit, then .fit()), got a result of {what}"
        )
    if getattr(model, "offset", None) is not None or getattr(model, "exposure", None) is not None:
        raise ValueError("result: the model has an offset, which velmora_margins does not take")
    exog = getattr(model, "exog", None)
    if exog is None:
        raise ValueError(
            "result: its design matrix is gone (was remove_data() called?); fit the model again"
        )
    exog = np.asarray(exog)
    if exog.dtype != np.float64:
        exog = exog.astype(np.float64)
    params = np.asarray(result.params, dtype=np.float64).reshape(-1)
    cov = np.asarray(result.cov_params(), dtype=np.float64)
    k = exog.shape[1] if exog.ndim == 2 else -1
    if exog.ndim != 2 or params.shape != (k,) or cov.shape != (k, k):
        raise ValueError(
            f"result: {params.size} coefficients, a covariance of shape {cov.shape} and a "
            f"design of shape {exog.shape} do not fit together"
        )
    names = tuple(str(n) for n in getattr(model, "exog_names", None) or range(k))
    data = getattr(model, "data", None)
    design_info = getattr(data, "model_spec", None) or getattr(data, "design_info", None)
    formula = getattr(model, "formula", None)
    binary = binary_columns(exog)
    rows = int(exog.shape[0])
    if design_info is None or formula is None:
        return FittedModel(kind, params, cov, names, binary, rows, exog=exog)
    frame = getattr(data, "frame", None)
    if not isinstance(frame, pd.DataFrame):
        raise ValueError(
            "result: the data frame the formula was fitted on cannot be recovered from the "
            "result; fit it again with statsmodels.formula.api and a pandas DataFrame"
        )
    try:
        design = read_design(design_info, list(frame.columns), str(formula))
    except DesignError as error:
        raise ValueError(f"result: {error}") from None
    positions = row_positions(frame, getattr(data, "row_labels", None), rows)
    return FittedModel(
        kind, params, cov, names, binary, rows, design, exog=exog, frame=frame, positions=positions
    )


def row_positions(frame: pd.DataFrame, labels: Any, rows: int) -> np.ndarray:
    """Returns the position in frame of each of the model's rows."""
    if labels is None and len(frame) == rows:
        return np.arange(rows)
    if labels is not None and frame.index.is_unique:
        positions = frame.index.get_indexer(labels)
        if len(positions) == rows and (positions >= 0).all():
            return np.asarray(positions, dtype=np.intp)
    if labels is not None and len(frame) == rows:
        return np.arange(rows)
    raise ValueError(
        "result: the model's rows cannot be matched with the rows of its data frame (is the "
        "frame's index unique, and was the frame left unchanged since the fit?)"
    )
