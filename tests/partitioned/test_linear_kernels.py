"""The sums behind least squares (ols_sums, ols_meat, ols_cluster_scores) against
statsmodels' OLS and WLS on its bundled data, and the offset that contrast_sums, fit_sums
and cluster_scores add to every linear predictor."""

import functools
import itertools
import operator
import pickle
import re

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import special

from velmora_margins import _kernels


def refused(message):
    """Expects a ValueError of exactly the given message."""
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


def relative_error(got, want):
    return np.max(np.abs(np.asarray(got) - want)) / np.max(np.abs(want))


def fair_rows():
    """X and y of the affairs survey: the marriage's rating on the wife's traits."""
    data = sm.datasets.fair.load_pandas().data
    x = sm.add_constant(data[["age", "yrs_married", "children", "religious", "educ"]])
    return np.asarray(x, dtype=float), data["rate_marriage"].to_numpy(float), data


def longley_rows():
    """X and y of Longley's data, the regressors standardized: raw, they are collinear
    enough (a condition number near 1e9) that two correct evaluations differ in the
    seventh digit."""
    data = sm.datasets.longley.load_pandas()
    exog = (data.exog - data.exog.mean()) / data.exog.std()
    return np.asarray(sm.add_constant(exog), dtype=float), data.endog.to_numpy(float)


@pytest.fixture(scope="module", params=["ols-longley", "wls-fair", "ols-fair"])
def linear(request):
    """(X, y, weights or None, the statsmodels result, cluster groups)."""
    kind, data = request.param.split("-")
    if data == "longley":
        x, y = longley_rows()
    else:
        x, y, _ = fair_rows()
    n = len(y)
    weights = 1.0 + (np.arange(n) % 7) / 3 if kind == "wls" else None
    model = sm.WLS(y, x, weights=weights) if weights is not None else sm.OLS(y, x)
    groups = (np.arange(n) * 13) % (5 if n < 100 else 40)
    return x, y, weights, model, groups


class TestAgainstStatsmodels:
    def test_normal_equations_and_log_likelihood(self, linear):
        x, y, weights, model, _ = linear
        result = model.fit()
        sums = _kernels.ols_sums(x, y, weights)
        beta = np.linalg.solve(sums.xtwx, sums.xtwy)
        assert relative_error(beta, result.params) <= 1e-10
        w = np.ones(len(y)) if weights is None else weights
        assert relative_error(sums.xtwx, (x * w[:, None]).T @ x) <= 1e-13
        assert sums.ytwy == pytest.approx(w @ y**2, rel=1e-13)
        assert sums.weight == pytest.approx(w.sum(), rel=1e-14)
        assert sums.log_weight == pytest.approx(np.log(w).sum(), rel=1e-13, abs=1e-12)
        assert sums.rows == len(y)
        meat = _kernels.ols_meat(result.params, result.normalized_cov_params, x, y, weights)
        assert meat.ssr == pytest.approx(result.ssr, rel=1e-12)
        half = len(y) / 2
        loglik = -half * np.log(meat.ssr) - (1 + np.log(np.pi / half)) * half
        loglik += 0.5 * sums.log_weight
        assert loglik == pytest.approx(result.llf, rel=1e-12)

    @pytest.mark.parametrize("cov_type", ["HC0", "HC1", "HC2", "HC3"])
    def test_robust_covariances(self, linear, cov_type):
        x, y, weights, model, _ = linear
        result = model.fit()
        bread = result.normalized_cov_params
        meat = _kernels.ols_meat(result.params, bread, x, y, weights)
        n, k = x.shape
        middle = {"HC0": meat.hc0, "HC1": meat.hc0 * n / (n - k), "HC2": meat.hc2, "HC3": meat.hc3}[
            cov_type
        ]
        want = model.fit(cov_type=cov_type).cov_params()
        assert relative_error(bread @ middle @ bread, want) <= 1e-10
        leverage = np.diag(x @ bread @ x.T) * (1 if weights is None else weights)
        assert meat.max_leverage == pytest.approx(leverage.max(), rel=1e-12)

    def test_cluster_covariance(self, linear):
        x, y, weights, model, groups = linear
        result = model.fit()
        count = groups.max() + 1
        scores = _kernels.ols_cluster_scores(
            result.params, x, y, weights, groups.astype(np.int64), count
        )
        n, k = x.shape
        correction = count / (count - 1) * (n - 1) / (n - k)
        bread = result.normalized_cov_params
        got = bread @ (scores.T @ scores * correction) @ bread
        want = model.fit(cov_type="cluster", cov_kwds={"groups": groups}).cov_params()
        assert relative_error(got, want) <= 1e-10


class TestParts:
    def test_parts_add_up_and_pickle(self):
        x, y, _ = fair_rows()
        w = 1.0 + np.arange(len(y)) % 4
        cuts = [0, 5, 3000, len(y)]
        pieces = list(itertools.pairwise(cuts))
        whole = _kernels.ols_sums(x, y, w)
        total = functools.reduce(
            operator.add, [_kernels.ols_sums(x[a:b], y[a:b], w[a:b]) for a, b in pieces]
        )
        assert relative_error(total.xtwx, whole.xtwx) <= 1e-14
        assert total.rows == whole.rows
        assert total.ytwy == pytest.approx(whole.ytwy, rel=1e-14)
        beta = np.linalg.solve(whole.xtwx, whole.xtwy)
        bread = np.linalg.inv(whole.xtwx)
        meat = _kernels.ols_meat(beta, bread, x, y, w)
        parts = [_kernels.ols_meat(beta, bread, x[a:b], y[a:b], w[a:b]) for a, b in pieces]
        summed = functools.reduce(operator.add, parts)
        for name in ("hc0", "hc2", "hc3"):
            assert relative_error(getattr(summed, name), getattr(meat, name)) <= 1e-13
        assert summed.max_leverage == meat.max_leverage == max(p.max_leverage for p in parts)
        for record in (whole, meat):
            again = pickle.loads(pickle.dumps(record))
            assert type(again) is type(record)
            assert repr(again) == repr(record)

    def test_refusals(self):
        x = np.ones((3, 1))
        with refused("y must be finite; row 1 holds nan"):
            _kernels.ols_sums(x, np.array([1.0, np.nan, 2.0]), None)
        with refused("weights must be finite and at least 0; row 2 holds -0.5"):
            _kernels.ols_sums(x, np.ones(3), np.array([1.0, 1.0, -0.5]))
        with pytest.raises(ValueError, match="LinearSums: xtwy of 2 values for 1 coefficients"):
            _kernels.LinearSums(np.ones((1, 1)), np.ones(2), 0.0, 0.0, 0.0, 0)


class TestOffsets:
    def test_fit_sums_take_the_offset_of_statsmodels_logit(self):
        x, _, data = fair_rows()
        y = (data["affairs"] > 0).to_numpy(float)
        offset = 0.3 * np.cos(np.arange(len(y)))
        model = sm.Logit(y, x, offset=offset)
        beta = model.fit(disp=0).params
        got = _kernels.fit_sums("logit", beta, x, y, None, True, offset)
        assert got.loglik == pytest.approx(model.loglike(beta), rel=1e-12)
        assert relative_error(got.information, -model.hessian(beta)) <= 1e-12
        codes = (np.arange(len(y)) % 3).astype(np.int64)
        scores = _kernels.cluster_scores("logit", beta, x, y, None, codes, 3, offset)
        want = np.zeros((3, x.shape[1]))
        np.add.at(want, codes, model.score_obs(beta))
        assert relative_error(scores, want) <= 1e-11

    @pytest.mark.parametrize("link", ["log", "logit", "cloglog", "inverse_power"])
    def test_contrast_sums_add_the_offset_at_the_rows_and_at_every_side(self, link):
        rng = np.random.default_rng(3)
        n = 700
        x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, n)])
        beta = np.array([2.0, 0.3, -0.4])
        offset = rng.uniform(0.0, 1.0, n)
        values = _kernels.link_values
        derivatives = [
            ([1], np.ones((1, 1))),
            ([1], np.ones((1, 1)), [2], np.ones((1, 1)), None, False),
        ]
        levels = [([2], np.zeros((1, 1)), [np.ones((1, 1))], True)]
        predictions = [([], np.zeros((1, 0))), ([2], np.zeros((1, 1)))]
        got = _kernels.contrast_sums(link, beta, x, None, derivatives, levels, predictions, offset)

        def at(column, value):
            """The linear predictors with a column set to a value, and the offset."""
            return np.where(np.arange(3) == column, value, x) @ beta + offset

        own = x @ beta + offset
        want = [
            values(link, own).pdf.sum() * beta[1],
            values(link, at(2, 1.0)).pdf.sum() * beta[1],
            (values(link, at(2, 1.0)).cdf - values(link, at(2, 0.0)).cdf).sum(),
            values(link, own).cdf.sum(),
            values(link, at(2, 0.0)).cdf.sum(),
        ]
        np.testing.assert_allclose(got.effects, want, rtol=1e-12)
        gradient = (x * values(link, own).pdf[:, None]).sum(axis=0)
        np.testing.assert_allclose(got.gradients[3], gradient, rtol=1e-12)

    def test_an_offset_of_zeros_gives_the_bits_of_none(self):
        rng = np.random.default_rng(8)
        n = 3000
        x = np.column_stack([np.ones(n), rng.normal(size=n), rng.integers(0, 2, n)])
        beta = np.array([-0.3, 0.8, 0.5])
        y = (rng.random(n) < special.expit(x @ beta)).astype(float)
        zeros = np.zeros(n)
        derivatives = [([1], np.ones((1, 1)))]
        levels = [([2], np.zeros((1, 1)), [np.ones((1, 1))], True)]
        for link in ("probit", "logit", "cloglog"):
            a = _kernels.contrast_sums(link, beta, x, None, derivatives, levels)
            b = _kernels.contrast_sums(link, beta, x, None, derivatives, levels, (), zeros)
            assert a.effects.tobytes() == b.effects.tobytes()
            assert a.gradients.tobytes() == b.gradients.tobytes()
        for link in ("probit", "logit"):
            a = _kernels.fit_sums(link, beta, x, y, None, True)
            b = _kernels.fit_sums(link, beta, x, y, None, True, zeros)
            assert (a.loglik, a.score.tobytes(), a.meat.tobytes()) == (
                b.loglik,
                b.score.tobytes(),
                b.meat.tobytes(),
            )

    def test_the_offset_names_its_rows(self):
        x = np.ones((4, 1))
        with refused(
            "the predicted mean exp(x b + offset) overflows at row 2: x b + offset = 710.5"
        ):
            _kernels.contrast_sums(
                "log",
                np.array([1.0]),
                x,
                None,
                [([0], np.ones((1, 1)))],
                [],
                (),
                np.array([0.0, 0.0, 709.5, 0.0]),
            )
        with pytest.raises(ValueError, match="offset of 3 values for x of 4 rows"):
            _kernels.contrast_sums("log", np.array([1.0]), x, None, [], [], (), np.zeros(3))
