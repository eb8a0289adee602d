"""A fitted model as velmora reads it, built around the benchmark's own beta and covariance.

zarn reads a duck-typed result: model (whose class name, Logit or Probit,
selects the link), model.exog, model.exog_names, params and cov_params().
"""

from typing import Any


class Logit:
    """A model object as zarn reads it: the class name, exog and exog_names."""

    def __init__(self, exog: Any, exog_names: list[str]) -> None:
        self.exog = exog
        self.exog_names = exog_names


class Probit(Logit):
    pass


class FittedModel:
    """A results object as zarn reads it: model, params and cov_params()."""

    def __init__(self, model: Logit, params: Any, cov: Any) -> None:
        self.model = model
        self.params = params
        self._cov = cov

    def cov_params(self) -> Any:
        return self._cov


def fitted(kind: str, exog: Any, names: list[str], params: Any, cov: Any) -> FittedModel:
    """Returns a Logit or Probit (kind "logit" or "probit") fit with these arrays."""
    model_class = Logit if kind == "logit" else Probit
    return FittedModel(model_class(exog, names), params, cov)
