"""Hostile and unusual inputs: every call returns a table or raises, and no input is written."""

import gc
import itertools

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from support import SANITIZED, Boom, FailingNames, root_bytes, same_table, stand_in
from velmora import zarn

FUZZ = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)


class Halt(BaseException):
    """A non-Exception error raised by the test's own objects."""


SPECIAL = [np.nan, np.inf, -np.inf]


@st.composite
def models(draw):
    """Model pieces with constant, 0/1 and continuous columns, some values NaN or infinite."""
    n = draw(st.integers(0, 25))
    kinds = draw(
        st.lists(st.sampled_from(["const", "binary", "continuous"]), min_size=1, max_size=5)
    )
    columns = []
    for kind in kinds:
        if kind == "const":
            columns.append(np.ones(n))
        elif kind == "binary":
            columns.append(draw(hnp.arrays(np.float64, n, elements=st.sampled_from([0.0, 1.0]))))
        else:
            columns.append(draw(hnp.arrays(np.float64, n, elements=st.floats(-6, 6))))
    x = np.column_stack(columns) if n else np.zeros((0, len(kinds)))
    k = len(kinds)
    params = draw(hnp.arrays(np.float64, k, elements=st.floats(-3, 3)))
    root = draw(hnp.arrays(np.float64, (k, k), elements=st.floats(-0.5, 0.5)))
    cov = root @ root.T + np.eye(k) * 1e-3
    for a in (x, params, cov):
        if a.size and draw(st.integers(0, 5)) == 0:
            a.flat[draw(st.integers(0, a.size - 1))] = draw(st.sampled_from(SPECIAL))
    names = ["const" if kind == "const" else f"{kind}{j}" for j, kind in enumerate(kinds)]
    return x, params, cov, names


# Hostile objects: each attribute read follows a drawn behaviour.

ERRORS = [
    lambda: Boom("boom"),
    lambda: Halt("halt"),
    lambda: ValueError("value"),
    lambda: KeyError("key"),
    lambda: AttributeError("attribute"),
    lambda: RecursionError("deep"),
]


class Reads:
    """Serves one attribute: the good value, an error, a wrong value, or by turns."""

    def __init__(self, behaviour, good, wrong, error, raised):
        self.behaviour, self.good, self.wrong = behaviour, good, wrong
        self.error, self.raised = error, raised
        self.count = itertools.count()

    def __call__(self, *_):
        turn = next(self.count)
        if self.behaviour == "raise":
            self.raised.append(ERRORS[self.error]())
            raise self.raised[-1]
        if self.behaviour == "wrong" or (self.behaviour == "by turns" and turn % 2):
            return self.wrong
        return self.good


BEHAVIOURS = st.sampled_from(["good", "good", "raise", "wrong", "by turns"])
WRONG = st.sampled_from(
    [None, 5, "text", [1.0, 2.0], np.zeros(3, np.float32), np.zeros((2, 2, 2)), np.arange(3)]
)
NAME_FORMS = st.sampled_from(
    ["list", "tuple", "str", "int", "non-str", "bytes", "surrogate", "failing", "short", "long"]
)


def raise_later(error, raised):
    """A new error of the drawn kind, listed in raised as one of the test's own."""
    raised.append(ERRORS[error]())
    return raised[-1]


def names_in_form(form, names, error, raised):
    return {
        "list": lambda: list(names),
        "tuple": lambda: tuple(names),
        "str": lambda: "const",
        "int": lambda: 3,
        "non-str": lambda: [*names[:-1], 7],
        "bytes": lambda: [n.encode() for n in names],
        "surrogate": lambda: [*names[:-1], "\udc80"],
        "failing": lambda: FailingNames(names, raise_later(error, raised)),
        "short": lambda: names[:-1],
        "long": lambda: [*names, "extra"],
    }[form]()


@FUZZ
@given(
    pieces=models(),
    model_kind=st.sampled_from(["Logit", "Probit", "PROBIT", "LogitResults", "OLS"]),
    results_kind=st.sampled_from(["LogitResults", "Logit", "Probit"]),
    behaviour=st.fixed_dictionaries(
        dict.fromkeys(["model", "params", "values", "cov_params", "exog"], BEHAVIOURS)
    ),
    wrong=st.fixed_dictionaries(
        dict.fromkeys(["model", "params", "values", "cov_params", "exog"], WRONG)
    ),
    error=st.integers(0, len(ERRORS) - 1),
    names_form=NAME_FORMS,
    frame=st.booleans(),
)
def test_hostile_objects_give_a_table_or_an_exception(
    pieces, model_kind, results_kind, behaviour, wrong, error, names_form, frame
):
    x, params, cov, names = pieces
    raised = []

    def reads(name, good):
        return property(Reads(behaviour[name], good, wrong[name], error, raised))

    names_value = names_in_form(names_form, names, error, raised)
    exog = pd.DataFrame(x, columns=names_value) if frame and names_form == "list" else x
    model = type(model_kind, (), {"exog": reads("exog", exog), "exog_names": names_value})()
    params_holder = type("Params", (), {"values": reads("values", params)})()
    results = type(
        results_kind,
        (),
        {
            "model": reads("model", model),
            "params": reads("params", params_holder),
            "cov_params": Reads(behaviour["cov_params"], cov, wrong["cov_params"], error, raised),
        },
    )()
    before = [root_bytes(a) for a in (x, params, cov)]

    escaped = None
    try:
        out = zarn(results)
    except BaseException as exc:  # every escaping error is judged below
        escaped = exc
    if escaped is not None:
        ours = any(escaped is e for e in raised)
        event("ours" if ours else type(escaped).__name__)
        assert ours or (isinstance(escaped, Exception) and str(escaped)), repr(escaped)
    else:
        event("table")
        assert isinstance(out, pd.DataFrame)
        assert len(out.columns) == 7
    assert [root_bytes(a) for a in (x, params, cov)] == before


def test_arrays_stay_alive_while_the_call_runs():
    # Each read hands out a fresh array that nothing else holds, and listing the
    # names drops every other reference and reuses the freed memory: the call must
    # keep its own references for as long as it reads the arrays.
    rng = np.random.default_rng(3)
    n, k = 4000, 4
    x = np.column_stack([np.ones(n), rng.standard_normal((n, 2)), rng.random(n) < 0.5])
    params, cov = np.array([0.3, -0.6, 0.8, 0.4]), np.diag([0.02, 0.03, 0.01, 0.05])
    names = ["const", "a", "b", "d"]
    want = zarn(stand_in("Probit", params, cov, x, names))
    churn = []

    class Names:
        def __len__(self):
            return k

        def __getitem__(self, i):
            return names[i]

        def __iter__(self):
            gc.collect()
            churn.extend(np.full(size, 1e300) for size in (n * k, k * k, k) for _ in range(50))
            return iter(names)

    class Fresh:
        @property
        def values(self):
            return self.make()

    exog = type("Frame", (Fresh,), {"make": lambda s: x.copy(), "columns": Names()})()
    beta = type("Series", (Fresh,), {"make": lambda s: params.copy()})()
    sigma = type("Frame", (Fresh,), {"make": lambda s: cov.copy()})()
    model = type("Probit", (), {"exog": exog})()
    results = type("R", (), {"model": model, "params": beta, "cov_params": lambda s: sigma})()

    got = zarn(results, 1000)
    assert churn
    # Chunks of 1000 rows add the rows' sums in another order than one chunk.
    p = {"name": "Probit", "params": params, "cov": cov, "exog": x, "exog_names": names}
    same_table(got, want, p, "kova")


class Overstated:
    """Names whose length claims far more entries than iteration gives."""

    def __init__(self, names, claimed):
        self.names, self.claimed = names, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.names[i]

    def __iter__(self):
        return iter(self.names)


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer aborts on a huge allocation")
@pytest.mark.parametrize("claimed", [2**40, 2**62])
def test_names_that_overstate_their_length(claimed):
    x = np.array([[1.0, 0.2], [1.0, 1.5], [1.0, -0.7]])
    model = stand_in(
        "Logit", np.array([0.5, -1.0]), np.eye(2), x, Overstated(["const", "x"], claimed)
    )
    assert zarn(model).index.tolist() == ["x"]
