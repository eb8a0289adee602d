"""contrast_sums' predictions and derivatives at a side: the descriptions it refuses and
their messages, the order of its effects, and its sums against NumPy evaluations of the
definitions with the links' formulas."""

import numpy as np
import pytest

from velmora_margins import _kernels
from velmora_margins.links import LINKS

N = 1500  # more rows than one block of the kernel
Q, Q2 = 4, 5  # the columns of q and of its square


@pytest.fixture(scope="module")
def rows():
    """(X, weights, beta): an intercept, a 0/1 column, two continuous columns, q and q^2."""
    rng = np.random.default_rng(18)
    q = rng.standard_normal(N)
    x = np.column_stack(
        [np.ones(N), rng.random(N) < 0.3, rng.standard_normal((N, 2)), q, q * q]
    ).astype(float)
    return x, rng.integers(0, 4, N).astype(float), np.array([0.4, 0.8, 0.5, -0.6, 0.3, -0.2])


def beta_for(link, beta):
    """The identity's predictions, which derivatives divide by, stay away from 0 with an
    intercept of 6; the links defined for a positive linear predictor only take one of 12,
    which keeps it above 2 on these rows."""
    if link in ("sqrt", "inverse_squared"):
        return beta + np.eye(len(beta))[0] * 12
    return beta + np.eye(len(beta))[0] * 6 if link == "identity" else beta


ONE = np.ones((1, 1))
NO_SIDE = np.zeros((1, 0))


def call(x, derivatives=(), levels=(), predictions=(), beta=None):
    beta = np.zeros(x.shape[1]) if beta is None else beta
    return _kernels.contrast_sums(
        "logit", beta, x, None, list(derivatives), list(levels), predictions
    )


REFUSED = {
    "a derivative of 3 items": (
        {"derivatives": [([2], ONE, [])]},
        TypeError,
        "derivatives[0] must be a tuple of 2 or 6 items, got a tuple of 3",
    ),
    "a derivative of 5 items": (
        {"derivatives": [([2], ONE), ([2], ONE, [], NO_SIDE, None)]},
        TypeError,
        "derivatives[1] must be a tuple of 2 or 6 items, got a tuple of 5",
    ),
    "a derivative as a list": (
        {"derivatives": [[[2], ONE]]},
        TypeError,
        "derivatives[0] must be a tuple of 2 or 6 items, got 'list'",
    ),
    "a level contrast of 3 items": (
        {"levels": [([1], np.zeros((1, 1)), [ONE])]},
        TypeError,
        "level_contrasts[0] must be a tuple of 4 items, got a tuple of 3",
    ),
    "a prediction of 1 item": (
        {"predictions": [((),)]},
        TypeError,
        "predictions[0] must be a tuple of 2 items, got a tuple of 1",
    ),
    "predictions not a sequence": (
        {"predictions": 3},
        TypeError,
        "predictions must be a sequence",
    ),
    "a side narrower than its columns": (
        {"derivatives": [([2], ONE, [Q, Q2], ONE, None, False)]},
        ValueError,
        "derivatives[0]: side of 1 x 1 for 2 columns",
    ),
    "a side wider than its columns": (
        {"derivatives": [([2], ONE, [Q], np.ones((1, 2)), None, True)]},
        ValueError,
        "derivatives[0]: side of 1 x 2 for 1 column",
    ),
    "a side of neither one row nor one per row": (
        {"derivatives": [([2], ONE, [Q], np.ones((7, 1)), None, False)]},
        ValueError,
        f"derivatives[0]: side of 7 x 1 for x of {N} rows; give one row, or one per row of x",
    ),
    "values of a prediction wider than its columns": (
        {"predictions": [([], ONE)]},
        ValueError,
        "predictions[0]: values of 1 x 1 for 0 columns",
    ),
    "a side column outside x": (
        {"predictions": [([Q, 6], np.ones((1, 2)))]},
        ValueError,
        "predictions[0]: column 6 outside x of 6 columns",
    ),
    "a side column given twice": (
        {"predictions": [([Q, Q], np.ones((1, 2)))]},
        ValueError,
        "predictions[0]: values column 4 given twice",
    ),
    "a multiplier of the wrong length": (
        {"derivatives": [([2], ONE, [], NO_SIDE, np.ones(N - 1), False)]},
        ValueError,
        f"derivatives[0]: multiplier of {N - 1} values for x of {N} rows",
    ),
    "a multiplier of one value": (
        {"derivatives": [([2], ONE, [], NO_SIDE, np.ones(1), False)]},
        ValueError,
        f"derivatives[0]: multiplier of 1 values for x of {N} rows",
    ),
    "a multiplier of two dimensions": (
        {"derivatives": [([2], ONE, [], NO_SIDE, np.ones((N, 1)), False)]},
        TypeError,
        "'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
}


@pytest.mark.parametrize(("arguments", "kind", "message"), REFUSED.values(), ids=REFUSED)
def test_descriptions_that_do_not_fit_are_refused_by_name(rows, arguments, kind, message):
    with pytest.raises(kind) as caught:
        call(rows[0], **arguments)
    assert type(caught.value) is kind
    assert str(caught.value) == message


def test_effects_come_as_derivatives_levels_predictions(rows):
    x, _, beta = rows
    derivatives = [([2], ONE), ([3], ONE, [], NO_SIDE, None, True)]
    levels = [([1], np.zeros((1, 1)), [ONE], True), ([Q], np.zeros((1, 1)), [ONE, 2 * ONE], False)]
    predictions = [((), NO_SIDE), ([Q, Q2], np.array([[1.0, 1.0]]))]
    together = call(x, derivatives, levels, predictions, beta)
    alone = [
        *(call(x, derivatives=[d], beta=beta) for d in derivatives),
        *(call(x, levels=[c], beta=beta) for c in levels),
        *(call(x, predictions=[p], beta=beta) for p in predictions),
    ]
    effects = np.concatenate([s.effects for s in alone])
    gradients = np.concatenate([s.gradients for s in alone])
    assert together.effects.shape == (7,)
    # The seven differ by far more than the sums' rounding in blocks of another size.
    assert np.min(np.abs(np.subtract.outer(effects, effects)) + np.eye(7)) > 1e-3
    np.testing.assert_allclose(together.effects, effects, rtol=1e-13)
    np.testing.assert_allclose(together.gradients, gradients, rtol=1e-12, atol=1e-12)
    # predictions may be left out, or given by keyword.
    assert call(x, derivatives, levels, beta=beta).effects.shape == (5,)
    by_keyword = _kernels.contrast_sums("logit", beta, x, None, [], [], predictions=predictions[:1])
    assert by_keyword.effects.tobytes() == alone[4].effects.tobytes()


def test_a_derivative_of_six_items_at_its_defaults_is_the_one_of_two(rows):
    x, w, beta = rows
    slopes = np.column_stack([np.ones(N), 2 * x[:, Q]])  # of q and q^2, per row
    two = _kernels.contrast_sums("probit", beta, x, w, [([3], ONE), ([Q, Q2], slopes)], [])
    six = _kernels.contrast_sums(
        "probit",
        beta,
        x,
        w,
        [([3], ONE, [], NO_SIDE, None, False), ([Q, Q2], slopes, (), NO_SIDE, None, 0)],
        [],
    )
    assert six.effects.tobytes() == two.effects.tobytes()
    assert six.gradients.tobytes() == two.gradients.tobytes()


def numpy_prediction(link, x, w, beta):
    """Sum w F(x b) and its gradient sum w f(x b) x, from the link table's formulas."""
    eta = x @ beta
    weights = np.ones(len(x)) if w is None else w
    return weights @ LINKS[link].cdf(eta), (weights * LINKS[link].pdf(eta)) @ x


def close(got, want, rtol=1e-12):
    """Each entry within rtol of the largest of want."""
    want = np.asarray(want)
    return np.all(np.abs(got - want) <= rtol * np.max(np.abs(want)))


@pytest.mark.parametrize("link", _kernels.LINKS)
@pytest.mark.parametrize("weighted", [False, True])
def test_predictions_against_numpy(rows, link, weighted):
    x, w, beta = rows
    w = w if weighted else None
    beta = beta_for(link, beta)
    at = np.array([[0.7, 0.49]])
    side = x.copy()
    side[:, [Q, Q2]] = at
    per_row = np.ascontiguousarray(x[:, [3]] - 1.0)
    shifted = x.copy()
    shifted[:, 3] = per_row[:, 0]
    got = _kernels.contrast_sums(
        link, beta, x, w, [], [], [((), NO_SIDE), ([Q, Q2], at), ([3], per_row)]
    )
    for row, xt in enumerate((x, side, shifted)):
        effect, gradient = numpy_prediction(link, xt, w, beta)
        assert got.effects[row] == pytest.approx(effect, rel=1e-12), row
        assert close(got.gradients[row], gradient), row
    assert got.weight == (N if w is None else w.sum())


@pytest.mark.parametrize("link", _kernels.LINKS)
def test_a_derivative_at_a_side_times_a_multiplier_over_f_against_numpy(rows, link):
    """The derivative by q at q = 0.7 (slopes 1 and 2 q of q and q^2 there) times the
    row's x3, divided by the prediction: c f(v) d / F(v) at v = x~ b, and its gradient
    from the definition."""
    x, w, beta = rows
    beta = beta_for(link, beta)
    at = np.array([[0.7, 0.49]])
    multiplier = np.ascontiguousarray(x[:, 3])
    slopes = np.array([[1.0, 1.4]])
    got = _kernels.contrast_sums(
        link, beta, x, w, [([Q, Q2], slopes, [Q, Q2], at, multiplier, True)], []
    )
    xt = x.copy()
    xt[:, [Q, Q2]] = at
    values = LINKS[link].values(xt @ beta)
    big_f, f, f1 = values.cdf, values.pdf, values.pdf_derivative
    d = slopes[0] @ beta[[Q, Q2]]
    effect = w @ (multiplier * f * d / big_f)
    by_eta = multiplier * (f1 * big_f - f * f) * d / big_f**2
    gradient = (w * by_eta) @ xt
    gradient[[Q, Q2]] += (w @ (multiplier * f / big_f)) * slopes[0]
    assert got.effects[0] == pytest.approx(effect, rel=1e-12)
    assert close(got.gradients[0], gradient)
