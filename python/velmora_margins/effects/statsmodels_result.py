"""Adapting a fitted result to the effects' model interface.

A fit of velmora_margins carries its own model, which is the interface already. A
statsmodels result is read here, into a model held in memory: its coefficients and
covariance (those of the design columns, without a model's extra parameters such as the
negative binomial's alpha), design matrix, offset and weights and, from a formula, the data
frame and the recipe of each design column. What each kind of statsmodels model is to the
effects is read in ``statsmodels_models``; here too a model is shown as a statsmodels result
to code that reads those (``velmora.zarn``).
"""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np
import pandas as pd

from velmora_margins.effects.in_memory import InMemoryModel
from velmora_margins.effects.model import Model
from velmora_margins.effects.statsmodels_models import TAKEN, fit_weights, model_link, row_offset
from velmora_margins.errors import ArgumentError, DesignError
from velmora_margins.formula.design import binary_columns
from velmora_margins.formula.reader import read_design
from velmora_margins.links import Link


def adapt(result: Any) -> Model:
    """Returns the model interface of a fitted result, or fails naming what is missing."""
    model = getattr(result, "model", None)
    if isinstance(model, Model):
        return model
    link = None if model is None else model_link(model)
    if link is None:
        what = type(result).__name__ if model is None else type(model).__name__
        raise TypeError(
            f"result: expected a fitted {TAKEN} result of statsmodels (best from "
            f"statsmodels.formula.api, then .fit()), got a result of {what}"
        )
    return read_result(result, model, link)


def coefficients(result: Any, model: Any, k: int) -> tuple[np.ndarray, np.ndarray, tuple[str, ...]]:
    """Returns the coefficients of the k design columns, their covariance and names: a
    model's extra parameters (statsmodels puts them last, and names them after the design
    columns' names) are dropped: by the design columns' names where the result has names,
    by position where it has not."""
    raw_params = result.params
    raw_cov = result.cov_params()
    params = np.asarray(raw_params, dtype=np.float64).reshape(-1)
    cov = np.asarray(raw_cov, dtype=np.float64)
    extra = int(getattr(model, "k_extra", 0) or 0)
    if params.shape != (k + extra,) or cov.shape != (k + extra, k + extra):
        raise ArgumentError(
            "result",
            f"{params.size} coefficients, a covariance of shape {cov.shape} and a design of "
            f"{k} columns (and {extra} extra parameters) do not fit together",
        )
    all_names = [str(n) for n in (getattr(model, "exog_names", None) or range(k + extra))]
    names = tuple(all_names[:k])
    if not extra:
        return params, cov, names
    keys = list(names)
    if (
        isinstance(raw_params, pd.Series)
        and isinstance(raw_cov, pd.DataFrame)
        and raw_params.index.is_unique
        and set(keys) <= set(raw_params.index)
    ):
        params = np.asarray(raw_params.loc[keys], dtype=np.float64)
        cov = np.asarray(raw_cov.loc[keys, keys], dtype=np.float64)
        return params, cov, names
    return np.ascontiguousarray(params[:k]), np.ascontiguousarray(cov[:k, :k]), names


def read_result(result: Any, model: Any, link: Link) -> InMemoryModel:
    """Returns a statsmodels result's model, held in memory."""
    exog = getattr(model, "exog", None)
    if exog is None:
        raise ArgumentError(
            "result", "its design matrix is gone (was remove_data() called?); fit the model again"
        )
    exog = np.asarray(exog)
    if exog.dtype != np.float64:
        exog = exog.astype(np.float64)
    if exog.ndim != 2:
        raise ArgumentError("result", f"a design matrix of shape {exog.shape}, not rows x columns")
    rows, k = exog.shape
    params, cov, names = coefficients(result, model, k)
    offset = row_offset(model, rows)
    weights = fit_weights(model, rows)
    fitted = InMemoryModel(
        link, params, cov, names, binary_columns(exog), exog, offset=offset, fit_weights=weights
    )
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
    return dataclasses.replace(fitted, design=design, frame=frame, positions=positions)


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
