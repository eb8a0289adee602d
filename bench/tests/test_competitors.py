"""The competitors read the same data: zarn through the stand-in fit, NumPy and statsmodels."""

import numpy as np
import numpy.typing as npt
import pytest

import velmora
from bench.data import column_names, fisher_covariance, make_beta, make_design
from bench.numpy_ame import average_marginal_effects
from bench.stand_ins import fitted

Design = tuple[npt.NDArray[np.float64], list[str]]


@pytest.fixture(scope="module")
def design() -> Design:
    return make_design(4000, 7, 2), column_names(7, 2)


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("method", ["kova", "sm"])
def test_numpy_agrees_with_zarn_on_the_stand_in(
    kind: str,
    method: str,
    design: Design,
) -> None:
    X, names = design
    beta = make_beta(7, 2)
    cov = fisher_covariance(kind, X, beta)
    frame = velmora.zarn(fitted(kind, X, names, beta, cov), None, method)  # type: ignore[arg-type]
    columns, ames, ses = average_marginal_effects(kind, beta, cov, X, [0], method, 1000)
    assert list(frame.index) == [names[j] for j in columns]
    np.testing.assert_allclose(frame["dy/dx"], ames, rtol=1e-10)
    np.testing.assert_allclose(frame["Std. Err"], ses, rtol=1e-10)


@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_the_stand_in_reads_as_the_statsmodels_fit_it_stands_for(
    kind: str,
    design: Design,
) -> None:
    import statsmodels.api as sm

    X, _ = design
    y = (np.random.default_rng(1).random(len(X)) < 0.5).astype(float)
    fit = (sm.Logit if kind == "logit" else sm.Probit)(y, X).fit(disp=0)
    stand_in = fitted(kind, X, fit.model.exog_names, fit.params, fit.cov_params())
    expected = velmora.zarn(fit, None, "sm")
    got = velmora.zarn(stand_in, None, "sm")
    # Exact: the stand-in hands zarn the fit's own arrays, so the pass is the same.
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())
    assert list(got.index) == list(expected.index)
