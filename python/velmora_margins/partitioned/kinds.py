"""Each kind of model's sums over a partition's rows, at given coefficients.

A kind is a small frozen record that pickles, so that Dask's workers can run its methods:
the sums of a pass (``sums``) and the scores summed by cluster (``cluster_scores``), each
a call of the kernels on the partition's arrays. The kernels' refusals of a row name the
row within the partition; here they are raised naming the partition too.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from velmora_margins import _kernels
from velmora_margins.errors import PartitionError
from velmora_margins.formula.design_columns import aligned
from velmora_margins.links import Link
from velmora_margins.partitioned.parts import Part

# How the kernels begin the messages of a linear predictor outside its link's domain or a
# mean outside its family's: values that a step too long reaches, which a shorter one avoids.
OUTSIDE = ("the predicted mean", "x b ")


class OutsideDomain(PartitionError):
    """The coefficients give a row a linear predictor or a mean that the model excludes."""


def refused(part: Part, error: ValueError) -> PartitionError:
    """Returns the kernel's refusal of a partition's row, naming the partition."""
    text = str(error)
    kind = OutsideDomain if text.startswith(OUTSIDE) else PartitionError
    return kind(f"{part.name}: {text}" if part.name else text)


def optional(values: np.ndarray | None) -> np.ndarray | None:
    return None if values is None else aligned(values)


@dataclass(frozen=True)
class BinaryKind:
    """Logit or Probit: the sums of their log-likelihood, Newton's method's."""

    link: Link

    def sums(self, part: Part, beta: np.ndarray, meat: bool) -> _kernels.FitSums:
        assert part.y is not None
        return _kernels.fit_sums(
            self.link.name,
            aligned(beta),
            part.x.argument(),
            aligned(part.y),
            optional(part.weights),
            meat,
            optional(part.offset),
        )

    def cluster_scores(
        self, part: Part, beta: np.ndarray, codes: np.ndarray, groups: int
    ) -> np.ndarray:
        assert part.y is not None
        return _kernels.cluster_scores(
            self.link.name,
            aligned(beta),
            part.x.argument(),
            aligned(part.y),
            optional(part.weights),
            codes,
            groups,
            optional(part.offset),
        )


@dataclass(frozen=True)
class GlmKind:
    """A family and link: the sums of Fisher scoring, at a scale."""

    family: str
    link: Link
    alpha: float = 1.0
    var_power: float = 1.0

    def sums(
        self, part: Part, beta: np.ndarray, meat: bool, scale: float = 1.0, constants: bool = True
    ) -> _kernels.GlmSums:
        """Returns the sums at beta; without constants, their loglik leaves out the terms in
        the outcome, weights and scale alone (see glm_sums)."""
        assert part.y is not None
        try:
            return _kernels.glm_sums(
                self.family,
                self.link.name,
                aligned(beta),
                part.x.argument(),
                aligned(part.y),
                optional(part.offset),
                optional(part.weights),
                None,
                scale=scale,
                alpha=self.alpha,
                var_power=self.var_power,
                with_observed=meat,
                with_meat=meat,
                with_constants=constants,
            )
        except ValueError as error:
            raise refused(part, error) from None

    def cluster_scores(
        self, part: Part, beta: np.ndarray, codes: np.ndarray, groups: int
    ) -> np.ndarray:
        assert part.y is not None
        try:
            return _kernels.glm_cluster_scores(
                self.family,
                self.link.name,
                aligned(beta),
                part.x.argument(),
                aligned(part.y),
                codes,
                groups,
                optional(part.offset),
                optional(part.weights),
                None,
                alpha=self.alpha,
                var_power=self.var_power,
            )
        except ValueError as error:
            raise refused(part, error) from None


@dataclass(frozen=True)
class NegbinKind:
    """NB2: the sums of its log-likelihood in the coefficients and alpha, the last."""

    def sums(self, part: Part, params: np.ndarray, meat: bool) -> _kernels.FitSums:
        assert part.y is not None
        try:
            return _kernels.negbin_sums(
                aligned(params),
                part.x.argument(),
                aligned(part.y),
                optional(part.weights),
                meat,
                optional(part.offset),
            )
        except ValueError as error:
            raise refused(part, error) from None

    def cluster_scores(
        self, part: Part, params: np.ndarray, codes: np.ndarray, groups: int
    ) -> np.ndarray:
        assert part.y is not None
        try:
            return _kernels.negbin_cluster_scores(
                aligned(params),
                part.x.argument(),
                aligned(part.y),
                optional(part.weights),
                codes,
                groups,
                optional(part.offset),
            )
        except ValueError as error:
            raise refused(part, error) from None


@dataclass(frozen=True)
class LinearKind:
    """Least squares, with the rows' WLS weights."""

    def sums(self, part: Part, beta: np.ndarray, meat: bool) -> _kernels.LinearSums:
        assert part.y is not None
        try:
            return _kernels.ols_sums(part.x.argument(), aligned(part.y), optional(part.weights))
        except ValueError as error:
            raise refused(part, error) from None

    def meat(self, part: Part, beta: np.ndarray, bread: np.ndarray) -> _kernels.LinearMeat:
        assert part.y is not None
        return _kernels.ols_meat(
            aligned(beta),
            aligned(bread),
            part.x.argument(),
            aligned(part.y),
            optional(part.weights),
        )

    def cluster_scores(
        self, part: Part, beta: np.ndarray, codes: np.ndarray, groups: int
    ) -> np.ndarray:
        assert part.y is not None
        return _kernels.ols_cluster_scores(
            aligned(beta), part.x.argument(), aligned(part.y), optional(part.weights), codes, groups
        )


Kind = BinaryKind | GlmKind | NegbinKind | LinearKind


def sums_of(part: Part, kind: Any, beta: np.ndarray, meat: bool, **options: Any) -> Any:
    """Returns a partition's sums of the kind at beta (a task that pickles for Dask)."""
    return kind.sums(part, beta, meat, **options)
