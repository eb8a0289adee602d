"""The floor counts the library calls of one pass: each row's own link values once, and per
binary column those of the counterfactual side."""

import numpy as np
import pytest

from bench.competitors.floor import floor_arguments
from bench.data import make_beta, make_design


@pytest.mark.parametrize(
    ("kind", "method", "g", "exp_calls", "erfc_calls"),
    [
        ("logit", "kova", 0, 1, 0),  # f alone
        ("logit", "sm", 0, 2, 0),  # f and F, for f'
        ("logit", "kova", 3, 2 + 2 * 3, 0),
        ("logit", "sm", 3, 2 + 2 * 3, 0),
        ("probit", "kova", 0, 1, 0),
        ("probit", "sm", 0, 1, 0),
        ("probit", "kova", 3, 1 + 3, 1 + 3),
        ("probit", "sm", 3, 1 + 3, 1 + 3),
    ],
)
def test_calls_per_row(kind: str, method: str, g: int, exp_calls: int, erfc_calls: int) -> None:
    X, beta = make_design(1000, 7, g), make_beta(7, g)
    exp_args, erfc_args, rows = floor_arguments(kind, method, X, beta, list(range(1, 1 + g)))
    assert rows == 1000
    assert len(exp_args) == exp_calls * rows
    assert len(erfc_args) == erfc_calls * rows


def test_the_arguments_are_those_of_the_counterfactual_side() -> None:
    X, beta = make_design(500, 5, 2), make_beta(5, 2)
    xb = X @ beta
    # The side of column 1 that differs from the row's own: x = 1 -> 0, x = 0 -> 1.
    flipped = np.where(X[:, 1] == 1.0, xb - beta[1], xb + beta[1])
    exp_args, erfc_args, _ = floor_arguments("probit", "sm", X, beta, [1, 2])
    np.testing.assert_allclose(exp_args[:500], -0.5 * xb * xb, rtol=1e-15)
    np.testing.assert_allclose(exp_args[500:1000], -0.5 * flipped * flipped, rtol=1e-13)
    np.testing.assert_allclose(erfc_args[500:1000], -flipped / np.sqrt(2.0), rtol=1e-13)
    logit_exp, _, _ = floor_arguments("logit", "sm", X, beta, [1, 2])
    # Exact: the floor forms xb by the same NumPy product, of a C-ordered copy of these rows.
    np.testing.assert_array_equal(logit_exp[:1000], np.concatenate([xb, -xb]))
    np.testing.assert_allclose(logit_exp[1000:2000], np.concatenate([-flipped, flipped]))


def test_a_large_design_is_sampled() -> None:
    X, beta = make_design(100_000, 4, 1), make_beta(4, 1)
    exp_args, _, rows = floor_arguments("logit", "kova", X, beta, [1])
    assert rows == 32768
    assert len(exp_args) == 4 * rows
