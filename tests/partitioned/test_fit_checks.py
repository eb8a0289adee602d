"""What fit checks before and while it fits, as the library and the command both meet it:
the formula and its outcome, and the rank of the regressors."""

import numpy as np
import pandas as pd
import pytest

import velmora_margins
from velmora_margins.partitioned.newton import check_rank, information_rank

EPS = np.finfo(np.float64).eps


def outcomes(rows=200):
    rng = np.random.default_rng(5)
    y = (rng.random(rows) < 0.5).astype(int)
    return pd.DataFrame(
        {
            "y": y,
            "w": np.where(np.arange(rows) % 7 == 3, np.nan, y.astype(float)),
            "flag": rng.random(rows) < 0.4,
            "count": np.where(np.arange(rows) < 2, 2, rng.integers(0, 2, rows)),
            "label": np.where(np.arange(rows) % 2 == 0, "a", "b"),
            "empty": [None] * rows,
            "x": rng.normal(size=rows),
        }
    )


@pytest.mark.parametrize(
    "formula",
    [
        "y ~ x",
        "w ~ x",  # missing values are dropped, with the rows
        "flag ~ x",  # True and False are 1 and 0
        "I((count > 1) * 1) ~ x",  # an expression whose values are 0 and 1
    ],
)
def test_outcome_that_passes(formula):
    result = velmora_margins.fit(formula, outcomes())
    assert result.nobs == (200 - 29 if formula.startswith("w") else 200)


@pytest.mark.parametrize(
    ("formula", "error", "message"),
    [
        (
            "y + count",
            velmora_margins.FormulaError,
            "formula 'y + count' has no '~'; write it as outcome ~ regressors, "
            'e.g. "y ~ x1 + x2 + C(group)"',
        ),
        (
            " ~ count",
            velmora_margins.FormulaError,
            "formula ' ~ count' names no outcome before '~'",
        ),
        (
            "label ~ y",
            velmora_margins.FormulaError,
            "outcome 'label' is not numeric (it holds values such as 'a'); recode it as 0 and 1",
        ),
        (
            "empty ~ y",
            velmora_margins.FormulaError,
            "outcome 'empty' is not numeric; recode it as 0 and 1",
        ),
        (
            "count ~ y",
            velmora_margins.PartitionError,
            "the data: the outcome must hold only 0 and 1, but 2 rows of 'count' hold other "
            "values, such as 2.0; recode it as 0 and 1",
        ),
        (
            "y ~ nope",
            velmora_margins.FormulaError,
            "formula 'y ~ nope' uses 'nope', which is not a column of the data; columns are: "
            "y, w, flag, count, label, empty, x",
        ),
    ],
)
def test_formula_and_outcome_that_are_refused(formula, error, message):
    with pytest.raises(error) as caught:
        velmora_margins.fit(formula, outcomes())
    assert str(caught.value) == message


# The rank of the regressors, from the information matrix X'X (at zero, the information of
# either model is a multiple of it).


def regressor(n, seed=0):
    return np.random.default_rng(seed).normal(size=n)


def rank_of(x):
    return information_rank(x.T @ x)


def test_rank_of_a_column_beside_its_double():
    x = regressor(50)
    assert rank_of(np.column_stack([np.ones(50), x, 2 * x])) == 2


def test_rank_of_a_column_beside_one_nearly_its_double():
    x = regressor(50)
    nearly = 2 * x + 1e-6 * regressor(50, seed=1)
    assert rank_of(np.column_stack([np.ones(50), x, nearly])) == 3


def test_rank_with_more_columns_than_rows():
    wide = np.random.default_rng(2).normal(size=(3, 5))
    assert rank_of(wide) == 3
    wide[2] = wide[0] - wide[1]
    assert rank_of(wide) == 2


def test_rank_refuses_an_infinite_value():
    design = np.column_stack([np.ones(50), regressor(50)])
    design[1, 1] = np.inf
    with pytest.raises(velmora_margins.FitError, match="the design matrix holds infinite values"):
        check_rank(design.T @ design, ("const", "x"), "y ~ x")


@pytest.mark.parametrize(("rows", "columns"), [(0, 3), (5, 0), (0, 0)])
def test_rank_of_an_empty_design(rows, columns):
    assert rank_of(np.empty((rows, columns))) == 0


def test_rank_counts_eigenvalues_above_the_largest_times_size_times_eps():
    # A 2 x 2 information in correlation form whose eigenvalues are 2 - s and s: the
    # threshold is (2 - s) * 2 * eps, about 4 eps, whatever the columns' scales.
    def information(s, scale):
        a = 1.0 - s
        return np.array([[1.0, a], [a, 1.0]]) * np.outer(scale, scale)

    for scale in ([1.0, 1.0], [1e-8, 3e5]):
        assert information_rank(information(6 * EPS, scale)) == 2
        assert information_rank(information(2 * EPS, scale)) == 1


@pytest.mark.parametrize(("rows", "columns", "drop"), [(200, 6, 2), (40, 8, 0), (4, 7, 1)])
def test_rank_agrees_with_numpys_rule_where_columns_are_exact_combinations(rows, columns, drop):
    rng = np.random.default_rng(rows + columns)
    x = rng.normal(size=(rows, columns))
    for j in range(drop):  # columns made from others
        x[:, -1 - j] = x[:, 0] * (j + 2) - x[:, 1]
    assert rank_of(x) == np.linalg.matrix_rank(x)
