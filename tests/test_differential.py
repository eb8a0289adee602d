"""zarn against the plain NumPy implementation in ame_reference, over many random models.

Tolerances: AMEs agree to 1e-12 relative, or 5e-14 absolute for effects near zero (a
binary effect is the difference of two means of order one, each summed over up to a few
thousand rows in an order of the implementation's choosing, so its rounding is absolute);
standard errors agree to 1e-12 relative (the covariances drawn here are well
conditioned). z and the bounds are recomputed from the returned dy/dx and Std. Err and
must match to the bit; p to 1e-15 absolute (the two sides use different erfc
implementations).
"""

import numpy as np
import pytest

import ame_reference as ref
import velmora
from support import stand_in

AME_RTOL, AME_ATOL = 1e-12, 5e-14
SE_RTOL = 1e-12


def random_model(seed, kind, n):
    """A model with an optional intercept and a random mix of binary and continuous columns."""
    rng = np.random.default_rng(seed)
    columns, names = [], []
    for b in range(rng.integers(0, 4)):
        shape = rng.choice(["both", "zeros", "ones", "signed_zero"])
        if shape == "both":
            col = (rng.random(n) < rng.uniform(0.2, 0.8)).astype(float)
        elif shape == "zeros":
            col = np.zeros(n)
        elif shape == "ones":
            col = np.ones(n)
        else:
            col = np.where(rng.random(n) < 0.5, -0.0, 1.0)
        columns.append(col)
        names.append(f"b{b}")
    for c in range(rng.integers(0 if columns else 1, 4)):
        shape = rng.choice(["normal", "count", "constant_half"])
        if shape == "normal":
            col = rng.normal(rng.normal(), rng.uniform(0.5, 2.0), n)
        elif shape == "count":
            col = rng.integers(0, 4, n).astype(float)
        else:
            col = np.full(n, 0.5)
        columns.append(col)
        names.append(f"x{c}")
    if rng.random() < 0.7:
        at = rng.integers(0, len(columns) + 1)
        columns.insert(at, np.ones(n))
        names.insert(at, str(rng.choice(["const", "Intercept"])))
    X = np.column_stack(columns) if n else np.empty((0, len(columns)))
    k = X.shape[1]
    beta = rng.normal(0.0, 0.6, k)
    A = rng.normal(size=(k, k))
    cov = A @ A.T / (50.0 * k) + 1e-4 * np.eye(k)
    return stand_in(kind.capitalize(), beta, cov, X, names)


def arrange(X, layout):
    """The same values as X in another memory layout."""
    n, k = X.shape
    if layout == "C":
        return np.ascontiguousarray(X)
    if layout == "F":
        return np.asfortranarray(X)
    if layout == "column_slice":
        wide = np.full((n, 2 * k), np.nan)
        wide[:, ::2] = X
        return wide[:, ::2]
    if layout == "row_slice":
        tall = np.full((3 * n, k), np.nan)
        tall[::3] = X
        return tall[::3]
    if layout == "reversed":
        return np.ascontiguousarray(X[::-1])[::-1]
    if layout == "reversed_F":
        return np.asfortranarray(X[::-1])[::-1]
    raise ValueError(layout)


LAYOUTS = ["C", "F", "column_slice", "row_slice", "reversed", "reversed_F"]


def chunk_sizes(n):
    """None, one row, a divisor, a non-divisor and at least n rows."""
    divisors = [d for d in range(2, n // 2 + 1) if n % d == 0]
    non_divisors = [d for d in range(n // 3 + 1, n) if n % d != 0]
    return [None, 1, *divisors[:1], *non_divisors[:1], n, n + 5]


def with_exog(model, X):
    return stand_in(type(model).__name__, model.params, model.cov_params(), X, model.exog_names)


def check_table(out, model):
    """Columns, index and the per-row arithmetic of z, p, stars and bounds."""
    assert list(out.columns) == ref.LABELS
    assert list(out.index) == [name for name in model.exog_names if not ref.is_intercept(name)]
    a, s = out["dy/dx"].to_numpy(), out["Std. Err"].to_numpy()
    rows = [ref.table_row(ai, si) for ai, si in zip(a, s, strict=True)]

    def expected(i):
        return np.array([row[i] for row in rows], dtype=float)

    np.testing.assert_array_equal(out["z"].to_numpy(), expected(0))
    np.testing.assert_allclose(out["Pr(>|z|)"].to_numpy(), expected(1), rtol=0, atol=1e-15)
    np.testing.assert_array_equal(out["Conf. Int. Low"].to_numpy(), expected(3))
    np.testing.assert_array_equal(out["Conf. Int. Hi"].to_numpy(), expected(4))
    assert list(out["Significance"]) == [ref.stars(pi) for pi in out["Pr(>|z|)"]]


def expected_rows(model, method, chunk_size=None):
    """(ames, std_errors) of the reference, restricted to the reported columns."""
    kind = type(model).__name__.lower()
    ames, ses = ref.marginal_effects(
        kind, model.params, model.exog, model.exog_names, model.cov_params(), method, chunk_size
    )
    keep = [not ref.is_intercept(name) for name in model.exog_names]
    return ames[keep], ses[keep]


def assert_matches(out, ames, ses, context):
    np.testing.assert_allclose(
        out["dy/dx"].to_numpy(), ames, rtol=AME_RTOL, atol=AME_ATOL, err_msg=context
    )
    np.testing.assert_allclose(out["Std. Err"].to_numpy(), ses, rtol=SE_RTOL, err_msg=context)


@pytest.mark.parametrize("method", ["kova", "sm"])
@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("n", [1, 2, 12, 121, 2500])
def test_agrees_with_reference_for_every_layout_and_chunk_size(kind, method, n):
    for seed in range(3):
        model = random_model(1000 * n + seed, kind, n)
        ames, ses = expected_rows(model, method)
        for layout in LAYOUTS:
            X = arrange(model.exog, layout)
            np.testing.assert_array_equal(X, model.exog)
            for chunk in chunk_sizes(n):
                context = f"seed={seed} layout={layout} chunk_size={chunk}"
                out = velmora.zarn(with_exog(model, X), chunk, method)
                assert_matches(out, ames, ses, context)
                check_table(out, model)


@pytest.mark.parametrize("chunk", [1, 3, 64])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_reference_chunks_agree_with_one_chunk(kind, chunk):
    # The reference's own chunk loop, not only the extension's, must be invariant.
    model = random_model(7, kind, 200)
    whole = expected_rows(model, "sm")
    chunked = expected_rows(model, "sm", chunk)
    np.testing.assert_allclose(chunked[0], whole[0], rtol=AME_RTOL, atol=AME_ATOL)
    np.testing.assert_allclose(chunked[1], whole[1], rtol=SE_RTOL)


@pytest.mark.parametrize("method", ["kova", "sm"])
@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("layout", ["C", "F"])
def test_no_rows_gives_nan_effects_and_zero_errors(kind, method, layout):
    model = random_model(3, kind, 40)
    empty = arrange(model.exog[:0], layout)
    out = velmora.zarn(with_exog(model, empty), se_method=method)
    assert len(out) == sum(not ref.is_intercept(name) for name in model.exog_names) > 0
    assert out["dy/dx"].isna().all()
    assert (out["Std. Err"] == 0.0).all()
    assert (out["z"] == 0.0).all()
    assert (out["Pr(>|z|)"] == 1.0).all()
    assert out["Conf. Int. Low"].isna().all()
    assert out["Conf. Int. Hi"].isna().all()
    assert (out["Significance"] == "").all()


def mixed_model(kind):
    """Two binary and two continuous columns around an intercept."""
    rng = np.random.default_rng(11)
    n = 300
    X = np.column_stack(
        [
            np.ones(n),
            (rng.random(n) < 0.4).astype(float),
            rng.normal(size=n),
            (rng.random(n) < 0.6).astype(float),
            rng.normal(2.0, 1.0, n),
        ]
    )
    A = rng.normal(size=(5, 5))
    names = ["const", "b1", "x1", "b2", "x2"]
    return stand_in(kind.capitalize(), rng.normal(0, 0.5, 5), A @ A.T / 100, X, names)


@pytest.mark.parametrize("method", ["SM", "Sm", "", "kova ", "statsmodels", "sm\x00"])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_unrecognised_method_leaves_continuous_rows_empty(kind, method):
    model = mixed_model(kind)
    with pytest.warns(RuntimeWarning, match="se_method"):
        out = velmora.zarn(model, se_method=method)
    continuous = out.loc[["x1", "x2"]]
    assert (continuous["dy/dx"] == 0.0).all()
    assert (continuous["Std. Err"] == 0.0).all()
    assert (continuous["Pr(>|z|)"] == 1.0).all()
    assert (continuous["Significance"] == "").all()

    ames, ses = expected_rows(model, method)
    assert_matches(out, ames, ses, method)
    kova = velmora.zarn(model, se_method="kova").loc[["b1", "b2"]]
    np.testing.assert_allclose(out.loc[["b1", "b2"], "dy/dx"], kova["dy/dx"], rtol=1e-13)
    np.testing.assert_allclose(out.loc[["b1", "b2"], "Std. Err"], kova["Std. Err"], rtol=1e-13)


@pytest.mark.parametrize("method", ["kova", "sm"])
def test_logit_density_stays_finite_for_huge_linear_predictors(method):
    # A few rows with a linear predictor past 709.78, where exp(v) overflows and the
    # written density exp(v) / (exp(v) + 1)^2 is NaN, and some past 354.89, where it is 0.
    rng = np.random.default_rng(5)
    n = 200
    x = rng.normal(size=n)
    x[:3] = [400.0, 720.0, 1500.0]
    X = np.column_stack([np.ones(n), x, (rng.random(n) < 0.5).astype(float)])
    params, cov = np.array([0.2, 1.0, -0.7]), np.diag([0.01, 0.002, 0.03])
    model = stand_in("Logit", params, cov, X, ["const", "x", "b"])

    xb = X @ model.params
    assert np.isnan(ref.literal_logit_pdf(xb)).any()
    assert (ref.literal_logit_pdf(xb) == 0).any()
    out = velmora.zarn(model, se_method=method)
    assert np.isfinite(out[["dy/dx", "Std. Err"]].to_numpy()).all()
    assert (out["Std. Err"] > 0).all()
    ames, ses = expected_rows(model, method)
    assert_matches(out, ames, ses, method)


@pytest.mark.parametrize("late", [2.0, np.nan, -np.inf])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_column_that_leaves_zero_and_one_late_is_continuous(kind, late):
    # Binary columns are first guessed from the leading rows and confirmed by the pass;
    # a count that is 0 or 1 for thousands of rows must still end up continuous.
    rng = np.random.default_rng(7)
    n = 9000
    count = (rng.random(n) < 0.3).astype(float)
    count[-3] = late
    X = np.column_stack(
        [np.ones(n), count, (rng.random(n) < 0.5).astype(float), rng.standard_normal(n)]
    )
    names = ["const", "count", "flag", "x"]
    model = stand_in(
        kind.capitalize(), np.array([-0.3, 0.4, 0.8, -0.5]), np.eye(4) * 1e-3, X, names
    )
    for method in ("kova", "sm"):
        ames, ses = expected_rows(model, method)
        for layout in ("C", "F", "reversed"):
            for chunk in (None, 1000, 4096):
                out = velmora.zarn(with_exog(model, arrange(X, layout)), chunk, method)
                assert_matches(out, ames, ses, f"layout={layout} chunk_size={chunk}")
