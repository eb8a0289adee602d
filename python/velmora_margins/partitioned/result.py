"""The result of velmora_margins.fit: what statsmodels' results offer that users read."""

from __future__ import annotations

import numpy as np
import pandas as pd

from velmora_margins.formula.design import Design
from velmora_margins.partitioned.sources import Source


class PartitionedModel:
    """A formula model whose rows stay in their partitions; the class name tells the link."""

    def __init__(
        self,
        formula: str,
        design: Design,
        source: Source,
        columns: list[str],
        binary: np.ndarray,
    ) -> None:
        self.formula = formula
        self.design = design
        self.source = source  # every column of the data
        self.columns = columns  # the columns the formula reads
        self.binary = binary  # whether each design column holds only 0 and 1
        self.exog_names = list(design.names)
        self.endog_names = design.outcome.code if design.outcome is not None else "y"


class Logit(PartitionedModel):
    pass


class Probit(PartitionedModel):
    pass


def normal_two_sided(z: np.ndarray) -> np.ndarray:
    from scipy.special import ndtr

    return np.asarray(2.0 * ndtr(-np.abs(z)))


class FitResult:
    """A fitted Logit or Probit model: coefficients, covariance and fit statistics."""

    def __init__(
        self,
        model: PartitionedModel,
        *,
        params: np.ndarray,
        cov: np.ndarray,
        llf: float,
        nobs: float,
        converged: bool,
        iterations: int,
        cov_type: str,
        cluster: str | None,
    ) -> None:
        names = model.exog_names
        self.model = model
        self.params = pd.Series(params, index=names, name="params")
        self._cov = pd.DataFrame(cov, index=names, columns=names)
        self.bse = pd.Series(np.sqrt(np.maximum(np.diag(cov), 0.0)), index=names, name="bse")
        self.llf = llf
        self.nobs = nobs
        self.converged = converged
        self.iterations = iterations
        self.cov_type = cov_type
        self.cluster = cluster

    def cov_params(self) -> pd.DataFrame:
        """Returns the covariance of the coefficients, labelled by column."""
        return self._cov.copy()

    @property
    def tvalues(self) -> pd.Series:
        return self.params / self.bse

    @property
    def pvalues(self) -> pd.Series:
        return pd.Series(normal_two_sided(self.tvalues.to_numpy()), index=self.params.index)

    def summary(self) -> str:
        """Returns a text table of the fit and its coefficients."""
        name = type(self.model).__name__
        covariance = self.cov_type + (f" by {self.cluster}" if self.cluster else "")
        head = [
            f"{name} fit of {self.model.formula}",
            f"rows: {self.nobs:g}   log-likelihood: {self.llf:.6f}   "
            f"iterations: {self.iterations}   converged: {self.converged}",
            f"covariance: {covariance}",
            "",
        ]
        table = pd.DataFrame(
            {
                "coef": self.params,
                "std err": self.bse,
                "z": self.tvalues,
                "P>|z|": self.pvalues,
                "[0.025": self.params - 1.959964 * self.bse,
                "0.975]": self.params + 1.959964 * self.bse,
            }
        )
        return "\n".join(head) + table.to_string(float_format=lambda v: f"{v:.6f}") + "\n"

    def __repr__(self) -> str:
        name = type(self.model).__name__
        return f"<velmora_margins FitResult: {name}, {len(self.params)} coefficients>"
