"""velmora_margins.margins against velmora.zarn on the same design matrix, call by call.

The data: the benchmark's columns (continuous and 0/1 regressors) plus a factor of five
levels and a variable that enters with its square, as a pandas DataFrame and a formula.
The result is a statsmodels formula model holding fixed coefficients and the inverse
Fisher information as their covariance, as in the other cases; no fit is run.
"""

from typing import Any

import numpy as np
import pandas as pd

from bench.checks import relative_difference
from bench.measure import add_timings, measure, no_timings
from bench.workers import Result, Task

LEVELS = 5


def margins_frame(n: int, continuous: int, binary: int, seed: int = 20261208) -> pd.DataFrame:
    """Returns the deterministic data: x1.., b1.., a factor g, a variable q, and y."""
    rng = np.random.default_rng(seed)
    columns: dict[str, Any] = {}
    for i in range(continuous):
        columns[f"x{i + 1}"] = rng.standard_normal(n)
    for i in range(binary):
        columns[f"b{i + 1}"] = (rng.random(n) < 0.4).astype(np.float64)
    columns["g"] = rng.integers(1, LEVELS + 1, n).astype(np.float64)
    columns["q"] = rng.standard_normal(n)
    frame = pd.DataFrame(columns)
    index = 0.2 * frame["q"] - 0.1 * frame["q"] ** 2 + 0.1 * frame["g"] - 0.3
    for i in range(continuous):
        index += 0.05 * (-1) ** i * frame[f"x{i + 1}"]
    for i in range(binary):
        index += 0.1 * frame[f"b{i + 1}"]
    frame["y"] = (rng.random(n) < 1.0 / (1.0 + np.exp(-index))).astype(np.float64)
    return frame


def formula_of(frame: pd.DataFrame) -> str:
    regressors = [c for c in frame.columns if c[0] in "xb"]
    return "y ~ " + " + ".join([*regressors, "C(g)", "q", "I(q ** 2)"])


class Results:
    """A fitted result reduced to what both functions read."""

    def __init__(self, model: Any, params: pd.Series, cov: pd.DataFrame) -> None:
        self.model, self.params, self._cov = model, params, cov

    def cov_params(self) -> pd.DataFrame:
        return self._cov


def fixed_result(kind: str, frame: pd.DataFrame) -> Results:
    """Returns a formula model of the data with fixed coefficients and their covariance,
    the inverse Fisher information at those coefficients."""
    import statsmodels.formula.api as smf
    from scipy import stats

    model = (smf.logit if kind == "logit" else smf.probit)(formula_of(frame), frame)
    x = np.asarray(model.exog)
    names = list(model.exog_names)
    beta = np.array([0.1 * (-1) ** j / (1 + j % 4) for j in range(len(names))])
    xb = x @ beta
    if kind == "logit":
        p = 1.0 / (1.0 + np.exp(-xb))
        weight = p * (1.0 - p)
    else:
        pdf, cdf = stats.norm.pdf(xb), stats.norm.cdf(xb)
        weight = pdf**2 / (cdf * (1.0 - cdf))
    cov = np.linalg.inv((x * weight[:, None]).T @ x)
    return Results(model, pd.Series(beta, index=names), pd.DataFrame(cov, names, names))


def run_margins(task: Task) -> Result:
    """Times zarn and margins on one data set, alternating call by call."""
    import velmora
    import velmora_margins
    from velmora_margins.effects.plan import margins_plan
    from velmora_margins.effects.statsmodels_result import adapt

    frame = margins_frame(task["n"], task["continuous"], task["binary"])
    result = fixed_result(task["model"], frame)
    plan = margins_plan(adapt(result), None, False)
    copy_mib = float(frame[sorted(plan.data_columns)].memory_usage(index=False).sum()) / 2**20

    zarn = no_timings()
    calls = questions(result)
    timings = {name: no_timings() for name in calls}
    for _ in range(task["repeat"]):
        for name, call in calls.items():
            add_timings(zarn, measure(lambda: velmora.zarn(result, se_method="sm"), 1)[1])
            add_timings(timings[name], measure(call, 1)[1])
    # zarn ran once before each of the others: its calls are paired with each in turn.
    zarn_of = {
        name: {
            "seconds": zarn["seconds"][i :: len(calls)],
            "cpu_seconds": zarn["cpu_seconds"][i :: len(calls)],
            "peak_mib": zarn["peak_mib"][i :: len(calls)],
        }
        for i, name in enumerate(calls)
    }
    # Per design column, margins computes what zarn does: the two must agree.
    by_column = velmora_margins.margins(result, per_column=True)
    theirs = velmora.zarn(result, se_method="sm")
    same_columns = list(by_column["term"]) == list(theirs.index)
    return {
        "zarn": zarn_of["margins"],
        "margins": dict(timings["margins"]),
        "questions": {
            name: {"zarn": zarn_of[name], "call": dict(timings[name])}
            for name in calls
            if name != "margins"
        },
        "copy_mib": copy_mib,
        "k": int(result.model.exog.shape[1]),
        "effects": len(velmora_margins.margins(result)),
        "effects_difference": relative_difference(by_column["dy/dx"], theirs["dy/dx"])
        if same_columns
        else float("inf"),
        "errors_difference": relative_difference(by_column["Std. Err"], theirs["Std. Err"])
        if same_columns
        else float("inf"),
    }


# The grid of at values of q, the variable with its square.
GRID = [-2.0 + 0.4 * i for i in range(10)]


def questions(result: Any) -> dict[str, Any]:
    """Returns the calls that are timed against zarn: margins as it always was, and the
    targets of the other questions."""
    import velmora_margins as vm

    return {
        "margins": lambda: vm.margins(result),
        "predictions": lambda: vm.predictions(result),
        "margins, eyex": lambda: vm.margins(result, slope="eyex"),
        "comparisons, levels and sd": lambda: vm.comparisons(
            result, variables={"g": "reference", "q": "sd"}
        ),
        "predictions at 10 values": lambda: vm.predictions(result, at={"q": GRID}),
    }
