"""zarn against the plain NumPy implementation in ame_reference, over many random models.

Tolerances: dy/dx and Std. Err agree within the rounding bounds of each case
(rounding.py): both sides add the same terms over the rows, in orders of their own (and of
the BLAS kernel the CPU gets), so they agree to units of rounding of the terms' magnitudes,
and a standard error that comes out of a cancellation in J Σ Jᵀ only as far as the
cancellation leaves. z, p, stars and the bounds are recomputed from the returned dy/dx and
Std. Err (support.check_row_arithmetic).
"""

import numpy as np
import pytest

import ame_reference as ref
import rounding
import velmora
from support import (
    assert_matches,
    check_row_arithmetic,
    chunk_sizes,
    duck,
    effect_errors,
    expected_rows,
    random_parts,
    reversed_rows,
)


def check_table(out, p):
    """Columns, index and the per-row arithmetic of z, p, stars and bounds."""
    assert list(out.index) == [name for name in p["exog_names"] if not ref.is_intercept(name)]
    check_row_arithmetic(out)


@pytest.mark.parametrize("method", ["kova", "sm"])
@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize("n", [1, 2, 12, 121, 2500])
def test_agrees_with_reference_for_every_chunk_size(kind, method, n):
    # In C order; test_layouts holds every other layout to the C-order table.
    for seed in range(3):
        p = random_parts(1000 * n + seed, kind, n)
        for chunk in chunk_sizes(n):
            out = velmora.zarn(duck(p), chunk, method)
            assert_matches(out, p, method, f"seed={seed} chunk_size={chunk}")
            check_table(out, p)


@pytest.mark.parametrize("chunk", [1, 3, 64])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_reference_chunks_agree_with_one_chunk(kind, chunk):
    # The reference's own chunk loop, not only the extension's, must be invariant.
    p = random_parts(7, kind, 200)
    whole = expected_rows(p, "sm")
    chunked = expected_rows(p, "sm", chunk)
    rounding.assert_close_effects(*chunked, *whole, *effect_errors(p, "sm"), f"chunk={chunk}")


@pytest.mark.parametrize("method", ["kova", "sm"])
@pytest.mark.parametrize("kind", ["logit", "probit"])
def test_no_rows_gives_nan_effects_and_zero_errors(kind, method):
    p = random_parts(3, kind, 40)
    out = velmora.zarn(duck(p, exog=p["exog"][:0]), se_method=method)
    assert len(out) == sum(not ref.is_intercept(name) for name in p["exog_names"]) > 0
    assert out["dy/dx"].isna().all()
    assert (out["Std. Err"] == 0.0).all()
    assert (out["z"] == 0.0).all()
    assert (out["Pr(>|z|)"] == 1.0).all()
    assert out["Conf. Int. Low"].isna().all()
    assert out["Conf. Int. Hi"].isna().all()
    assert (out["Significance"] == "").all()


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
    names = ["const", "x", "b"]
    p = {"name": "Logit", "params": params, "cov": cov, "exog": X, "exog_names": names}

    xb = X @ params
    assert np.isnan(ref.literal_logit_pdf(xb)).any()
    assert (ref.literal_logit_pdf(xb) == 0).any()
    out = velmora.zarn(duck(p), se_method=method)
    assert np.isfinite(out[["dy/dx", "Std. Err"]].to_numpy()).all()
    assert (out["Std. Err"] > 0).all()
    assert_matches(out, p, method, method)


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
    params, cov = np.array([-0.3, 0.4, 0.8, -0.5]), np.eye(4) * 1e-3
    p = {"name": kind.capitalize(), "params": params, "cov": cov, "exog": X, "exog_names": names}
    # The pass meets the late value last, first or in between, depending on the layout.
    layouts = {"C": np.ascontiguousarray, "F": np.asfortranarray, "reversed": reversed_rows}
    for method in ("kova", "sm"):
        for layout, arrange in layouts.items():
            for chunk in (None, 1000, 4096):
                out = velmora.zarn(duck(p, exog=arrange(X)), chunk, method)
                assert_matches(out, p, method, f"layout={layout} chunk_size={chunk}")
