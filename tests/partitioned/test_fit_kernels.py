"""The sums behind a Newton fit: velmora_margins._kernels.fit_sums and cluster_scores.

Checked against statsmodels' own loglike, score, hessian and score_obs on fitted models of
its bundled data, against the definitions in NumPy, and for invariance: weights of 2 against
duplicated rows, rows split into parts, and every memory order of X.
"""

import functools
import gc
import operator
import sys
import threading

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import special  # statsmodels' own dependency

from velmora_margins import _kernels

MODELS = {"logit": sm.Logit, "probit": sm.Probit}


def spector_data():
    data = sm.datasets.spector.load_pandas()
    return np.asarray(sm.add_constant(data.exog), dtype=float), np.asarray(data.endog, float)


def fair_data():
    data = sm.datasets.fair.load_pandas().data
    y = (data["affairs"] > 0).to_numpy(dtype=float)
    exog = sm.add_constant(data.drop(columns=["affairs"]))
    return np.asarray(exog, dtype=float), y


DATASETS = {"spector": spector_data(), "fair": fair_data()}


@pytest.fixture(scope="module", params=[(d, k) for d in DATASETS for k in MODELS], ids="-".join)
def fitted(request):
    """(kind, X, y, model, params at the estimate, params away from it)."""
    dataset, kind = request.param
    x, y = DATASETS[dataset]
    model = MODELS[kind](y, x)
    params = model.fit(disp=0, tol=1e-12).params
    away = params + 0.05 * np.abs(params) * np.where(np.arange(len(params)) % 2, 1, -1)
    return kind, x, y, model, params, away


def relative_error(got, want):
    """Largest difference, relative to the largest entry of want."""
    return np.max(np.abs(np.asarray(got) - want)) / np.max(np.abs(want))


def terms(kind, x, y, beta):
    """The rows' l, r and h from their definitions, with SciPy's log Phi for the tails."""
    v = x @ beta
    q = 2 * y - 1
    if kind == "logit":
        f = special.expit(v)
        return -np.logaddexp(0, -q * v), y - f, f * (1 - f)
    lam = q * np.exp(-0.5 * v * v - special.log_ndtr(q * v)) / np.sqrt(2 * np.pi)
    return special.log_ndtr(q * v), lam, lam * (lam + v)


def numpy_sums(kind, x, y, beta, w):
    ell, r, h = terms(kind, x, y, beta)
    return w @ ell, x.T @ (w * r), (x * (w * h)[:, None]).T @ x, (x * (w * r * r)[:, None]).T @ x


def fields(sums):
    """The fields of a FitSums, in the order of its constructor."""
    return sums.loglik, sums.score, sums.information, sums.meat, sums.weight, sums.rows


def assert_same_sums(got, want, rtol):
    """Compares a FitSums with another or with a tuple of its fields."""
    if isinstance(want, _kernels.FitSums):
        want = fields(want)
    loglik, score, information, meat, weight, rows = fields(got)
    assert abs(loglik - want[0]) <= rtol * abs(want[0])
    for a, b in zip((score, information, meat), want[1:4], strict=True):
        assert relative_error(a, b) <= rtol
    assert (weight, rows) == want[4:]


class TestAgainstStatsmodels:
    def test_loglike_score_and_hessian(self, fitted):
        kind, x, y, model, params, away = fitted
        for beta in (params, away):
            assert np.min((2 * y - 1) * (x @ beta)) > -8  # statsmodels clips no Phi here
            loglik, score, information, meat, weight, rows = fields(
                _kernels.fit_sums(kind, beta, x, y, None, True)
            )
            assert loglik == pytest.approx(model.loglike(beta), rel=1e-12, abs=0)
            obs = model.score_obs(beta)
            # At the estimate the score is near 0: compare with the size of its terms.
            scale = np.abs(obs).sum(axis=0).max()
            assert np.max(np.abs(score - model.score(beta))) <= 1e-12 * scale
            assert relative_error(information, -model.hessian(beta)) <= 1e-12
            assert relative_error(meat, obs.T @ obs) <= 1e-12
            # Exact: one triangle is summed and mirrored into the other.
            np.testing.assert_array_equal(information, information.T)
            np.testing.assert_array_equal(meat, meat.T)
            assert (weight, rows) == (len(y), len(y))

    def test_cluster_scores(self, fitted):
        kind, x, y, model, _, away = fitted
        codes = (np.arange(len(y)) * 7919) % 13
        got = _kernels.cluster_scores(kind, away, x, y, None, codes.astype(np.int64), 14)
        obs = model.score_obs(away)
        want = np.zeros((14, x.shape[1]))
        np.add.at(want, codes, obs)
        assert got.shape == (14, x.shape[1])
        assert relative_error(got, want) <= 1e-12
        assert not got[13].any()

    @pytest.mark.parametrize("cov_type", ["HC0", "HC3", "cluster"])
    def test_sandwich_reproduces_robust_covariance(self, fitted, cov_type):
        kind, x, y, model, params, _ = fitted
        n, k = x.shape
        groups = np.arange(n) % 17
        kwds = {"cov_kwds": {"groups": groups}} if cov_type == "cluster" else {}
        want = model.fit(disp=0, tol=1e-12, cov_type=cov_type, **kwds).cov_params()
        sums = _kernels.fit_sums(kind, params, x, y, None, True)
        information, meat = sums.information, sums.meat
        if cov_type == "cluster":
            s = _kernels.cluster_scores(kind, params, x, y, None, groups.astype(np.int64), 17)
            meat = s.T @ s * (17 / 16) * ((n - 1) / (n - k))
        bread = np.linalg.inv(information)
        assert relative_error(bread @ meat @ bread, want) <= 1e-7


class TestDefinitions:
    @pytest.mark.parametrize("kind", MODELS)
    def test_weighted_sums(self, kind):
        rng = np.random.default_rng(5)
        n = 3001
        x = np.column_stack([np.ones(n), rng.standard_normal((n, 3)), rng.random(n) < 0.3])
        beta = np.array([-0.2, 0.8, -1.5, 2.5, 0.6])  # some rows far in the tails
        y = (rng.random(n) < special.expit(x @ beta)).astype(float)
        w = rng.integers(0, 4, n).astype(float)
        got = _kernels.fit_sums(kind, beta, x, y, w, True)
        assert_same_sums(got, (*numpy_sums(kind, x, y, beta, w), w.sum(), n), 1e-12)

    @pytest.mark.parametrize(
        ("kind", "v", "y", "loglik", "r", "h"),
        [
            # 60-digit values; statsmodels would clip Phi(-40) at 2**-52 in the first two.
            ("probit", -40.0, 1.0, -804.6084420137538, 40.024968847207264, 0.9993773316214086),
            ("probit", 40.0, 0.0, -804.6084420137538, -40.024968847207264, 0.9993773316214086),
            (
                "probit",
                9.0,
                1.0,
                -1.1285884059538406e-19,
                1.0279773571668915e-18,
                9.251796214502023e-18,
            ),
            ("logit", -800.0, 1.0, -800.0, 1.0, 0.0),
            (
                "logit",
                40.0,
                1.0,
                -4.248354255291589e-18,
                4.248354255291589e-18,
                4.248354255291589e-18,
            ),
        ],
    )
    def test_tails(self, kind, v, y, loglik, r, h):
        got = _kernels.fit_sums(kind, np.array([v]), np.ones((1, 1)), np.array([y]), None, False)
        assert got.loglik == pytest.approx(loglik, rel=1e-14, abs=0)
        assert got.score[0] == pytest.approx(r, rel=1e-14, abs=0)
        assert got.information[0, 0] == pytest.approx(h, rel=1e-14, abs=0)
        assert got.meat is None


@pytest.fixture(scope="module")
def fair_arrays():
    return DATASETS["fair"]


@pytest.mark.parametrize("kind", MODELS)
def test_weights_of_two_are_duplicated_rows(fair_arrays, kind):
    x, y = fair_arrays
    beta = np.linspace(-0.3, 0.3, x.shape[1])
    w = np.tile([1.0, 2.0, 0.0, 2.0, 1.0], len(y) // 5 + 1)[: len(y)]
    repeat = w.astype(int)
    weighted = _kernels.fit_sums(kind, beta, x, y, w, True)
    duplicated = _kernels.fit_sums(
        kind, beta, np.repeat(x, repeat, 0), np.repeat(y, repeat), None, True
    )
    assert_same_sums(weighted, (*fields(duplicated)[:5], len(y)), 1e-13)
    assert duplicated.rows == repeat.sum()
    codes = np.arange(len(y)) % 4
    by_weight = _kernels.cluster_scores(kind, beta, x, y, w, codes, 4)
    by_rows = _kernels.cluster_scores(
        kind, beta, np.repeat(x, repeat, 0), np.repeat(y, repeat), None, np.repeat(codes, repeat), 4
    )
    assert relative_error(by_weight, by_rows) <= 1e-13


@pytest.mark.parametrize("kind", MODELS)
@pytest.mark.parametrize("cuts", [[0, 1, 6366], [100, 100, 4000], [3183], [6365, 6366]])
def test_parts_add_up_to_the_whole(fair_arrays, kind, cuts):
    x, y = fair_arrays
    beta = np.linspace(0.2, -0.2, x.shape[1])
    w = 1.0 + np.arange(len(y)) % 3
    whole = _kernels.fit_sums(kind, beta, x, y, w, True)
    parts = [
        _kernels.fit_sums(kind, beta, x[a:b], y[a:b], w[a:b], True)
        for a, b in zip([0, *cuts], [*cuts, len(y)], strict=True)
    ]
    assert_same_sums(whole, functools.reduce(operator.add, parts), 1e-13)


def layouts(x, y):
    """(X, y) in other memory orders, each with the rows in the order of x."""
    n, k = x.shape
    wide = np.zeros((2 * n, k + 3))
    wide[::2, 1 : k + 1] = x
    ys = np.zeros((n, 2))
    ys[:, 1] = y
    return {
        "F order": (np.asfortranarray(x), y),
        "rows and columns of a larger array": (wide[::2, 1 : k + 1], ys[:, 1]),
        "rows reversed twice": (np.ascontiguousarray(x[::-1])[::-1], y[::-1].copy()[::-1]),
        "columns reversed, F order": (np.asfortranarray(x[:, ::-1])[:, ::-1], y),
    }


@pytest.mark.parametrize("kind", MODELS)
@pytest.mark.parametrize(
    "layout",
    [
        "F order",
        "rows and columns of a larger array",
        "rows reversed twice",
        "columns reversed, F order",
    ],
)
def test_memory_order_does_not_change_the_sums(fair_arrays, kind, layout):
    x, y = fair_arrays
    beta = np.linspace(-0.25, 0.15, x.shape[1])
    w = 1.0 + np.arange(len(y)) % 4
    codes = np.arange(len(y)) % 9
    want = _kernels.fit_sums(kind, beta, x, y, w, True)
    clusters = _kernels.cluster_scores(kind, beta, x, y, w, codes, 9)
    other_x, other_y = layouts(x, y)[layout]
    assert_same_sums(_kernels.fit_sums(kind, beta, other_x, other_y, w, True), want, 1e-13)
    got = _kernels.cluster_scores(kind, beta, other_x, other_y, w[::-1].copy()[::-1], codes, 9)
    assert relative_error(got, clusters) <= 1e-13


@pytest.mark.parametrize("kind", MODELS)
def test_zero_strides_and_empty_inputs(kind):
    beta = np.array([0.1, 0.2, -0.3])
    x = np.broadcast_to(np.array([1.0, 0.5, -2.0]), (6, 3))  # every row the same storage
    y = np.array([0.0, 1, 1, 0, 1, 1])
    # Exact, against rows 3 apart in a Fortran-ordered array: CBLAS reads neither, so both
    # take the plain loops and copy the rows for the rank-k update column by column.
    tall = np.zeros((18, 3), order="F")
    tall[::3] = x
    want = fields(_kernels.fit_sums(kind, beta, tall[::3], y, None, True))
    got = fields(_kernels.fit_sums(kind, beta, x, y, None, True))
    assert got[0] == want[0]
    assert got[4:] == want[4:]
    for a, b in zip(got[1:4], want[1:4], strict=True):
        np.testing.assert_array_equal(a, b)
    none = _kernels.fit_sums(kind, beta, np.ones((0, 3)), np.zeros(0), None, True)
    assert (none.loglik, none.weight, none.rows) == (0.0, 0.0, 0)
    for sums, shape in zip(fields(none)[1:4], [(3,), (3, 3), (3, 3)], strict=True):
        np.testing.assert_array_equal(sums, np.zeros(shape))
    codes = np.zeros(0, np.int64)
    empty = _kernels.cluster_scores(kind, beta, np.ones((0, 3)), np.zeros(0), None, codes, 2)
    np.testing.assert_array_equal(empty, np.zeros((2, 3)))


def test_calls_from_threads_agree_with_calls_in_turn(fair_arrays):
    x, y = fair_arrays
    x = np.tile(x, (20, 1))
    y = np.tile(y, 20)
    beta = np.linspace(-0.1, 0.1, x.shape[1])
    calls = [(kind, meat) for kind in MODELS for meat in (True, False)] * 2
    want = [_kernels.fit_sums(kind, beta, x, y, None, meat) for kind, meat in calls]
    got = [None] * len(calls)

    def run(i):
        got[i] = _kernels.fit_sums(calls[i][0], beta, x, y, None, calls[i][1])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Exact: every call runs the same single-threaded sums on the same arrays.
    for a, b in zip(got, want, strict=True):
        assert (a.loglik, a.weight, a.rows) == (b.loglik, b.weight, b.rows)
        for u, v in zip(fields(a)[1:4], fields(b)[1:4], strict=True):
            np.testing.assert_array_equal(u, v)


class TestErrors:
    x = np.column_stack([np.ones(5), np.arange(5.0)])
    y = np.array([0.0, 1.0, 1.0, 0.0, 1.0])
    beta = np.array([0.1, -0.2])

    def test_outcome_other_than_0_and_1(self):
        y = self.y.copy()
        y[3] = 2.0
        with pytest.raises(ValueError, match=r"^y must hold only 0 and 1; row 3 holds 2.000000$"):
            _kernels.fit_sums("logit", self.beta, self.x, y, None, False)
        y[3] = np.nan
        with pytest.raises(ValueError, match="row 3 holds nan"):
            _kernels.cluster_scores("probit", self.beta, self.x, y, None, np.zeros(5, np.int64), 1)

    @pytest.mark.parametrize(("code", "groups"), [(4, 4), (-1, 4), (0, 0)])
    def test_code_out_of_range(self, code, groups):
        codes = np.zeros(5, np.int64)
        codes[2] = code
        message = rf"^codes must lie in \[0, {groups}\); row {0 if groups == 0 else 2} holds"
        with pytest.raises(ValueError, match=message):
            _kernels.cluster_scores("logit", self.beta, self.x, self.y, None, codes, groups)

    @pytest.mark.parametrize(
        ("args", "error", "message"),
        [
            (
                ("tobit", beta, x, y, None, False),
                ValueError,
                r"^link must be 'probit' or 'logit', got 'tobit'$",
            ),
            (
                ("cloglog", beta, x, y, None, False),
                ValueError,
                r"^link must be 'probit' or 'logit', got 'cloglog'$",
            ),
            (("logit", beta, x.astype(int), y, None, False), TypeError, "cannot be converted"),
            (
                ("logit", beta, x, y, np.ones(5, np.float32), False),
                TypeError,
                "cannot be converted",
            ),
            (("logit", beta, x, y, None), TypeError, "missing required argument 'with_meat'"),
        ],
    )
    def test_bad_arguments(self, args, error, message):
        with pytest.raises(error, match=message):
            _kernels.fit_sums(*args)

    def test_bad_cluster_arguments(self):
        with pytest.raises(ValueError, match=r"^groups must be at least 0, got -1$"):
            _kernels.cluster_scores(
                "logit", self.beta, self.x, self.y, None, np.zeros(5, np.int64), -1
            )
        with pytest.raises(TypeError, match=r"^'ndarray' object cannot be converted"):
            _kernels.cluster_scores("logit", self.beta, self.x, self.y, None, np.zeros(5), 1)

    @pytest.mark.parametrize(
        ("field", "message"),
        [
            ("beta", "beta of 1 for X of 5 x 2"),
            ("y", "4 outcomes for 5 rows"),
            ("weights", "4 weights for 5 rows"),
            ("codes", "4 cluster codes for 5 rows"),
        ],
    )
    def test_sizes_that_do_not_fit_are_a_panic(self, field, message):
        args = {
            "beta": self.beta,
            "y": self.y,
            "weights": np.ones(5),
            "codes": np.zeros(5, np.int64),
        }
        args[field] = args[field][:-1]
        with pytest.raises(BaseException, match=f"^{message}$") as info:
            _kernels.cluster_scores(
                "logit", args["beta"], self.x, args["y"], args["weights"], args["codes"], 1
            )
        assert type(info.value).__name__ == "PanicException"

    def test_no_references_left_behind(self):
        w = np.ones(5)
        codes = np.zeros(5, np.int64)
        tracked = (self.beta, self.x, self.y, w, codes)
        # Earlier tests' exceptions may still hold these arrays through their tracebacks'
        # frames until the cycle collector frees them: count after it has run.
        gc.collect()
        before = [sys.getrefcount(a) for a in tracked]
        bad = self.y * 2
        for _ in range(100):
            _kernels.fit_sums("probit", self.beta, self.x, self.y, w, True)
            _kernels.cluster_scores("logit", self.beta, self.x, self.y, w, codes, 1)
            with pytest.raises(ValueError, match="y must hold only 0 and 1"):
                _kernels.fit_sums("logit", self.beta, self.x, bad, w, True)
        gc.collect()
        assert [sys.getrefcount(a) for a in tracked] == before
