"""The results table: labels, rows, index, the standard-error threshold and the stars."""

import json
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ame_reference as ref
import velmora
from support import stand_in


def single_effect(se, b=0.8):
    """One observation of a 0/1 column x beside an intercept, with Std. Err exactly se.

    With the intercept's coefficient -b the counterfactual linear predictor at x = 1 is
    exactly 0, where the Logit density is exactly 1/4, so the mean Jacobian row is
    (1/4, g) and cov_params = diag((4 se)^2, 0) gives V = se^2 without rounding.
    """
    variance = (4.0 * se) ** 2
    assert math.sqrt(variance) == 4.0 * se
    return single_effect_with_variance(variance, b)


def single_effect_with_variance(variance, b=0.8):
    """The model of single_effect with variance as the first entry of cov_params()."""
    cov = np.array([[variance, 0.0], [0.0, 0.0]])
    return stand_in("Logit", np.array([b, -b]), cov, np.array([[0.0, 1.0]]), ["x", "const"])


def row(model):
    out = velmora.zarn(model)
    assert list(out.index) == ["x"]
    return out.loc["x"]


def ame_of():
    return row(single_effect(0.0))["dy/dx"]


def test_labels_rows_and_index_follow_the_columns():
    rng = np.random.default_rng(2)
    n = 50
    X = np.column_stack(
        [rng.normal(size=n), np.ones(n), (rng.random(n) < 0.5).astype(float), np.ones(n)]
    )
    names = ["age", "Intercept", "member", "CONST"]
    out = velmora.zarn(
        stand_in("Logit", np.array([0.3, -0.2, 0.5, 0.1]), np.eye(4) * 0.01, X, names)
    )
    assert list(out.columns) == ref.LABELS
    assert list(out.index) == ["age", "member"]
    assert (out.dtypes.iloc[:6] == np.float64).all()
    assert set(out["Significance"]) <= {"***", "**", "*", ""}


def test_duplicate_names_give_duplicate_labels():
    rng = np.random.default_rng(4)
    X = np.column_stack([np.ones(30), rng.normal(size=30), rng.normal(size=30)])
    params, cov = np.array([0.1, 0.4, -0.3]), np.eye(3) * 0.02
    twice = velmora.zarn(stand_in("Logit", params, cov, X, ["const", "x", "x"]))
    distinct = velmora.zarn(stand_in("Logit", params, cov, X, ["const", "x", "y"]))
    assert list(twice.index) == ["x", "x"]
    # Exact: the names change only the labels; both calls run the same pass.
    np.testing.assert_array_equal(twice.to_numpy(), distinct.to_numpy())


@pytest.mark.parametrize(
    ("names", "exog"),
    [([], np.empty((6, 0))), (["const", "Intercept"], np.ones((6, 2)))],
    ids=["no_columns", "only_intercepts"],
)
def test_no_reported_columns_gives_an_empty_frame(names, exog):
    k = len(names)
    out = velmora.zarn(stand_in("Logit", np.full(k, 0.2), np.eye(k), exog, names))
    assert list(out.columns) == ref.LABELS
    assert out.shape == (0, 7)
    assert len(out.index) == 0


@pytest.mark.parametrize(
    "variance",
    [0.0, (4e-15) ** 2, -1.0, np.nan],
    ids=["zero", "exactly_threshold", "negative_variance", "nan_variance"],
)
def test_error_at_or_below_threshold_reports_no_test(variance):
    r = row(single_effect_with_variance(variance))
    assert r["Std. Err"] == (1e-15 if variance > 0 else 0.0)
    assert (r["z"], r["Pr(>|z|)"], r["Significance"]) == (0.0, 1.0, "")
    assert r["Conf. Int. Low"] == r["dy/dx"] == r["Conf. Int. Hi"] != 0.0


def test_error_just_above_threshold_takes_the_ordinary_path():
    se = np.nextafter(1e-15, 1.0)
    r = row(single_effect(se))
    a = r["dy/dx"]
    assert r["Std. Err"] == se
    assert r["z"] == a / se > 1e13
    assert (r["Pr(>|z|)"], r["Significance"]) == (0.0, "***")
    assert (r["Conf. Int. Low"], r["Conf. Int. Hi"]) == (a - se * 1.96, a + se * 1.96)


def test_infinite_error_gives_zero_z_and_unbounded_interval():
    r = row(single_effect(np.inf))
    assert r["Std. Err"] == np.inf
    assert (r["z"], r["Pr(>|z|)"], r["Significance"]) == (0.0, 1.0, "")
    assert (r["Conf. Int. Low"], r["Conf. Int. Hi"]) == (-np.inf, np.inf)


def test_z_of_exactly_196_is_two_stars():
    a = ame_of()
    near = np.float64(a / 1.96) + np.arange(-20, 21) * np.spacing(a / 1.96)
    se = next(float(s) for s in near if a / s == 1.96)
    r = row(single_effect(se))
    assert r["Std. Err"] == se
    assert r["z"] == 1.96
    assert 0.0499 < r["Pr(>|z|)"] < 0.05
    assert r["Significance"] == "**"


def boundary_errors(a, threshold):
    """The adjacent standard errors around which the p-value crosses threshold.

    p = 2 (1 - Phi(|z|)) is a multiple of 2^-52 and the thresholds are not, so p is
    never exactly 0.01, 0.05 or 0.1; the test takes the nearest values either side.
    """

    def p_value(bits):
        return row(single_effect(float(np.int64(bits).view(np.float64))))["Pr(>|z|)"]

    below, above = (int(np.float64(a / z).view(np.int64)) for z in (5.0, 0.5))
    assert p_value(below) < threshold <= p_value(above)
    while above - below > 1:
        middle = (below + above) // 2
        below, above = (middle, above) if p_value(middle) < threshold else (below, middle)
    return (float(np.int64(bits).view(np.float64)) for bits in (below, above))


@pytest.mark.parametrize(
    ("threshold", "stronger", "weaker"), [(0.01, "***", "**"), (0.05, "**", "*"), (0.1, "*", "")]
)
def test_stars_change_exactly_where_p_crosses_a_threshold(threshold, stronger, weaker):
    below, above = boundary_errors(ame_of(), threshold)
    inside, outside = row(single_effect(below)), row(single_effect(above))
    assert inside["Pr(>|z|)"] < threshold < outside["Pr(>|z|)"]
    assert (inside["Significance"], outside["Significance"]) == (stronger, weaker)


def test_negative_effect_mirrors_the_positive_one():
    # Probit f(-v) == f(v) exactly, so both models share their standard error, and
    # their effects F(b/2) - F(-b/2) and F(-b/2) - F(b/2) are exact negatives.
    b, variance = 0.9, 0.04
    cov, x = np.array([[variance, 0.0], [0.0, 0.0]]), np.array([[0.0, 1.0]])
    pos = row(stand_in("Probit", np.array([b, -b / 2]), cov, x, ["x", "const"]))
    neg = row(stand_in("Probit", np.array([-b, b / 2]), cov, x, ["x", "const"]))
    assert neg["dy/dx"] == -pos["dy/dx"] < 0
    assert neg["Std. Err"] == pos["Std. Err"] > 0
    assert neg["z"] == -pos["z"] < 0
    assert neg["Pr(>|z|)"] == pos["Pr(>|z|)"]
    assert neg["Significance"] == pos["Significance"]
    assert (neg["Conf. Int. Low"], neg["Conf. Int. Hi"]) == (
        -pos["Conf. Int. Hi"],
        -pos["Conf. Int. Low"],
    )


def test_missing_pandas_fails_with_the_import_error_after_reading_the_model():
    script = textwrap.dedent(
        """
        import importlib.abc, json, sys
        import numpy as np

        events = []

        class NoPandas(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == "pandas":
                    events.append("import " + name)
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)

        sys.meta_path.insert(0, NoPandas())
        import velmora

        class Logit:
            @property
            def params(self):
                events.append("params")
                return np.array([0.5, -0.2])
            def cov_params(self):
                events.append("cov_params")
                return np.eye(2)
            @property
            def exog(self):
                events.append("exog")
                return np.array([[1.0, 0.3], [1.0, 2.0], [1.0, -1.0]])
            @property
            def exog_names(self):
                events.append("exog_names")
                return ["const", "x"]

        try:
            velmora.zarn(Logit())
        except ModuleNotFoundError as exc:
            print(json.dumps([exc.name, events, "pandas" in sys.modules]))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    missing, events, loaded = json.loads(done.stdout)
    assert missing == "pandas"
    assert not loaded
    # Everything is read from the model before pandas is asked for, once.
    assert events[-1] == "import pandas"
    assert events.count("import pandas") == 1
    assert {"params", "cov_params", "exog", "exog_names"} <= set(events[:-1])
