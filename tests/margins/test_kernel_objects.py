"""The kernels' own objects and small kernels: ContrastSums and FitSums (addition over
disjoint rows, pickling, construction), link_values for the complementary log-log link
against mpmath, and binary_columns."""

import math
import pickle

import mpmath
import numpy as np
import pytest

from velmora_margins import _kernels


@pytest.fixture(scope="module")
def rows():
    """(X, y, weights, beta): an intercept, a 0/1 column and two continuous columns."""
    rng = np.random.default_rng(11)
    n = 2000
    x = np.column_stack([np.ones(n), rng.random(n) < 0.3, rng.standard_normal((n, 2))])
    y = (rng.random(n) < 0.4).astype(float)
    return x, y, rng.integers(1, 4, n).astype(float), np.array([-0.3, 0.8, 0.5, -1.2])


def contrast_sums(link, x, w, beta):
    derivatives = [([2], np.ones((1, 1))), ([3], np.ascontiguousarray(2 * x[:, 3:4]))]
    levels = [([1], np.zeros((1, 1)), [np.ones((1, 1))], True)]
    return _kernels.contrast_sums(link, beta, x, w, derivatives, levels)


def same_bits(a, b):
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


class TestSums:
    @pytest.mark.parametrize("link", _kernels.LINKS)
    def test_contrast_sums_add_over_disjoint_rows(self, rows, link):
        x, _, w, beta = rows
        whole = contrast_sums(link, x, w, beta)
        first, rest = (
            contrast_sums(link, x[:700], w[:700], beta),
            contrast_sums(link, x[700:], w[700:], beta),
        )
        total = first + rest
        assert isinstance(total, _kernels.ContrastSums)
        # Each field is the sum of the two, added once.
        assert same_bits(total.effects, first.effects + rest.effects)
        assert same_bits(total.gradients, first.gradients + rest.gradients)
        assert total.weight == first.weight + rest.weight == w.sum()
        np.testing.assert_allclose(total.effects, whole.effects, rtol=1e-13)
        np.testing.assert_allclose(total.gradients, whole.gradients, rtol=1e-12, atol=1e-12)

    @pytest.mark.parametrize("meat", [False, True])
    def test_fit_sums_add_over_disjoint_rows(self, rows, meat):
        x, y, w, beta = rows
        parts = [
            _kernels.fit_sums("probit", beta, x[s], y[s], w[s], meat)
            for s in (slice(0, 1), slice(1, 1500), slice(1500, None))
        ]
        total = parts[0] + parts[1] + parts[2]
        whole = _kernels.fit_sums("probit", beta, x, y, w, meat)
        assert (total.rows, total.weight) == (len(y), w.sum())
        assert total.loglik == pytest.approx(whole.loglik, rel=1e-13)
        assert same_bits(total.score, (parts[0].score + parts[1].score) + parts[2].score)
        np.testing.assert_allclose(total.information, whole.information, rtol=1e-12)
        if meat:
            np.testing.assert_allclose(total.meat, whole.meat, rtol=1e-12)
        else:
            assert total.meat is None

    def test_sums_pickle_to_the_same_bits(self, rows):
        x, y, w, beta = rows
        for sums in (
            contrast_sums("cloglog", x, w, beta),
            _kernels.fit_sums("logit", beta, x, y, w, True),
            _kernels.fit_sums("logit", beta, x, y, None, False),
        ):
            back = pickle.loads(pickle.dumps(sums, protocol=pickle.HIGHEST_PROTOCOL))
            assert type(back) is type(sums)
            names = [
                n
                for n in (
                    "effects",
                    "gradients",
                    "weight",
                    "loglik",
                    "score",
                    "information",
                    "meat",
                    "rows",
                )
                if hasattr(sums, n)
            ]
            for name in names:
                got, want = getattr(back, name), getattr(sums, name)
                assert (got is None and want is None) or same_bits(got, want), name

    def test_keyword_constructor_and_repr(self):
        sums = _kernels.ContrastSums(effects=np.ones(2), gradients=np.ones((2, 3)), weight=4)
        assert (sums.weight, sums.gradients.shape) == (4.0, (2, 3))
        assert repr(sums) == "<ContrastSums: gradients 2 x 3, weight 4.0>"
        fit = _kernels.FitSums(
            loglik=-1.5, score=np.zeros(2), information=np.eye(2), meat=None, weight=3.0, rows=3
        )
        assert (fit.meat, fit.rows) == (None, 3)
        assert repr(fit) == "<FitSums: 3 rows, 2 coefficients, loglik -1.5, weight 3.0>"
        with pytest.raises(AttributeError):
            fit.rows = 4

    @pytest.mark.parametrize(
        ("make", "message"),
        [
            (
                lambda: _kernels.ContrastSums(np.ones(2), np.ones((3, 3)), 1.0),
                r"^ContrastSums: gradients of shape 3 x 3 for 2 effects$",
            ),
            (
                lambda: _kernels.FitSums(0.0, np.zeros(2), np.eye(3), None, 1.0, 1),
                r"^FitSums: information of shape 3 x 3 for a score of 2 coefficients$",
            ),
            (
                lambda: _kernels.FitSums(0.0, np.zeros(2), np.eye(2), np.eye(2), 1.0, -1),
                r"^FitSums: rows must be at least 0, got -1$",
            ),
        ],
    )
    def test_constructor_checks_shapes(self, make, message):
        with pytest.raises(ValueError, match=message):
            make()

    def test_sums_that_do_not_fit_are_not_added(self):
        a = _kernels.ContrastSums(np.ones(2), np.ones((2, 3)), 1.0)
        b = _kernels.ContrastSums(np.ones(2), np.ones((2, 4)), 1.0)
        with pytest.raises(ValueError, match=r"gradients are of shapes 2 x 3 and 2 x 4$"):
            a + b
        with_meat = _kernels.FitSums(0.0, np.zeros(2), np.eye(2), np.eye(2), 1.0, 1)
        without = _kernels.FitSums(0.0, np.zeros(2), np.eye(2), None, 1.0, 1)
        with pytest.raises(ValueError, match=r"^cannot add FitSums with a meat to FitSums"):
            with_meat + without
        assert (without + without).meat is None
        with pytest.raises(TypeError):
            a + with_meat


def cloglog_reference(v):
    """F, f, f' at v and their condition numbers |v g'(v) / g(v)|, from 60 digits."""
    with mpmath.workdps(60):
        x = mpmath.mpf(v)
        e = mpmath.exp(x)
        one_minus_e = -mpmath.expm1(x)  # 1 - exp(v), without cancellation near 0
        f = mpmath.exp(x - e)
        values = (-mpmath.expm1(-e), f, f * one_minus_e)
        conditions = (
            abs(x * f / values[0]) if values[0] else 1,
            abs(x * one_minus_e),
            abs(x * (one_minus_e**2 - e) / one_minus_e) if one_minus_e else 1,
        )
        return [float(a) for a in values], [float(c) for c in conditions]


def ulps_apart(a, b):
    """How many doubles lie between a and b (both finite)."""
    ordered = [
        (i if i >= 0 else -(i & 0x7FFFFFFFFFFFFFFF))
        for i in np.array([a, b]).view(np.int64).tolist()
    ]
    return abs(ordered[0] - ordered[1])


class TestLinkValues:
    def test_cloglog_against_mpmath(self):
        # A wide grid from where F underflows to where exp(v) overflows, and the points
        # around 0 where f' changes sign. Tolerance: 4 units in the last place times the
        # condition number where it exceeds 1 (f = exp(v - exp(v)) inherits the rounding
        # of v - exp(v), which grows with both).
        v = np.concatenate(
            [
                np.linspace(-745.0, 709.0, 2909),
                np.linspace(-4.0, 4.0, 801),
                np.geomspace(1e-300, 1e-3, 60),
                -np.geomspace(1e-300, 1e-3, 60),
            ]
        )
        got = _kernels.link_values("cloglog", v)
        assert isinstance(got, _kernels.LinkValues)
        for i, vi in enumerate(v):
            want, conditions = cloglog_reference(vi)
            for name, w, c in zip(("cdf", "pdf", "pdf_derivative"), want, conditions, strict=True):
                g = getattr(got, name)[i]
                assert ulps_apart(g, w) <= 4 * max(1.0, c), (name, vi, g, w)

    def test_cloglog_at_its_limits(self):
        inf, nan = np.inf, np.nan
        v = np.array([-inf, inf, nan, 710.0, 1e300, -1e300, 0.0])
        got = _kernels.link_values("cloglog", v)
        want = {
            # At 0 the engine takes the C library's exp and expm1 of -1, as math does (NumPy's
            # own vector exp may differ in the last bit).
            "cdf": [0.0, 1.0, nan, 1.0, 1.0, 0.0, -math.expm1(-1.0)],
            "pdf": [0.0, 0.0, nan, 0.0, 0.0, 0.0, math.exp(-1.0)],
            "pdf_derivative": [0.0, -0.0, nan, -0.0, -0.0, 0.0, 0.0],
        }
        for name, values in want.items():
            # The same values with the same signs of zero, NaN (of any sign) for NaN.
            g, w = getattr(got, name), np.array(values)
            assert np.array_equal(np.isnan(g), np.isnan(w)), name
            assert same_bits(g[~np.isnan(w)], w[~np.isnan(w)]), name

    @pytest.mark.parametrize("link", _kernels.LINKS)
    def test_every_link_over_any_layout(self, link):
        v = np.linspace(-40, 40, 101)
        strided = np.zeros(202)
        strided[::2] = v
        a, b = _kernels.link_values(link, v), _kernels.link_values(link, strided[::2])
        for field in ("cdf", "pdf", "pdf_derivative"):
            assert same_bits(getattr(a, field), getattr(b, field))
        assert _kernels.link_values(link, np.zeros(0)).cdf.shape == (0,)

    def test_links(self):
        assert _kernels.LINKS == ("probit", "logit", "cloglog")
        assert _kernels.FIT_LINKS == ("probit", "logit")
        with pytest.raises(
            ValueError, match=r"^link must be 'probit', 'logit' or 'cloglog', got 'Logit'$"
        ):
            _kernels.link_values("Logit", np.zeros(1))


def test_binary_columns():
    n = 700  # more rows than one scan block
    x = np.column_stack(
        [np.ones(n), np.arange(n) % 2, np.zeros(n), np.arange(n) % 3, np.arange(n) % 2]
    ).astype(float)
    x[650, 4] = 0.5  # far down, after rows of 0 and 1 only
    want = [True, True, True, False, False]
    for layout in (x, np.asfortranarray(x), x[::-1], np.repeat(x, 2, axis=1)[:, ::2]):
        got = _kernels.binary_columns(layout)
        assert got.dtype == np.bool_
        assert got.tolist() == want
    x[3, 2] = np.nan
    assert _kernels.binary_columns(x).tolist() == [True, True, False, False, False]
    assert _kernels.binary_columns(np.zeros((0, 2))).tolist() == [True, True]
