"""The sums behind fitting generalized linear models and the negative binomial model:
velmora_margins._kernels.glm_sums, glm_cluster_scores, negbin_sums and
negbin_cluster_scores.

Checked against statsmodels' GLM (loglike at a scale, score, hessian expected and observed,
score_obs, the family's deviance and Pearson's chi-squared) for every family and the links
it offers, and its NegativeBinomial(loglike_method="nb2"), on its bundled data sets, with
offsets, frequency and variance weights; against mpmath where statsmodels' own digamma
differences lose digits; for parts that add up; and for the bad values they refuse by row.
"""

import functools
import itertools
import operator
import pickle
import re
import warnings

import mpmath
import numpy as np
import pytest
import statsmodels.api as sm
from scipy import special  # statsmodels' own dependency

from velmora_margins import _kernels


def refused(message):
    """Expects a ValueError of exactly the given message."""
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


L = sm.families.links


def relative_error(got, want):
    """Largest difference, relative to the largest entry of want."""
    return np.max(np.abs(np.asarray(got) - want)) / np.max(np.abs(want))


def design(frame, columns):
    """The columns, each scaled to unit spread, and a constant."""
    x = frame[columns].to_numpy(dtype=float)
    x = (x - x.mean(axis=0)) / x.std(axis=0)
    return np.column_stack([np.ones(len(x)), x])


def bundled(name):
    """(X, y, offset, frequency weights, variance weights) of a bundled data set."""
    if name == "spector":
        data = sm.datasets.spector.load_pandas()
        frame = data.exog.assign(y=data.endog)
        x, y = design(frame, ["GPA", "TUCE", "PSI"]), frame["y"].to_numpy(float)
    elif name == "star98":  # proportions of pupils above the median, trials as var weights
        frame = sm.datasets.star98.load_pandas().data
        trials = (frame["NABOVE"] + frame["NBELOW"]).to_numpy(float)
        x = design(frame, ["LOWINC", "PERASIAN", "PERBLACK", "PERHISP"])
        y = frame["NABOVE"].to_numpy(float) / trials
        return x, y, None, None, trials
    elif name == "cpunish":
        frame = sm.datasets.cpunish.load_pandas().data
        x, y = design(frame, ["INCOME", "PERPOVERTY", "SOUTH"]), frame["EXECUTIONS"].to_numpy(float)
    elif name == "randhie":
        frame = sm.datasets.randhie.load_pandas().data.iloc[:3000]
        x, y = design(frame, ["lncoins", "idp", "lpi", "physlm"]), frame["mdvis"].to_numpy(float)
    elif name == "scotland":
        frame = sm.datasets.scotland.load_pandas().data
        x, y = design(frame, ["COUTAX", "UNEMPF", "AGE"]), frame["YES"].to_numpy(float)
    elif name == "longley":
        frame = sm.datasets.longley.load_pandas().data
        x, y = design(frame, ["GNP", "UNEMP", "ARMED"]), frame["TOTEMP"].to_numpy(float)
    else:  # fair: the time spent in affairs, a rate of at least 0
        frame = sm.datasets.fair.load_pandas().data.iloc[:2000]
        x, y = (
            design(frame, ["rate_marriage", "age", "religious"]),
            frame["affairs"].to_numpy(float),
        )
    n = len(y)
    rows = np.arange(n)
    offset = 0.05 * np.sin(rows)
    frequency = (1 + rows % 3).astype(float)
    variance = 0.5 + (rows % 5) / 4
    return x, y, offset, frequency, variance


# Each family with its links, the data it is checked on and its statsmodels family.
FAMILIES = {
    "binomial": (
        ["logit", "probit", "cauchy", "log", "cloglog", "loglog", "identity"],
        ["spector", "star98"],
        lambda link: sm.families.Binomial(link),
    ),
    "poisson": (["log", "identity", "sqrt"], ["cpunish", "randhie"], sm.families.Poisson),
    "gaussian": (["identity", "log", "inverse_power"], ["longley"], sm.families.Gaussian),
    "gamma": (["inverse_power", "log", "identity"], ["scotland"], sm.families.Gamma),
    "inverse_gaussian": (
        ["inverse_squared", "inverse_power", "log", "identity"],
        ["scotland"],
        sm.families.InverseGaussian,
    ),
    "negative_binomial": (
        ["log"],
        ["randhie", "cpunish"],
        lambda link: sm.families.NegativeBinomial(link, alpha=0.8),
    ),
    "tweedie": (["log"], ["fair"], lambda link: sm.families.Tweedie(link, var_power=1.6)),
}
LINKS = {
    "logit": L.Logit,
    "probit": L.Probit,
    "cauchy": L.Cauchy,
    "log": L.Log,
    "cloglog": L.CLogLog,
    "loglog": L.LogLog,
    "identity": L.Identity,
    "sqrt": L.Sqrt,
    "inverse_power": L.InversePower,
    "inverse_squared": L.InverseSquared,
}
CASES = [
    (family, link, data)
    for family, (links, datasets, _) in FAMILIES.items()
    for link in links
    for data in datasets
]
PARAMETERS = {"negative_binomial": {"alpha": 0.8}, "tweedie": {"var_power": 1.6}}


def wright_bessel_terms(y, mu, var_weights, freq_weights, scale, p):
    """The Tweedie log-likelihood's terms of the rows with y > 0 that depend on y and the
    scale alone: log(1 / y) + log W(-a, 0, z), W Wright's generalized Bessel function."""
    a = (2 - p) / (1 - p)
    phi = scale / var_weights
    positive = y > 0
    z = ((p - 1) * phi[positive] / y[positive]) ** a / ((2 - p) * phi[positive])
    terms = np.log(1 / y[positive]) + special.log_wright_bessel(-a, 0, z)
    return np.sum(freq_weights[positive] * terms)


@pytest.fixture(scope="module", params=CASES, ids=lambda c: "-".join(c))
def glm_case(request):
    """(family, link, X, y, offset, freq, var, statsmodels model, parameters to try)."""
    family, link, data = request.param
    x, y, offset, frequency, variance = bundled(data)
    sm_family = FAMILIES[family][2](LINKS[link]())
    base = np.zeros(x.shape[1])
    base[0] = sm_family.link(np.array([np.mean(y)]))[0]
    offset = None if offset is None else offset * min(1.0, abs(base[0]))
    with warnings.catch_warnings():  # links outside a family's safe ones are the point here
        warnings.simplefilter("ignore", sm.tools.sm_exceptions.DomainWarning)
        model = sm.GLM(
            y, x, family=sm_family, offset=offset, freq_weights=frequency, var_weights=variance
        )
    # The mean near y's mean in every row: the link of the mean, small slopes of both signs.
    slope = 0.05 * abs(base[0]) if base[0] != 0 else 0.05
    params = base + slope * np.where(np.arange(x.shape[1]) % 2, 1.0, -0.5) * (
        np.arange(x.shape[1]) > 0
    )
    return family, link, x, y, offset, frequency, variance, model, params


class TestGlmAgainstStatsmodels:
    def test_loglik_deviance_and_pearson(self, glm_case):
        family, link, x, y, offset, freq, var, model, params = glm_case
        scale = 1.3
        got = _kernels.glm_sums(
            family, link, params, x, y, offset, freq, var, scale=scale, **PARAMETERS.get(family, {})
        )
        mu = model.predict(params)
        ones = np.ones(len(y))
        fw = ones if freq is None else freq
        vw = ones if var is None else var
        loglik = model.family.loglike(y, mu, vw, fw, scale)
        if family == "tweedie":
            loglik -= wright_bessel_terms(y, mu, vw, fw, scale, 1.6)
        assert got.loglik == pytest.approx(loglik, rel=1e-12, abs=0)
        assert got.deviance == pytest.approx(model.family.deviance(y, mu, vw, fw), rel=1e-12, abs=0)
        chi2 = np.sum(fw * vw * (y - mu) ** 2 / model.family.variance(mu))
        assert got.pearson_chi2 == pytest.approx(chi2, rel=1e-12, abs=0)
        assert (got.weight, got.rows) == (fw.sum(), len(y))
        assert got.observed is None
        assert got.meat is None

    def test_loglik_without_the_terms_of_the_data_alone(self, glm_case):
        # The iterations of a fit take the sums without the log-likelihood's terms in
        # y, the weights and the scale alone: what is left moves with the mean as
        # statsmodels' log-likelihood does, and the terms set apart do not move with it.
        family, link, x, y, offset, freq, var, model, params = glm_case
        options = {"scale": 1.3, **PARAMETERS.get(family, {})}
        other = params * 0.9
        full = [
            _kernels.glm_sums(family, link, b, x, y, offset, freq, var, **options)
            for b in (params, other)
        ]
        bare = [
            _kernels.glm_sums(
                family, link, b, x, y, offset, freq, var, with_constants=False, **options
            )
            for b in (params, other)
        ]
        assert [s.constant for s in bare] == [0.0, 0.0]
        assert full[0].constant == pytest.approx(full[1].constant, rel=1e-13, abs=0)
        if family in ("binomial", "poisson", "gamma", "negative_binomial"):
            # log-gamma functions of y, 0 for an outcome of 0s and 1s alone
            assert (full[0].constant != 0.0) == (not np.isin(y, (0.0, 1.0)).all())
        for with_them, without in zip(full, bare, strict=True):
            assert without.loglik == pytest.approx(
                with_them.loglik - with_them.constant, rel=1e-12, abs=1e-9
            )
            assert (without.deviance, without.weight) == (with_them.deviance, with_them.weight)
        ones = np.ones(len(y))
        fw = ones if freq is None else freq
        vw = ones if var is None else var
        moved = [model.family.loglike(y, model.predict(b), vw, fw, 1.3) for b in (params, other)]
        got = bare[0].loglik - bare[1].loglik
        assert got == pytest.approx(moved[0] - moved[1], rel=1e-9, abs=1e-9 * abs(moved[0]))

    def test_score_information_and_meat(self, glm_case):
        family, link, x, y, offset, freq, var, model, params = glm_case
        got = _kernels.glm_sums(
            family,
            link,
            params,
            x,
            y,
            offset,
            freq,
            var,
            with_observed=True,
            with_meat=True,
            **PARAMETERS.get(family, {}),
        )
        obs = model.score_obs(params, scale=1.0)
        assert (
            np.max(np.abs(got.score - model.score(params, scale=1.0)))
            <= 1e-12 * np.abs(obs).sum(axis=0).max()
        )
        expected = -model.hessian(params, scale=1.0, observed=False)
        observed = -model.hessian(params, scale=1.0, observed=True)
        assert relative_error(got.information, expected) <= 1e-12
        assert relative_error(got.observed, observed) <= 1e-12
        # statsmodels takes the frequency weights once, not squared, into the meat.
        fw = np.ones(len(y)) if freq is None else freq
        unsquared = obs / np.sqrt(fw)[:, None]
        assert relative_error(got.meat, unsquared.T @ unsquared) <= 1e-12
        for m in (got.information, got.observed, got.meat):
            np.testing.assert_array_equal(m, m.T)

    def test_cluster_scores(self, glm_case):
        family, link, x, y, offset, freq, var, model, params = glm_case
        codes = (np.arange(len(y)) * 7919) % 11
        got = _kernels.glm_cluster_scores(
            family,
            link,
            params,
            x,
            y,
            codes.astype(np.int64),
            12,
            offset,
            freq,
            var,
            **PARAMETERS.get(family, {}),
        )
        want = np.zeros((12, x.shape[1]))
        np.add.at(want, codes, model.score_obs(params, scale=1.0))
        assert relative_error(got, want) <= 1e-12
        assert not got[11].any()


def test_a_fisher_step_from_the_sums_is_statsmodels_irls_fit():
    """Fisher scoring from the sums lands on statsmodels' estimate, scale and covariance."""
    x, y, offset, freq, var = bundled("scotland")
    model = sm.GLM(
        y, x, family=sm.families.Gamma(L.Log()), offset=offset, freq_weights=freq, var_weights=var
    )
    want = model.fit(tol=1e-13)
    beta = np.zeros(x.shape[1])
    beta[0] = np.log(np.mean(y))
    for _ in range(50):
        sums = _kernels.glm_sums("gamma", "log", beta, x, y, offset, freq, var)
        step = np.linalg.solve(sums.information, sums.score)
        beta = beta + step
        if np.max(np.abs(step)) < 1e-13:
            break
    sums = _kernels.glm_sums("gamma", "log", beta, x, y, offset, freq, var)
    scale = sums.pearson_chi2 / (sums.weight - x.shape[1])
    assert relative_error(beta, want.params) <= 1e-10
    assert scale == pytest.approx(want.scale, rel=1e-10)
    assert relative_error(scale * np.linalg.inv(sums.information), want.cov_params()) <= 1e-8
    at_scale = _kernels.glm_sums("gamma", "log", beta, x, y, offset, freq, var, scale=scale)
    assert at_scale.loglik == pytest.approx(want.llf, rel=1e-10)


class TestGlmParts:
    def test_parts_add_up_and_pickle(self):
        x, y, offset, freq, var = bundled("randhie")
        args = ("poisson", "log", np.array([0.9, 0.1, -0.1, 0.05, 0.2]))
        whole = _kernels.glm_sums(*args, x, y, offset, freq, var, with_meat=True)
        cuts = [0, 1, 1700, 3000]
        parts = [
            _kernels.glm_sums(
                *args, x[a:b], y[a:b], offset[a:b], freq[a:b], var[a:b], with_meat=True
            )
            for a, b in itertools.pairwise(cuts)
        ]
        total = functools.reduce(operator.add, parts)
        for name in ("loglik", "deviance", "pearson_chi2", "weight"):
            assert getattr(total, name) == pytest.approx(getattr(whole, name), rel=1e-13)
        for name in ("score", "information", "meat"):
            assert relative_error(getattr(total, name), getattr(whole, name)) <= 1e-13
        assert total.rows == whole.rows == 3000
        assert total.observed is None
        again = pickle.loads(pickle.dumps(whole))
        assert type(again) is _kernels.GlmSums
        assert repr(again) == repr(whole)
        np.testing.assert_array_equal(again.meat, whole.meat)
        with pytest.raises(ValueError, match="cannot add GlmSums with meat to GlmSums without one"):
            _ = whole + _kernels.glm_sums(*args, x, y, offset, freq, var)

    def test_every_memory_order_gives_the_same_sums(self):
        x, y, offset, freq, var = bundled("cpunish")
        beta = np.array([0.5, 0.2, -0.1, 0.3])
        want = _kernels.glm_sums("poisson", "log", beta, x, y, offset, freq, var, with_meat=True)
        for layout in (np.asfortranarray(x), np.repeat(x, 2, axis=1)[:, ::2], x[::-1][::-1]):
            got = _kernels.glm_sums(
                "poisson", "log", beta, layout, y, offset, freq, var, with_meat=True
            )
            assert got.loglik == pytest.approx(want.loglik, rel=1e-14)
            assert relative_error(got.meat, want.meat) <= 1e-14


class TestGlmRefusals:
    @pytest.mark.parametrize(
        ("family", "link", "y", "message"),
        [
            ("poisson", "log", -1.0, "y must be at least 0 for the poisson family; row 2 holds -1"),
            (
                "binomial",
                "logit",
                1.5,
                "y must lie in [0, 1] for the binomial family; row 2 holds 1.5",
            ),
            ("gamma", "log", 0.0, "y must be above 0 for the gamma family; row 2 holds 0"),
            (
                "inverse_gaussian",
                "log",
                -2.0,
                "y must be above 0 for the inverse_gaussian family; row 2 holds -2",
            ),
            (
                "gaussian",
                "identity",
                np.nan,
                "y must be finite for the gaussian family; row 2 holds nan",
            ),
            (
                "negative_binomial",
                "log",
                np.inf,
                "y must be finite for the negative_binomial family; row 2 holds inf",
            ),
        ],
    )
    def test_outcomes_outside_the_family(self, family, link, y, message):
        ys = np.array([1.0, 1.0, y, 1.0])
        with refused(message):
            _kernels.glm_sums(family, link, np.array([0.1]), np.ones((4, 1)), ys)

    def test_means_and_linear_predictors_outside_the_domain(self):
        x = np.array([[1.0, 0.0], [1.0, 800.0], [1.0, -3.0]])
        y = np.array([1.0, 1.0, 1.0])
        with refused("the predicted mean exp(x b) overflows at row 1: x b = 800"):
            _kernels.glm_sums("poisson", "log", np.array([0.0, 1.0]), x, y)
        with refused("the predicted mean exp(x b + offset) overflows at row 1: x b + offset = 710"):
            _kernels.glm_sums(
                "poisson",
                "log",
                np.array([0.0, 1.0]),
                x,
                y,
                np.array([0.0, -100.0, 0.0]) + np.array([0.0, 10.0, 0.0]),
            )
        with refused("x b must be at least 0 for the sqrt link; at row 2 it is -0.5"):
            _kernels.glm_sums("poisson", "sqrt", np.array([1.0, 0.5]), x, y)
        with refused("x b must be above 0 for the inverse_squared link; at row 2 it is 0"):
            _kernels.glm_sums("gamma", "inverse_squared", np.array([3.0, 1.0]), x, y)
        with refused(
            "the predicted mean must lie in [0, 1] for the binomial family; at row 1 it is "
            "2.225540928492468 (linear predictor 0.8)"
        ):
            _kernels.glm_sums("binomial", "log", np.array([0.0, 0.001]), x, y)
        with refused(
            "the predicted mean must be at least 0 for the poisson family; at row 2 it is -0.5 "
            "(linear predictor -0.5)"
        ):
            _kernels.glm_sums("poisson", "identity", np.array([1.0, 0.5]), x, y)

    def test_unknown_family_and_bad_parameters(self):
        args = (np.array([0.1]), np.ones((2, 1)), np.ones(2))
        with refused(
            "family must be 'binomial', 'poisson', 'gaussian', 'gamma', 'inverse_gaussian', "
            "'negative_binomial' or 'tweedie', got 'gauss'"
        ):
            _kernels.glm_sums("gauss", "identity", *args)
        with pytest.raises(ValueError, match=r"link must be 'probit', .*, got 'logg'"):
            _kernels.glm_sums("binomial", "logg", *args)
        with pytest.raises(ValueError, match="alpha must be above 0"):
            _kernels.glm_sums("negative_binomial", "log", *args, alpha=0.0)
        with pytest.raises(ValueError, match="scale must be above 0"):
            _kernels.glm_sums("poisson", "log", *args, scale=-1.0)
        assert tuple(FAMILIES) == _kernels.FAMILIES


def nb2_data(name):
    x, y, offset, _, _ = bundled(name)
    model = sm.NegativeBinomial(y, x, offset=offset, loglike_method="nb2")
    with warnings.catch_warnings():  # near the estimate is near enough: the sums are checked there
        warnings.simplefilter("ignore", sm.tools.sm_exceptions.ConvergenceWarning)
        params = model.fit(disp=0, maxiter=1000, method="bfgs").params
    return x, y, offset, model, params


@pytest.fixture(scope="module", params=["randhie", "cpunish"])
def nb2(request):
    return nb2_data(request.param)


def alpha_score_and_curvature(x, y, offset, params):
    """The score in alpha and minus its second derivative at 40 digits, from the
    log-likelihood's definition by mpmath's digamma and trigamma."""
    mpmath.mp.dps = 40
    alpha = mpmath.mpf(float(params[-1]))
    a = 1 / alpha
    score = curvature = mpmath.mpf(0)
    for yi, v in zip(y, x @ params[:-1] + offset, strict=True):
        mu = mpmath.exp(mpmath.mpf(float(v)))
        yi = mpmath.mpf(float(yi))
        inner = mpmath.digamma(a + yi) - mpmath.digamma(a) - mpmath.log1p(alpha * mu)
        inner -= (yi - mu) / (a + mu)
        score += -inner / alpha**2
        bend = mpmath.psi(1, a + yi) - mpmath.psi(1, a) + 1 / a - 1 / (a + mu)
        bend += (yi - mu) / (a + mu) ** 2
        curvature -= 2 / alpha**3 * inner + bend / alpha**4
    return float(score), float(curvature)


class TestNegativeBinomial:
    def test_loglike_score_and_hessian(self, nb2):
        x, y, offset, model, params = nb2
        k = x.shape[1]
        for p in (params, params * np.r_[np.full(k, 1.05), 0.9]):
            got = _kernels.negbin_sums(p, x, y, None, True, offset)
            assert got.loglik == pytest.approx(model.loglike(p), rel=1e-12, abs=0)
            obs = model.score_obs(p)
            scale = np.abs(obs).sum(axis=0)
            assert np.all(np.abs(got.score[:k] - model.score(p)[:k]) <= 1e-12 * scale[:k])
            hessian = -model.hessian(p)
            assert relative_error(got.information[:k, :k], hessian[:k, :k]) <= 1e-12
            assert relative_error(got.information[:k, k], hessian[:k, k]) <= 1e-12
            np.testing.assert_array_equal(got.information, got.information.T)
            # statsmodels' differences of digamma lose digits to cancellation in alpha's
            # terms: those are checked at 40 digits.
            score, curvature = alpha_score_and_curvature(x, y, offset, p)
            assert abs(got.score[k] - score) <= 1e-12 * scale[k]
            assert got.information[k, k] == pytest.approx(curvature, rel=1e-11)
            assert relative_error(got.meat, obs.T @ obs) <= 1e-9  # complex-step score_obs
            assert (got.weight, got.rows) == (len(y), len(y))

    def test_cluster_scores_and_frequency_weights(self, nb2):
        x, y, offset, model, params = nb2
        codes = (np.arange(len(y)) * 31) % 5
        got = _kernels.negbin_cluster_scores(params, x, y, None, codes.astype(np.int64), 5, offset)
        want = np.zeros((5, x.shape[1] + 1))
        np.add.at(want, codes, model.score_obs(params))
        assert relative_error(got, want) <= 1e-9
        # A weight of 2 is the row twice.
        w = (1 + np.arange(len(y)) % 2).astype(float)
        twice = np.repeat(np.arange(len(y)), w.astype(int))
        weighted = _kernels.negbin_sums(params, x, y, w, True, offset)
        repeated = _kernels.negbin_sums(params, x[twice], y[twice], None, True, offset[twice])
        assert weighted.loglik == pytest.approx(repeated.loglik, rel=1e-12)
        for name in ("score", "information", "meat"):
            assert relative_error(getattr(weighted, name), getattr(repeated, name)) <= 1e-12

    def test_refusals(self):
        x, y = np.ones((3, 1)), np.array([1.0, -2.0, 0.0])
        with refused(
            "y must hold counts of at least 0 for the negative binomial model; row 1 holds -2"
        ):
            _kernels.negbin_sums(np.array([0.1, 0.5]), x, y, None, False)
        with pytest.raises(ValueError, match=r"alpha must be above 0 and finite, got -0\.5"):
            _kernels.negbin_sums(np.array([0.1, -0.5]), x, np.ones(3), None, False)
        with refused("the predicted mean exp(x b) overflows at row 0: x b = 720"):
            _kernels.negbin_sums(np.array([720.0, 0.5]), x, np.ones(3), None, False)
