"""The derivative of a term's code by one variable, rule by rule, against central differences
of the code itself evaluated with NumPy on the same data; through margins where a design
column multiplies two factors of the same variable."""

from collections import ChainMap

import numpy as np
import pandas as pd
import patsy
import pytest
import statsmodels.formula.api as smf

import margins_reference as ref
import velmora_margins
from velmora_margins.formula.derivative import Differentiator, NotDifferentiable
from velmora_margins.formula.reader import read_design

EPS = np.finfo(np.float64).eps
NAMESPACE = {"np": np, "I": patsy.builtins.I, "Q": patsy.builtins.Q}
ROWS = 64


def differentiate(code, variable="x", variables=("x", "z", "xx"), namespace=NAMESPACE):
    """The derivative as margins' plan asks for it: the variable, the data's variables, and
    a resolver of every other name."""
    return Differentiator(variable, set(variables), namespace.__getitem__).derivative(code)


def points(domain, seed):
    """Random data: x and xx in the domain given, z in [0.5, 2]."""
    rng = np.random.default_rng(seed)
    return {
        "x": rng.uniform(*domain, ROWS),
        "xx": rng.uniform(*domain, ROWS),
        "z": rng.uniform(0.5, 2.0, ROWS),
    }


def central_difference(value, data, variable):
    """(f(v + h) - f(v - h)) / (2h) per row, f the code's value on the data.

    With h = cbrt(eps) * max(1, |v|), the error is at most h²/6 |f'''| (truncation) plus
    about eps |f| / h (rounding of f): eps^(2/3) (s² |f'''| / 6 + |f| / s) with
    s = max(1, |v|), and eps^(2/3) is 4e-11. The tolerance, 1e-7 (1 + |f| + |f'|), leaves
    room for |f'''| s² up to about a thousand times 1 + |f| + |f'|; on the domains of these
    tables the largest error is 4 % of it (tan, the steepest). A wrong rule is off by far
    more: a factor, a sign, a missing term.
    """
    v = data[variable]
    h = np.cbrt(EPS) * np.maximum(1.0, np.abs(v))
    up, down = v + h, v - h
    return (value({**data, variable: up}) - value({**data, variable: down})) / (up - down)


def evaluated(code):
    """The code's value on data, evaluated with NumPy, one value per row."""
    compiled = compile(code, "<term>", "eval")
    return lambda data: np.broadcast_to(
        np.asarray(eval(compiled, {}, {**NAMESPACE, **data}), dtype=float), (ROWS,)
    )


def assert_matches_differences(derivative, value, data, variable):
    got = derivative.evaluate(data, ChainMap(NAMESPACE), ROWS)
    expected = central_difference(value, data, variable)
    allowed = 1e-7 * (1.0 + np.abs(value(data)) + np.abs(expected))
    assert np.all(np.abs(got - expected) <= allowed), np.max(np.abs(got - expected) / allowed)


POSITIVE, WIDE = (0.3, 3.0), (-3.0, 3.0)

# The NumPy functions that the rules below go through.
CHAINED = [
    "log",
    "log2",
    "log10",
    "log1p",
    "exp",
    "expm1",
    "exp2",
    "sqrt",
    "cbrt",
    "square",
    "reciprocal",
    "sin",
    "cos",
    "tan",
    "arctan",
    "sinh",
    "cosh",
    "tanh",
    "abs",
    "absolute",
    "fabs",
    "power",
]

RULE_CASES = [
    # sums and differences, and the sign
    ("x + z", WIDE),
    ("x - z", WIDE),
    ("z - x * 3", WIDE),
    ("x + x + 1", WIDE),
    ("-x", WIDE),
    ("+x - -x", WIDE),
    ("-(x * z)", WIDE),
    # products and the quotient rule
    ("x * z", WIDE),
    ("z * x * x", WIDE),
    ("(x + 1) * (x - 2)", WIDE),
    ("xx * x", WIDE),  # another variable whose name starts with the variable's
    ("x / z", WIDE),
    ("z / x", POSITIVE),
    ("x / (1 + x * x)", WIDE),
    ("(x * z) / (x + z)", POSITIVE),
    ("1 / x / x", POSITIVE),
    # powers: a constant exponent, a variable exponent, a constant base
    ("x ** 3", WIDE),
    ("x ** 2.5", POSITIVE),
    ("x ** -2", POSITIVE),
    ("x ** 0.5", POSITIVE),
    ("(2 * x + z) ** 2", WIDE),
    ("x ** z", POSITIVE),
    ("z ** x", WIDE),
    ("2 ** x", WIDE),
    ("x ** x", POSITIVE),
    ("x ** (2 * x)", POSITIVE),
    ("np.power(x, 3)", WIDE),
    ("np.power(x, z)", POSITIVE),
    ("np.power(2.5, x * z)", WIDE),
    # the chain rule through each of NumPy's functions, on an inner function of x
    ("np.log(x * z)", POSITIVE),
    ("np.log2(x * z)", POSITIVE),
    ("np.log10(x * z)", POSITIVE),
    ("np.log1p(x * z)", POSITIVE),
    ("np.exp(x * z / 2)", WIDE),
    ("np.expm1(x * z / 2)", WIDE),
    ("np.exp2(x * z)", WIDE),
    ("np.sqrt(x * z)", POSITIVE),
    ("np.cbrt(x * z)", POSITIVE),
    ("np.cbrt(-x * z)", POSITIVE),
    ("np.square(x * z - 1)", WIDE),
    ("np.reciprocal(x * z)", POSITIVE),
    ("np.sin(x * z)", WIDE),
    ("np.cos(x * z)", WIDE),
    ("np.tan(x * z / 4)", WIDE),
    ("np.arctan(x * z)", WIDE),
    ("np.sinh(x * z / 2)", WIDE),
    ("np.cosh(x * z / 2)", WIDE),
    ("np.tanh(x * z)", WIDE),
    ("np.abs(x * z - 1)", WIDE),
    ("np.absolute(x - 0.5)", WIDE),
    ("np.fabs(x * z)", WIDE),
    # functions of functions, products of them, and the identity
    ("np.log(1 + np.exp(x))", WIDE),
    ("np.sin(x) * np.exp(-x * x)", WIDE),
    ("np.sqrt(np.square(x) + z) / np.cosh(x)", WIDE),
    ("I(x ** 2 + z)", WIDE),
    ("np.exp(I(x * z) / 3)", WIDE),
    ("I(I(x) * 2) ** 2", WIDE),
    ("np.floor(z) * x", WIDE),  # an unknown function of another variable is a constant
    ('np.log(Q("x")) * Q("z")', POSITIVE),  # a column named by quoting
]


@pytest.mark.parametrize(("code", "domain"), RULE_CASES)
def test_rule_against_central_differences(code, domain):
    data = points(domain, seed=len(code))
    assert_matches_differences(differentiate(code), evaluated(code), data, "x")


@pytest.mark.parametrize("code", ["x ** z", "np.power(x, z)", "np.log(x * z) * z", "x / z"])
def test_by_the_other_variable(code):
    data = points(POSITIVE, seed=7)
    derivative = differentiate(code, variable="z")
    assert_matches_differences(derivative, evaluated(code), data, "z")


@pytest.mark.parametrize(
    ("code", "slope"),
    [
        ("z", 0.0),
        ("np.log(z) * z + xx", 0.0),  # the variable's name inside another's is not it
        ("np.floor(z)", 0.0),  # an unknown function, but not of the variable
        ("3", 0.0),
        ("3 * x", 3.0),
        ("x * 2 - 5", 2.0),
        ("x + z", 1.0),
        ("-x", -1.0),
        ("I(x)", 1.0),
    ],
)
def test_constant_slopes_are_the_same_in_every_row(code, slope):
    derivative = differentiate(code)
    assert derivative.code is None
    assert derivative.constant == slope
    np.testing.assert_array_equal(
        derivative.evaluate(points(WIDE, 1), ChainMap(NAMESPACE), ROWS), slope
    )


# Stateful transforms: the code evaluated is patsy's own, with the state learnt on the data,
# and the value differenced is patsy's design column at the moved data.


@pytest.mark.parametrize(
    "code",
    [
        "center(x)",
        "center(x ** 2)",
        "standardize(x)",
        "standardize(x, ddof=1)",
        "standardize(x, True, True, 1)",
        "standardize(x, rescale=False)",
        "standardize(np.log(x), center=False)",
        "scale(x, ddof=1) * z",
        "np.exp(center(x) / 4)",
    ],
)
def test_stateful_transform_with_its_learnt_state(code):
    frame = pd.DataFrame(points(POSITIVE, seed=3))
    info = patsy.dmatrix(f"0 + I({code})", frame).design_info
    (factor,) = read_design(info, list(frame.columns), None).factors
    derivative = Differentiator("x", {"x", "z", "xx"}, factor.resolve).derivative(factor.eval_code)

    def value(data):
        return np.asarray(patsy.build_design_matrices([info], pd.DataFrame(data))[0])[:, 0]

    data = {name: frame[name].to_numpy() for name in frame.columns}
    got = derivative.evaluate(data, factor.scope, ROWS)
    expected = central_difference(value, data, "x")
    np.testing.assert_allclose(got, expected, rtol=1e-7, atol=1e-7)


class Shift:
    """A stateful transform whose derivative the differentiator does not know."""

    def memorize_chunk(self, x):
        pass

    def memorize_finish(self):
        pass

    def transform(self, x):
        return x + 1


KNOWN = (
    "(I, center, standardize, scale, abs, and NumPy's absolute, arctan, cbrt, cos, cosh, exp, "
    "exp2, expm1, fabs, log, log10, log1p, log2, power, reciprocal, sin, sinh, sqrt, square, "
    "tan, tanh)"
)


@pytest.mark.parametrize(
    ("code", "message"),
    [
        ("x > 0", "'x > 0' is not arithmetic or a known function"),
        ("x * (x > z)", "'x > z' is not arithmetic or a known function"),
        ("x if z else 0", "'x if z else 0' is not arithmetic or a known function"),
        ("x // 2", "the operator in 'x // 2' is not differentiable"),
        ("z % x", "the operator in 'z % x' is not differentiable"),
        ("foo(x)", "'foo' is not a function it can resolve"),
        ("np.nothing(x)", "'np.nothing' is not a function it can resolve"),
        (
            "np.floor(x)",
            f"'np.floor' is not one of the functions whose derivative is known {KNOWN}",
        ),
        (
            "np.log(x, out=None)",
            f"'np.log' is not one of the functions whose derivative is known {KNOWN}",
        ),
        (
            "np.arctan2(x, z)",
            f"'np.arctan2' is not one of the functions whose derivative is known {KNOWN}",
        ),
        (
            "shift(x)",
            "'shift(x)' applies the stateful transform Shift, whose derivative is not known "
            + KNOWN,
        ),
    ],
)
def test_refusals_name_what_is_not_differentiable(code, message):
    namespace = {**NAMESPACE, "shift": Shift().transform}
    with pytest.raises(NotDifferentiable) as caught:
        differentiate(code, namespace=namespace)
    assert str(caught.value) == message
    assert isinstance(caught.value, velmora_margins.DesignError)


def test_the_refusal_lists_every_function_it_differentiates():
    with pytest.raises(NotDifferentiable) as caught:
        differentiate("np.floor(x)")
    listed = str(caught.value).split("NumPy's ", 1)[1].rstrip(")").split(", ")
    for name in CHAINED:
        assert getattr(np, name).__name__ in listed, name


# Through margins, on real fits.


# Design columns that multiply factors of the same variable, with their derivatives by age
# written out by hand (d stands for the data).
TWO_FACTORS = [
    (
        "affair ~ age + age:np.log(age) + yrs_married",
        lambda d: {"age": 1.0, "age:np.log(age)": np.log(d.age) + 1},
    ),
    (
        "affair ~ center(age):age + yrs_married",
        lambda d: {"center(age):age": 2 * d.age - d.age.mean()},
    ),
    (
        "affair ~ np.log(age):I(age**2)",
        lambda d: {"np.log(age):I(age ** 2)": d.age + 2 * d.age * np.log(d.age)},
    ),
    (
        "affair ~ age:yrs_married:np.sqrt(age)",
        lambda d: {"age:yrs_married:np.sqrt(age)": 1.5 * np.sqrt(d.age) * d.yrs_married},
    ),
]


@pytest.mark.parametrize("kind", ["logit", "probit"])
@pytest.mark.parametrize(("formula", "slopes"), TWO_FACTORS)
def test_column_of_two_factors_of_one_variable(fair, kind, formula, slopes):
    fit = smf.logit if kind == "logit" else smf.probit
    result = fit(formula, fair).fit(disp=0)
    table = velmora_margins.margins(result, variables="age")
    expected = ref.derivative_effect(result, slopes(fair))
    np.testing.assert_allclose(
        table[["dy/dx", "Std. Err"]].to_numpy()[0], expected, rtol=1e-9, atol=0
    )


def test_refusal_through_margins_names_the_term_and_the_variable(fair):
    result = smf.logit("affair ~ I(age * (age > 30)) + educ", fair).fit(disp=0)
    with pytest.raises(velmora_margins.ArgumentError) as caught:
        velmora_margins.margins(result)
    assert str(caught.value) == (
        "variables: cannot take the derivative of I(age * (age > 30)) by 'age': "
        "'age > 30' is not arithmetic or a known function"
    )
    # The other variables are still available by name.
    assert list(velmora_margins.margins(result, variables="educ")["term"]) == ["educ"]


def test_python_abs_through_margins(fair):
    result = smf.logit("affair ~ I(abs(age - 30)) + educ", fair).fit(disp=0)
    table = velmora_margins.margins(result, variables="age")
    slopes = {"I(abs(age - 30))": np.sign(fair["age"].to_numpy() - 30)}
    expected = ref.derivative_effect(result, slopes)
    np.testing.assert_allclose(table[["dy/dx", "Std. Err"]].to_numpy()[0], expected, rtol=1e-9)
