"""Failures injected around the call: a broken NumPy, a failing pandas, memory that runs out."""

import gc
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from support import SANITIZED, Boom, stand_in
from velmora import zarn


def test_numpy_table_that_is_not_a_capsule_is_an_internal_failure():
    # The table is fetched on first need, so a fresh interpreter is used; a failed
    # fetch is not kept, and the next call loads the real table.
    script = textwrap.dedent(
        """
        import sys, types
        import numpy as np
        import velmora

        class Logit:
            params = np.array([0.5, -1.0])
            exog = np.array([[1.0, 0.2], [1.0, 1.5], [1.0, -0.7]])
            exog_names = ["const", "x"]
            def cov_params(self):
                return np.eye(2)

        real = {}
        for name in ["numpy._core._multiarray_umath", "numpy.core._multiarray_umath"]:
            real[name] = sys.modules.get(name)
            stub = types.ModuleType(name)
            stub._ARRAY_API = 42
            sys.modules[name] = stub
        try:
            velmora.zarn(Logit())
        except Exception as exc:
            print("ordinary", type(exc).__name__)
        except BaseException as exc:
            print(type(exc).__name__, type(exc).__bases__ == (BaseException,),
                  exc.__cause__ is not None)
        for name, module in real.items():
            if module is None:
                del sys.modules[name]
            else:
                sys.modules[name] = module
        print(velmora.zarn(Logit()).index.tolist())
        """
    )
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["PanicException True True", "['x']"]


@pytest.mark.parametrize("frame", ["raises", "returns something else"])
def test_frame_constructor_outcome_is_the_call_outcome(monkeypatch, frame):
    error, other = Boom("no frame"), object()

    def constructor(**table):
        assert list(table) == ["data", "index"]
        if frame == "raises":
            raise error
        return other

    monkeypatch.setattr(pd, "DataFrame", constructor)
    model = stand_in("Logit", np.array([0.1, 0.2]), np.eye(2), np.ones((3, 2)) / 2, ["a", "b"])
    if frame == "raises":
        with pytest.raises(Boom) as caught:
            zarn(model)
        assert caught.value is error
    else:
        assert zarn(model) is other


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
