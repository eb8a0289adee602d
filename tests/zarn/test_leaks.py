"""Repeated calls, successful and failing, leave no references and no memory behind.

The calls are those of the behaviour tests, taken from the case tables in support.py, each
made on a fresh stand-in of a statsmodels fit.
"""

import gc
import os
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from support import (
    ACCEPTED_FORMS,
    BINDING_ERRORS,
    CHUNK_BEFORE_METHOD,
    CHUNK_OTHER_ERRORS,
    CHUNK_SIZES,
    CHUNK_TYPE_ERRORS,
    CLASS_SPELLINGS,
    DEFAULT_CALLS,
    FRAME_OUTCOMES,
    MODEL,
    NON_INTERCEPTS,
    NON_MODELS,
    READ_ERRORS,
    REFUSED_INPUTS,
    SANITIZED,
    SE_METHOD_TYPE_ERRORS,
    SIZE_MISMATCHES,
    SM_SPELLINGS,
    UNENCODABLE_METHOD,
    UNREADABLE,
    UNRECOGNISED,
    ZERO_CHUNKS,
    Boom,
    duck,
    parts,
    stand_in,
    with_model,
)
from velmora import zarn


def on_model(args, kwargs):
    """The call with args and kwargs, a fresh stand-in in the place of MODEL."""
    return lambda p: with_model(args, kwargs, duck(p))


def on_changed(change):
    """The call on a fresh stand-in with the members change(p) replaced."""
    return lambda p: ((duck(p, **change(p)),), {})


def calls():
    """(label, make, expected) for each case: make(p) gives the arguments of one call on a
    stand-in of the fit with parts p, and expected is the exception it raises, or None."""
    out = []

    def add(label, make, expected=None):
        out.append((label, make, expected))

    for i, (args, kwargs) in enumerate(DEFAULT_CALLS):
        add(f"default call {i}", on_model(args, kwargs))
    for chunk in CHUNK_SIZES:
        add(f"chunk_size {chunk!r}", on_model((MODEL, chunk), {}))
    for text in UNRECOGNISED:
        add(f"se_method {text!r}", on_model((MODEL, None, text), {}))
    for text in SM_SPELLINGS:
        add(f"se_method of type {type(text).__name__}", on_model((MODEL, None, text), {}))
    for i, (args, kwargs, _) in enumerate(BINDING_ERRORS):
        add(f"binding error {i}", on_model(args, kwargs), TypeError)
    for chunk in CHUNK_TYPE_ERRORS:
        add(f"chunk_size {chunk!r}", on_model((MODEL, chunk), {}), TypeError)
    for chunk, kind in CHUNK_OTHER_ERRORS:
        add(f"chunk_size {chunk!r}", on_model((MODEL, chunk), {}), kind)
    for chunk in ZERO_CHUNKS:
        add(f"chunk_size {chunk!r}", on_model((MODEL, chunk), {}), ValueError)
    for method, type_name in SE_METHOD_TYPE_ERRORS:
        add(f"se_method of type {type_name}", on_model((MODEL,), {"se_method": method}), TypeError)
    add(
        "se_method unencodable", on_model((MODEL, None, UNENCODABLE_METHOD), {}), UnicodeEncodeError
    )
    for chunk, method, kind in CHUNK_BEFORE_METHOD:
        add(
            f"chunk_size {chunk!r}, se_method {method!r}",
            on_model((MODEL, chunk, method), {}),
            kind,
        )

    for i, spelling in enumerate(CLASS_SPELLINGS):
        add(f"class name spelling {i}", lambda p, s=spelling: ((duck(p, name=s(p["name"])),), {}))
    for label, change in ACCEPTED_FORMS.items():
        add(label, on_changed(change))
    for first, names in NON_INTERCEPTS.items():
        add(f"first name {first!r}", lambda p, n=names: ((duck(p, exog_names=n),), {}))
    for value, type_name in NON_MODELS:
        add(f"model a {type_name}", lambda p, v=value: ((v,), {}), ValueError)
    for label, (change, kind, _) in REFUSED_INPUTS.items():
        add(label, on_changed(change), kind)
    for label, (change, _) in SIZE_MISMATCHES.items():
        add(label, on_changed(change), ValueError)
    for label, change in READ_ERRORS.items():
        add(f"{label} raises", lambda p, c=change: ((duck(p, **c(Boom(), p)),), {}), Boom)
    for label, (layout, field, _) in UNREADABLE.items():
        add(label, lambda p, f=field, a=layout: ((duck(p, **{f: a(p[f])}),), {}), ValueError)
    # The design matrix without rows, as test_differential checks it.
    add("no rows", lambda p: ((duck(p, exog=p["exog"][:0]),), {}))
    return out


CALLS = calls()


def run(make, expected, p, times):
    """Calls zarn times over, each with fresh arguments, checking each outcome."""
    for _ in range(times):
        args, kwargs = make(p)
        if expected is None:
            assert isinstance(zarn(*args, **kwargs), pd.DataFrame)
        else:
            try:
                zarn(*args, **kwargs)
            except expected:
                pass
            else:
                pytest.fail("the call did not raise")


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Leaves the objects that exist now to the collector's permanent generation, so that a
    collection scans only what the calls made (milliseconds rather than a tenth of a
    second); reference counts are exact either way."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.fixture(autouse=True)
def quiet_unrecognised_method():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        yield


@pytest.fixture(scope="module")
def p(spector):
    """Parts of a Logit fit to the spector data."""
    exog, endog = spector
    return parts(sm.Logit(endog, exog).fit(disp=0))


def tracked_refcounts(p, *others):
    """The reference counts of the fit's arrays and names, of pandas, and of others."""
    tracked = (p["params"], p["cov"], p["exog"], p["exog_names"], pd, pd.DataFrame, *others)
    return [sys.getrefcount(obj) for obj in tracked]


@pytest.mark.parametrize(("label", "make", "expected"), CALLS, ids=[c[0] for c in CALLS])
def test_calls_return_every_reference(p, label, make, expected):
    run(make, expected, p, 3)
    gc.collect()
    before = tracked_refcounts(p)
    run(make, expected, p, 200)
    gc.collect()
    assert tracked_refcounts(p) == before


@pytest.mark.parametrize("outcome", FRAME_OUTCOMES)
def test_frame_constructor_outcome_returns_every_reference(monkeypatch, p, outcome):
    made = []

    def constructor(**table):
        made.append(FRAME_OUTCOMES[outcome]())
        if isinstance(made[-1], BaseException):
            raise made[-1]
        return made[-1]

    monkeypatch.setattr(pd, "DataFrame", constructor)
    model = duck(p)
    gc.collect()
    before = tracked_refcounts(p, model)
    for _ in range(200):
        try:
            got = zarn(model, 17)
        except BaseException as error:  # the outcome's error, checked below
            got = error
        assert got is made.pop()
    del got
    gc.collect()
    assert tracked_refcounts(p, model) == before


def test_missing_pandas_returns_every_reference(monkeypatch, p):
    monkeypatch.setitem(sys.modules, "pandas", None)
    model = duck(p)
    gc.collect()
    before = tracked_refcounts(p, model)
    for _ in range(200):
        with pytest.raises(ImportError):
            zarn(model)
    gc.collect()
    assert tracked_refcounts(p, model) == before


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


def design(n, k, seed=0):
    """A constant, then alternating continuous and 0/1 columns."""
    rng = np.random.default_rng(seed)
    x = np.empty((n, k))
    x[:, 0] = 1.0
    for j in range(1, k):
        x[:, j] = rng.standard_normal(n) if j % 2 else rng.random(n) < 0.4
    return x


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Under AddressSanitizer freed memory sits in a quarantine, so the resident size grows
# whatever the module does.
@pytest.mark.skipif(SANITIZED, reason="LeakSanitizer checks the sanitized build")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_process_memory_stays_flat_over_thousands_of_calls(p):
    # k = 40 makes every call's accumulators and covariance work about 60 KB,
    # so leaking any of them would add well over 100 MB below.
    k = 40
    x = design(500, k, seed=1)
    names = ["const"] + [f"v{j}" for j in range(1, k)]
    big = stand_in("Logit", np.linspace(-0.3, 0.3, k), np.eye(k) * 0.01, x, names, nested=True)
    settings = [(64, "kova"), (None, "sm"), (33, "other")]

    def burst(times):
        for i in range(times):
            chunk, method = settings[i % len(settings)]
            zarn(big, chunk, method)
            _, make, expected = CALLS[i % len(CALLS)]
            run(make, expected, p, 1)

    burst(400)
    gc.collect()
    before = resident_bytes()
    burst(4000)
    gc.collect()
    assert resident_bytes() - before < 16 * 2**20
