"""Calls from several threads at once give exactly the results of the same calls in turn."""

import sys
import threading

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

from support import Boom, NameSequence, stand_in
from velmora import zarn


class SlowNames(NameSequence):
    """Names listed one by one through Python code, so threads switch mid-call."""

    def __iter__(self):
        for name in self.names:
            yield "".join(list(name))


class FailingCov:
    def __init__(self, inner):
        self.inner = inner

    @property
    def model(self):
        return self.inner.model

    @property
    def params(self):
        return self.inner.params

    def cov_params(self):
        raise Boom("no covariance")


@pytest.fixture(scope="module")
def calls(spector):
    exog, endog = spector
    fitted = [m(endog, exog).fit(disp=0) for m in (sm.Logit, sm.Probit)]
    rng = np.random.default_rng(11)
    n = 20_000
    x = np.column_stack([np.ones(n), rng.standard_normal((n, 3)), rng.random((n, 2)) < 0.3])
    params = np.array([0.1, 0.4, -0.7, 0.2, 0.9, -0.5])
    cov = np.diag(np.linspace(0.01, 0.06, 6))
    names = ["const", "a", "b", "c", "d", "e"]
    big = stand_in("Probit", params, cov, np.asfortranarray(x), SlowNames(names))
    return [
        (fitted[0], None, None),
        (fitted[1], 7, "sm"),
        (fitted[0], 5, "kova"),
        (big, None, "kova"),
        (big, 999, "sm"),
        (stand_in("Logit", params, cov, x[::-1], names), 4096, "sm"),
        (stand_in("Logit", params[:5], cov, x, names), None, None),
        (stand_in("Tobit", params, cov, x, names), None, None),
        (FailingCov(fitted[1]), None, None),
        (fitted[1], 0, None),
    ]


def outcome(model, chunk, method):
    try:
        return zarn(model, chunk, method)
    except Exception as exc:
        return type(exc), str(exc)


def same(got, want):
    if isinstance(want, pd.DataFrame):
        # Exact: each call runs the same pass on the same arrays, whichever thread runs it.
        pd.testing.assert_frame_equal(got, want, check_exact=True)
    else:
        assert got == want


def test_concurrent_calls_match_calls_in_turn(calls):
    expected = [outcome(*call) for call in calls]
    assert any(isinstance(e, pd.DataFrame) for e in expected)
    assert any(isinstance(e, tuple) for e in expected)

    threads_count, rounds = 6, 3
    results = [[] for _ in range(threads_count)]
    failures = []
    start = threading.Barrier(threads_count)

    def work(t):
        try:
            start.wait()
            for r in range(rounds):
                # Every thread walks the calls from a different place.
                for i in range(len(calls)):
                    j = (i + t + r) % len(calls)
                    results[t].append((j, outcome(*calls[j])))
        except BaseException as exc:
            failures.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=work, args=(t,)) for t in range(threads_count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(timeout=300)
    finally:
        sys.setswitchinterval(interval)

    assert not failures
    assert not any(w.is_alive() for w in workers)
    assert all(len(r) == rounds * len(calls) for r in results)
    for per_thread in results:
        for j, got in per_thread:
            same(got, expected[j])
