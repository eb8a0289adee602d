"""velmora.zarn: the timed calls of one case (with the floor's samples), and the scaling run."""

from functools import partial
from pathlib import Path
from typing import Any

import numpy as np

from bench.competitors.floor import Floor
from bench.data import binary_columns, load_data
from bench.measure import add_timings, blas_info, measure, no_timings
from bench.stand_ins import fitted
from bench.workers import Result, Task


def run_zarn(task: Task) -> Result:
    """Times zarn on one case; with task["with_floor"], samples the floor after each call."""
    import pandas as pd  # imported up front, as in any session that reads the result

    import velmora

    X, _, beta, cov, names = load_data(task["folder"], task["model"], task["order"])
    model = fitted(task["model"], X, names, beta, cov)
    chunk_size, method = task["chunk_size"], task["method"]

    def call() -> pd.DataFrame:
        return velmora.zarn(model, chunk_size, method)

    extra: dict[str, Any] = {}
    if task.get("with_floor"):
        from threadpoolctl import threadpool_limits

        # Each call is followed by a sample of the floor, whose X @ beta runs
        # on one thread. The limit holds across the zarn calls too: lifting it
        # after each sample would wake NumPy's BLAS threads, which then spin on
        # the other core while zarn runs and add their CPU time to zarn's. zarn
        # keeps BLAS on its own thread either way.
        floor = Floor(
            task["floor_binary"],
            task["model"],
            method,
            X,
            beta,
            binary_columns(task["folder"]),
            Path(task["out"]).parent,
        )
        blas = blas_info()
        timings = no_timings()
        samples = []
        with threadpool_limits(limits=1, user_api="blas"):
            for _ in range(task["repeat"]):
                frame, one = measure(call, 1)
                add_timings(timings, one)
                samples.append(floor.sample())
        extra["floor"] = {**floor.summary(samples), "blas": blas}
    else:
        frame, timings = measure(call, task["repeat"])
    return {
        **timings,
        **extra,
        "names": list(frame.index),
        "ames": frame["dy/dx"].to_numpy(),
        "ses": frame["Std. Err"].to_numpy(),
        "blas": blas_info(),
    }


def run_zarn_scaling(task: Task) -> Result:
    """Times zarn on every size of the scaling run, C and F order, call after call.

    All the data sets are loaded into this one process, and each round of calls
    takes every size and order once, so that the ratios between them (per row
    across sizes, F against C) can be taken call by call, from calls made at
    nearly the same time.
    """
    import pandas  # noqa: F401

    import velmora

    method = task["method"]
    models = {}
    for n, folder in task["folders"]:
        X, _, beta, cov, names = load_data(folder, task["model"], "C")
        for order, data in (("C", X), ("F", np.asfortranarray(X))):
            models[f"{n} {order}"] = fitted(task["model"], data, names, beta, cov)
        del X
    out = {key: no_timings() for key in models}
    for model in models.values():  # the first calls of a process pay for its warming up
        velmora.zarn(model, None, method)
    frames = {}
    for _ in range(task["repeat"]):
        for key, model in models.items():
            frames[key], one = measure(partial(velmora.zarn, model, None, method), 1)
            add_timings(out[key], one)
    by_size: dict[str, dict[str, Any]] = {key: dict(timings) for key, timings in out.items()}
    for key, frame in frames.items():
        by_size[key].update(
            names=list(frame.index),
            ames=frame["dy/dx"].to_numpy().tolist(),
            ses=frame["Std. Err"].to_numpy().tolist(),
        )
    return {"by_size": by_size, "blas": blas_info()}
