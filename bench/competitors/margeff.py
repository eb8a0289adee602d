"""statsmodels: results.get_margeff(at='overall', method='dydx', dummy=True).

Its standard errors are those of se_method="sm". It holds a few n x k x k
arrays, about 6.9 GiB at n = 10**6, k = 21, so it runs once per model and only
where the memory is there.
"""

import numpy as np

from bench.data import load_data
from bench.measure import blas_info, measure
from bench.workers import Result, Task


def memory_skip_reason(n: int, k: int) -> str | None:
    """Returns why get_margeff cannot run at this size on this machine, or None."""
    need = 2.0 * n * k**2 * 8
    with open("/proc/meminfo") as meminfo:
        available = next(int(l.split()[1]) * 1024 for l in meminfo if l.startswith("MemAvailable"))
    if need > 0.8 * available:
        return f"skipped: needs about {need / 2**30:.0f} GiB, {available / 2**30:.0f} GiB available"
    return None


def run_statsmodels(task: Task) -> Result:
    """Times get_margeff on a results object that holds the benchmark's beta and covariance."""
    import statsmodels.api as sm
    from statsmodels.base.model import LikelihoodModelResults
    from statsmodels.discrete.discrete_model import (
        BinaryResultsWrapper,
        LogitResults,
        ProbitResults,
    )

    X, y, beta, cov, names = load_data(task["folder"], task["model"], task["order"], with_y=True)
    model_class, results_class = {
        "logit": (sm.Logit, LogitResults),
        "probit": (sm.Probit, ProbitResults),
    }[task["model"]]
    model = model_class(y, X)
    # A results object that holds our beta and covariance instead of a fit's,
    # built the way the model's own fit() builds it.
    estimate = LikelihoodModelResults(model, beta, normalized_cov_params=cov, scale=1.0)
    estimate.mle_retvals = {"converged": True}
    results = BinaryResultsWrapper(results_class(model, estimate))
    effects, timings = measure(
        lambda: results.get_margeff(at="overall", method="dydx", dummy=True), task["repeat"]
    )
    return {
        **timings,
        "names": names[1:],
        "ames": np.asarray(effects.margeff),
        "ses": np.asarray(effects.margeff_se),
        "blas": blas_info(),
    }
