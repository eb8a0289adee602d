"""NumPy: bench/numpy_ame.py, the same formulas vectorised over chunks of rows."""

from bench.data import load_data
from bench.measure import blas_info, measure
from bench.workers import Result, Task


def run_numpy(task: Task) -> Result:
    """Times numpy_ame.average_marginal_effects at one chunk size."""
    from bench.numpy_ame import average_marginal_effects

    X, _, beta, cov, names = load_data(task["folder"], task["model"], task["order"])
    intercepts = [j for j, name in enumerate(names) if name.lower() in ("const", "intercept")]
    (columns, ames, ses), timings = measure(
        lambda: average_marginal_effects(
            task["model"], beta, cov, X, intercepts, task["method"], task["chunk_size"]
        ),
        task["repeat"],
    )
    return {
        **timings,
        "names": [names[j] for j in columns],
        "ames": ames,
        "ses": ses,
        "blas": blas_info(),
    }
