"""Failures injected around the call: a failing pandas, memory that runs out."""

import gc
import sys

import numpy as np
import pandas as pd
import pytest

from support import FRAME_OUTCOMES, SANITIZED, stand_in
from velmora import zarn


@pytest.mark.parametrize("outcome", FRAME_OUTCOMES)
def test_frame_constructor_outcome_is_the_call_outcome(monkeypatch, outcome):
    made = FRAME_OUTCOMES[outcome]()

    def constructor(**table):
        assert list(table) == ["data", "index"]
        if isinstance(made, BaseException):
            raise made
        return made

    monkeypatch.setattr(pd, "DataFrame", constructor)
    model = stand_in("Logit", np.array([0.1, 0.2]), np.eye(2), np.ones((3, 2)) / 2, ["a", "b"])
    if isinstance(made, BaseException):
        with pytest.raises(type(made)) as caught:
            zarn(model)
        assert caught.value is made
    else:
        assert zarn(model) is made


def overcommit_refuses_huge_requests():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() in {"0", "2"}
    except OSError:
        return False


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer aborts on a failed allocation")
@pytest.mark.skipif(
    not overcommit_refuses_huge_requests(), reason="the kernel may grant 320 GB on paper"
)
def test_memory_that_cannot_be_had_is_a_memory_error():
    # 200 000 columns need k x k Jacobians of 320 GB each; the covariance is a
    # broadcast view, so building the input itself costs almost nothing.
    k = 200_000
    x = np.full((1, k), 0.5)
    params = np.zeros(k)
    cov = np.broadcast_to(np.float64(0.01), (k, k))
    names = [f"v{j}" for j in range(k)]
    model = stand_in("Probit", params, cov, x, names)
    before = [sys.getrefcount(a) for a in (x, params, cov, names)]
    with pytest.raises(MemoryError):
        zarn(model)
    gc.collect()
    assert [sys.getrefcount(a) for a in (x, params, cov, names)] == before
    small = stand_in("Probit", params[:2], np.eye(2), x[:, :2], names[:2])
    assert zarn(small).index.tolist() == ["v0", "v1"]
