"""Adapting a fitted result to the effects' model interface.

A fit of velmora_margins carries its own model, which is the interface already. A
statsmodels result is read here, into a model held in memory: its coefficients,
covariance, design matrix and, from a formula, the data frame and the recipe of each
design column. statsmodels tells a result's model by the class of its model object (Logit,
Probit); that class name is read here and nowhere else, and here too a model is shown as
a statsmodels result to code that reads those (``velmora.zarn``).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.effects.in_memory import InMemoryModel
from velmora_margins.effects.model import Model
from velmora_margins.errors import ArgumentError, DesignError
from velmora_margins.formula.design import binary_columns
from velmora_margins.formula.reader import read_design
from velmora_margins.links import LINKS, Link

# The statsmodels models whose results the effects take, by class name in lower case.
MODEL_LINKS = {"logit": LINKS["logit"], "probit": LINKS["probit"]}


def adapt(result: Any) -> Model:
    """Returns the model interface of a fitted result, or fails naming what is missing."""
    model = getattr(result, "model", None)
    if isinstance(model, Model):
        return model
    link = MODEL_LINKS.get(type(model).__name__.lower())
    if link is None:
        what = type(result).__name__ if model is None else type(model).__name__
        raise TypeError(
            f"result: expected a fitted Logit or Probit result (statsmodels.formula.api.logit "
            f"or probit, then .fit()), got a result of {what}"
        )
    return read_result(result, model, link)


def read_result(result: Any, model: Any, link: Link) -> InMemoryModel:
    """Returns a statsmodels result's model, held in memory."""
    if getattr(model, "offset", None) is not None or getattr(model, "exposure", None) is not None:
        raise ArgumentError(
            "result", "the model has an offset, which velmora_margins does not take"
        )
    exog = getattr(model, "exog", None)
    if exog is None:
        raise ArgumentError(
            "result", "its design matrix is gone (was remove_data() called?); fit the model again"
        )
    exog = np.asarray(exog)
    if exog.dtype != np.float64:
        exog = exog.astype(np.float64)
    params = np.asarray(result.params, dtype=np.float64).reshape(-1)
    cov = np.asarray(result.cov_params(), dtype=np.float64)
    k = exog.shape[1] if exog.ndim == 2 else -1
    if exog.ndim != 2 or params.shape != (k,) or cov.shape != (k, k):
        raise ArgumentError(
            "result",
            f"{params.size} coefficients, a covariance of shape {cov.shape} and a design of "
            f"shape {exog.shape} do not fit together",
        )
    names = tuple(str(n) for n in getattr(model, "exog_names", None) or range(k))
    fitted = InMemoryModel(link, params, cov, names, binary_columns(exog), exog)
    data = getattr(model, "data", None)
    design_info = getattr(data, "model_spec", None) or getattr(data, "design_info", None)
    formula = getattr(model, "formula", None)
    if design_info is None or formula is None:
        return fitted
    frame = getattr(data, "frame", None)
    if not isinstance(frame, pd.DataFrame):
        raise ArgumentError(
            "result",
            "the data frame the formula was fitted on cannot be recovered from the result; "
            "fit it again with statsmodels.formula.api and a pandas DataFrame",
        )
    try:
        design = read_design(design_info, list(frame.columns), str(formula))
    except DesignError as error:
        raise ArgumentError("result", str(error)) from None
    positions = row_positions(frame, getattr(data, "row_labels", None), fitted.rows)
    return InMemoryModel(
        link, params, cov, names, fitted.binary, exog, design, frame=frame, positions=positions
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
    raise ArgumentError(
        "result",
        "the model's rows cannot be matched with the rows of its data frame (is the frame's "
        "index unique, and was the frame left unchanged since the fit?)",
    )


class StatsmodelsShaped:
    """A fitted model in the shape of a statsmodels result: ``params``, ``cov_params()``
    and a model object whose class names its link and which holds ``exog`` and
    ``exog_names``."""

    def __init__(
        self, link: Link, params: np.ndarray, cov: np.ndarray, exog: np.ndarray, names: list[str]
    ) -> None:
        model_class = type(link.title, (), {})  # statsmodels' models are told by class name
        self.model = model_class()
        self.model.exog = exog
        self.model.exog_names = names
        self.params = params
        self._cov = cov

    def cov_params(self) -> np.ndarray:
        return self._cov
