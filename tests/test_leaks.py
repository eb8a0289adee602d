"""Repeated calls, successful and failing, leave no references and no memory behind."""

import gc
import os
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from support import SANITIZED, Boom, misaligned, packed
from velmora import zarn


def boom(*_):
    raise Boom("raised by the model")


class Logit:
    """The model object: its class name picks the link, and it holds the design matrix."""

    def __init__(self, exog, exog_names):
        self.exog = exog
        self.exog_names = exog_names


class Results:
    """A fitted-model stand-in built from plain arrays."""

    def __init__(self, model, params, cov):
        self.model = model
        self.params = params
        self.cov = cov

    def cov_params(self):
        return self.cov


def design(n, k, seed=0):
    """A constant, then alternating continuous and 0/1 columns."""
    rng = np.random.default_rng(seed)
    x = np.empty((n, k))
    x[:, 0] = 1.0
    for j in range(1, k):
        x[:, j] = rng.standard_normal(n) if j % 2 else rng.random(n) < 0.4
    return x


N, K = 60, 4
X = design(N, K)
PARAMS = np.array([0.2, 0.7, -0.5, 0.3])
COV = np.diag([0.05, 0.02, 0.03, 0.04])
NAMES = ["const", "x1", "d2", "x3"]


class Probit:
    """A results object that is its own model object."""

    def __init__(self):
        self.params, self.exog, self.exog_names = PARAMS, X, NAMES

    def cov_params(self):
        return COV


class OtherModel(Logit):
    pass


class NameRaises:
    @property
    def __class__(self):
        raise Boom("no class")


class NumberNamed:
    class Meta:
        __name__ = 5

    @property
    def __class__(self):
        return self.Meta()


class ParamsRaise(Results):
    params = property(boom)

    def __init__(self, *args):
        self.model, _, self.cov = args


class CovRaises(Results):
    cov_params = boom


class ExogRaises(Logit):
    exog = property(boom)

    def __init__(self, _, names):
        self.exog_names = names


ExogRaises.__name__ = "Logit"


class Frame:
    """An exog with a readable matrix and unreadable column labels."""

    def __init__(self, values):
        self.values = values

    columns = property(boom)


class Names(list):
    """Names whose iteration fails after the first one."""

    def __iter__(self):
        yield self[0]
        raise Boom("names ran out")


def results(model=None, params=PARAMS, cov=COV):
    return Results(Logit(X, NAMES) if model is None else model, params, cov)


# Each case: a label, a function giving (args, kwargs) and the exception expected (None on success).
CASES = [
    # Successful calls.
    ("one chunk", lambda: ((results(),), {}), None),
    ("chunks of 7, sm", lambda: ((results(), 7, "sm"), {}), None),
    ("keywords", lambda: ((), {"model": results(), "chunk_size": 1000}), None),
    ("unrecognised method", lambda: ((results(), None, "SM"), {}), None),
    ("no rows", lambda: ((results(Logit(X[:0], NAMES)),), {}), None),
    ("no model attribute", lambda: ((Probit(),), {}), None),
    # Arguments.
    ("missing model", lambda: ((), {}), TypeError),
    ("four positionals", lambda: ((results(), 1, "sm", 4), {}), TypeError),
    ("unknown keyword", lambda: ((results(),), {"chunksize": 3}), TypeError),
    ("model twice", lambda: ((results(),), {"model": results()}), TypeError),
    ("float chunk", lambda: ((results(), 2.5), {}), TypeError),
    ("negative chunk", lambda: ((results(), -1), {}), OverflowError),
    ("huge chunk", lambda: ((results(), 1 << 70), {}), OverflowError),
    ("zero chunk", lambda: ((results(), 0), {}), ValueError),
    ("bytes method", lambda: ((results(), None, b"sm"), {}), TypeError),
    ("surrogate method", lambda: ((results(), None, "\ud800"), {}), UnicodeEncodeError),
    # Model inputs.
    ("class unreadable", lambda: ((results(NameRaises()),), {}), Boom),
    ("class name not str", lambda: ((results(NumberNamed()),), {}), TypeError),
    ("unsupported class", lambda: ((results(OtherModel(X, NAMES)),), {}), ValueError),
    ("params raise", lambda: ((ParamsRaise(Logit(X, NAMES), None, COV),), {}), Boom),
    ("params a list", lambda: ((results(params=list(PARAMS)),), {}), TypeError),
    ("params float32", lambda: ((results(params=PARAMS.astype(np.float32)),), {}), TypeError),
    ("params 2-d", lambda: ((results(params=PARAMS[None]),), {}), TypeError),
    ("params misaligned", lambda: ((results(params=misaligned(PARAMS)),), {}), ValueError),
    ("cov raises", lambda: ((CovRaises(Logit(X, NAMES), PARAMS, None),), {}), Boom),
    ("cov 1-d", lambda: ((results(cov=np.diag(COV)),), {}), TypeError),
    ("cov packed", lambda: ((results(cov=packed(COV)),), {}), ValueError),
    ("cov wrong size", lambda: ((results(cov=COV[:3, :3]),), {}), ValueError),
    ("exog raises", lambda: ((results(ExogRaises(None, NAMES)),), {}), Boom),
    ("exog int", lambda: ((results(Logit(X.astype(np.int64), NAMES)),), {}), TypeError),
    ("exog misaligned", lambda: ((results(Logit(misaligned(X), NAMES)),), {}), ValueError),
    ("columns raise", lambda: ((results(Logit(Frame(X), NAMES)),), {}), Boom),
    ("names a str", lambda: ((results(Logit(X, "const")),), {}), TypeError),
    ("names not a sequence", lambda: ((results(Logit(X, 4)),), {}), TypeError),
    ("names iteration fails", lambda: ((results(Logit(X, Names(NAMES))),), {}), Boom),
    ("name not a str", lambda: ((results(Logit(X, ["const", 1, "d2", "x3"])),), {}), TypeError),
    ("too few names", lambda: ((results(Logit(X, NAMES[:3])),), {}), ValueError),
    ("params too short", lambda: ((results(params=PARAMS[:3]),), {}), ValueError),
]


def run(make, expected, times):
    """Calls zarn times over, each with fresh arguments, checking each outcome."""
    for _ in range(times):
        args, kwargs = make()
        if expected is None:
            assert isinstance(zarn(*args, **kwargs), pd.DataFrame)
        else:
            try:
                zarn(*args, **kwargs)
            except expected:
                pass
            else:
                pytest.fail("the call did not raise")


def tracked_refcounts():
    return [sys.getrefcount(obj) for obj in (X, PARAMS, COV, NAMES, pd, pd.DataFrame)]


@pytest.fixture(autouse=True)
def quiet_unrecognised_method():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        yield


@pytest.mark.parametrize(("label", "make", "expected"), CASES, ids=[c[0] for c in CASES])
def test_calls_return_every_reference(label, make, expected):
    run(make, expected, 3)
    gc.collect()
    before = tracked_refcounts()
    run(make, expected, 200)
    gc.collect()
    assert tracked_refcounts() == before


@pytest.mark.parametrize("error_type", [Boom, KeyboardInterrupt])
def test_failing_frame_constructor_returns_every_reference(monkeypatch, error_type):
    raised = []

    def refuse(**table):
        raised.append(error_type("table"))
        raise raised[-1]

    monkeypatch.setattr(pd, "DataFrame", refuse)
    model = results()
    before = [*tracked_refcounts(), sys.getrefcount(model)]
    for _ in range(200):
        with pytest.raises(error_type) as caught:
            zarn(model, 17)
        assert caught.value is raised.pop()
    del caught
    gc.collect()
    assert [*tracked_refcounts(), sys.getrefcount(model)] == before


def test_missing_pandas_returns_every_reference(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    model = results()
    before = [*tracked_refcounts(), sys.getrefcount(model)]
    for _ in range(200):
        with pytest.raises(ImportError):
            zarn(model)
    gc.collect()
    assert [*tracked_refcounts(), sys.getrefcount(model)] == before


def test_statsmodels_results_keep_their_reference_counts(spector_result):
    model = spector_result.model
    tracked = [spector_result, model, model.exog, spector_result.params, model.exog_names]
    for _ in range(5):
        zarn(spector_result)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    for method in ["kova", "sm"] * 100:
        zarn(spector_result, 9, method)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="LeakSanitizer checks the sanitized build")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_process_memory_stays_flat_over_thousands_of_calls():
    # k = 40 makes every call's accumulators and covariance work about 60 KB,
    # so leaking any of them would add well over 100 MB below.
    k = 40
    x = design(500, k, seed=1)
    names = ["const"] + [f"v{j}" for j in range(1, k)]
    big = Results(Logit(x, names), np.linspace(-0.3, 0.3, k), np.eye(k) * 0.01)
    settings = [(64, "kova"), (None, "sm"), (33, "other")]

    def burst(times):
        for i in range(times):
            chunk, method = settings[i % len(settings)]
            zarn(big, chunk, method)
            _, make, expected = CASES[i % len(CASES)]
            run(make, expected, 1)

    burst(400)
    gc.collect()
    before = resident_bytes()
    burst(4000)
    gc.collect()
    assert resident_bytes() - before < 16 * 2**20
