"""Benchmark of velmora.zarn against statsmodels, plain NumPy and an estimated floor.

    python bench/run.py                      # n = 10**6, k = 21 (6 binary), Logit and Probit
    python bench/run.py --n 10000000 --model logit --skip-statsmodels
    python bench/run.py --scaling            # zarn alone at n = 10**5 .. 10**7, C and F order

Every competitor runs in a fresh process that loads the same deterministic data
(built once per run and kept in a temporary folder), so the peak memory it
reports is its own: the resident set before the call is read, the peak is
reset (/proc/self/clear_refs), and the peak after the call minus the resident
set before it is the call's peak extra memory. Times are medians of repeated
calls; statsmodels runs once. Each worker saves its effects and standard errors,
and the run ends by checking that all competitors agree.

The competitors:
  zarn          velmora.zarn, without and with chunk_size, for both se_methods;
  NumPy         bench/numpy_ame.py, the same formulas vectorised over chunks of
                rows, at several chunk sizes (the best one is reported);
  statsmodels   results.get_margeff(at='overall', method='dydx', dummy=True),
                which matches se_method="sm";
  floor         the time of X @ beta (single-threaded BLAS) plus, per row, the
                exp and erfc calls one pass needs, times their per-call cost in
                the C library, measured by bench/floor.c compiled here. Both are
                taken by CPU clocks, so the floor stays put on a busy machine;
                zarn's CPU time is set against it. The zarn worker takes a
                sample of the floor after each of its calls, and the ratio is
                the median of the call-by-call ratios.

The data: a constant, --binary columns of 0/1 and the rest standard normal;
beta is fixed; y is drawn from the model; the coefficient covariance is the
inverse Fisher information at beta. zarn and NumPy read a duck-typed result
(params, cov_params(), model.exog, model.exog_names); statsmodels gets its own
results object holding the same beta and covariance, so all compare like with like.

Needs numpy, scipy, pandas, statsmodels, threadpoolctl, velmora and a C compiler
(cc or $CC). Linux only (reads /proc).
"""

import gc
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import numpy as np

if __package__ in (None, ""):  # run as a script: python bench/run.py
    sys.path[0] = str(Path(__file__).resolve().parent.parent)

from bench.options import parse_options  # noqa: E402

HERE = Path(__file__).resolve().parent
SEED = 20240611
FLOOR_SAMPLE_ROWS = 32768

# Agreement tolerances (largest relative difference): between implementations,
# and between zarn runs that differ only in chunking or memory order.
TOLERANCE_OTHERS = 1e-8
TOLERANCE_ZARN = 1e-11


# ---------------------------------------------------------------- data


def column_names(k, g):
    return ["const"] + [f"d{j + 1}" for j in range(g)] + [f"x{i + 1}" for i in range(k - 1 - g)]


def make_beta(k, g):
    """Returns the fixed coefficients: a constant, then binary, then continuous columns."""
    beta = np.empty(k)
    beta[0] = 0.25
    for j in range(g):
        beta[1 + j] = (0.8 - 0.5 * j / max(g, 1)) * (-1) ** j
    c = k - 1 - g
    for i in range(c):
        beta[1 + g + i] = 0.4 * (1.0 - 0.5 * i / max(c, 1)) * (-1) ** (i + 1)
    return beta


def make_design(n, k, g):
    """Returns X (C order): a constant, g binary columns with P(1) from 0.2 to 0.8, normals."""
    rng = np.random.default_rng(SEED)
    X = np.empty((n, k))
    X[:, 0] = 1.0
    for j in range(g):
        X[:, 1 + j] = rng.random(n) < 0.2 + 0.6 * j / max(g - 1, 1)
    for j in range(1 + g, k):
        X[:, j] = rng.standard_normal(n)
    for j in range(1, 1 + g):
        if not (X[:, j].min() == 0.0 and X[:, j].max() == 1.0):
            raise SystemExit(f"n = {n} is too small: binary column {j} lacks a 0 or a 1")
    return X


def links(kind, v):
    """Returns F(v) and f(v) of the model."""
    from bench.numpy_ame import logit_links, probit_links

    return logit_links(v) if kind == "logit" else probit_links(v)


def fisher_covariance(kind, X, beta, chunk=65536):
    """Returns the inverse Fisher information of the model at beta."""
    k = X.shape[1]
    info = np.zeros((k, k))
    for start in range(0, X.shape[0], chunk):
        Xc = X[start : start + chunk]
        cdf, pdf = links(kind, Xc @ beta)
        w = cdf * (1.0 - cdf) if kind == "logit" else pdf * pdf / (cdf * (1.0 - cdf))
        info += Xc.T @ (w[:, None] * Xc)
    return np.linalg.inv(info)


def prepare_data(task):
    """Writes X, beta and, per model, y and the covariance into the data folder.

    Files already present (from an earlier run with --keep-data) are kept.
    """
    n, k, g, folder = task["n"], task["k"], task["g"], Path(task["folder"])
    if (folder / "meta.json").exists():
        X = np.load(folder / "X.npy")
    else:
        X = make_design(n, k, g)
        np.save(folder / "X.npy", X)
        np.save(folder / "beta.npy", make_beta(k, g))
        meta = {"names": column_names(k, g), "binary": list(range(1, 1 + g))}
        (folder / "meta.json").write_text(json.dumps(meta))
    beta = np.load(folder / "beta.npy")
    for kind in task["models"]:
        if (folder / f"cov_{kind}.npy").exists():
            continue
        rng = np.random.default_rng(SEED + (1 if kind == "logit" else 2))
        y = np.empty(n)
        for start in range(0, n, 1 << 20):
            cdf, _ = links(kind, X[start : start + (1 << 20)] @ beta)
            y[start : start + len(cdf)] = rng.random(len(cdf)) < cdf
        np.save(folder / f"y_{kind}.npy", y)
        np.save(folder / f"cov_{kind}.npy", fisher_covariance(kind, X, beta))
    return {}


def load_data(task, with_y=False):
    folder = Path(task["folder"])
    X = np.load(folder / "X.npy")
    if task["order"] == "F":
        X = np.asfortranarray(X)
    beta = np.load(folder / "beta.npy")
    cov = np.load(folder / f"cov_{task['model']}.npy")
    names = json.loads((folder / "meta.json").read_text())["names"]
    y = np.load(folder / f"y_{task['model']}.npy") if with_y else None
    return X, y, beta, cov, names


# ---------------------------------------------------------------- measuring


def proc_status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def reset_peak():
    """Resets VmHWM to the current resident set (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def settle(limit=2.0, interval=0.02, quiet=0.002):
    """Waits, at most limit seconds, until the other threads of this process are idle.

    OpenBLAS's worker threads spin for about 0.1 s after the library loads (and
    after a threaded product) before they sleep. A call timed while they spin
    would count their CPU time as its own: up to 0.1 s on the first zarn call
    after the import.
    """
    deadline = time.perf_counter() + limit
    while time.perf_counter() < deadline:
        others = time.process_time() - time.thread_time()
        time.sleep(interval)
        if time.process_time() - time.thread_time() - others < quiet:
            return


def measure(call, repeat):
    """Returns the last result and, per call, the wall and CPU seconds and peak extra MiB.

    The CPU time (of the whole process, BLAS threads included) is less disturbed
    than the wall time when other programs share the cores. Each call starts
    once the process's other threads are idle.
    """
    timings = {"seconds": [], "cpu_seconds": [], "peak_mib": []}
    result = None
    for _ in range(repeat):
        result = None  # the previous result is not part of the next call's memory
        gc.collect()
        settle()
        before = proc_status_kib("VmRSS")
        reset_peak()
        cpu_start, start = time.process_time(), time.perf_counter()
        result = call()
        timings["seconds"].append(time.perf_counter() - start)
        timings["cpu_seconds"].append(time.process_time() - cpu_start)
        timings["peak_mib"].append((proc_status_kib("VmHWM") - before) / 1024.0)
    return result, timings


def blas_info():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return None
    return [
        {key: info.get(key) for key in ("filepath", "version", "num_threads", "architecture")}
        for info in threadpool_info()
        if info.get("user_api") == "blas"
    ]


# ---------------------------------------------------------------- workers


class Logit:
    """A model object as zarn reads it: the class name, exog and exog_names."""

    def __init__(self, exog, exog_names):
        self.exog = exog
        self.exog_names = exog_names


class Probit(Logit):
    pass


class FittedModel:
    """A results object as zarn reads it: model, params and cov_params()."""

    def __init__(self, model, params, cov):
        self.model = model
        self.params = params
        self._cov = cov

    def cov_params(self):
        return self._cov


def run_zarn(task):
    import pandas  # noqa: F401  (imported up front, as in any session that reads the result)
    import velmora

    X, _, beta, cov, names = load_data(task)
    model_class = Logit if task["model"] == "logit" else Probit
    fitted = FittedModel(model_class(X, names), beta, cov)

    def call():
        return velmora.zarn(fitted, task["chunk_size"], task["method"])

    extra = {}
    if task.get("with_floor"):
        from threadpoolctl import threadpool_limits

        # Each call is followed by a sample of the floor (see Floor), whose
        # X @ beta runs on one thread. The limit holds across the zarn calls
        # too: lifting it after each sample would wake NumPy's BLAS threads,
        # which then spin on the other core while zarn runs and add their CPU
        # time to zarn's. zarn keeps BLAS on its own thread either way.
        floor = Floor(task, X, beta)
        blas = blas_info()
        timings = {"seconds": [], "cpu_seconds": [], "peak_mib": []}
        samples = []
        with threadpool_limits(limits=1, user_api="blas"):
            for _ in range(task["repeat"]):
                frame, one = measure(call, 1)
                for key, values in one.items():
                    timings[key] += values
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


def run_zarn_scaling(task):
    """Times zarn on every size of the scaling run, C and F order, call after call.

    All the data sets are loaded into this one process, and each round of calls
    takes every size and order once, so that the ratios between them (per row
    across sizes, F against C) can be taken call by call, from calls made at
    nearly the same time.
    """
    import pandas  # noqa: F401
    import velmora

    model_class = Logit if task["model"] == "logit" else Probit
    fitted = {}
    for n, folder in task["folders"]:
        X, _, beta, cov, names = load_data({**task, "folder": folder, "order": "C"})
        for order, data in (("C", X), ("F", np.asfortranarray(X))):
            fitted[f"{n} {order}"] = FittedModel(model_class(data, names), beta, cov)
        del X
    out = {key: {"seconds": [], "cpu_seconds": [], "peak_mib": []} for key in fitted}
    for model in fitted.values():  # the first calls of a process pay for its warming up
        velmora.zarn(model, None, task["method"])
    frames = {}
    for _ in range(task["repeat"]):
        for key, model in fitted.items():
            frames[key], one = measure(lambda: velmora.zarn(model, None, task["method"]), 1)
            for field, values in one.items():
                out[key][field] += values
    for key, frame in frames.items():
        out[key].update(
            names=list(frame.index),
            ames=frame["dy/dx"].to_numpy().tolist(),
            ses=frame["Std. Err"].to_numpy().tolist(),
        )
    return {"by_size": out, "blas": blas_info()}


def run_numpy(task):
    from bench.numpy_ame import average_marginal_effects

    X, _, beta, cov, names = load_data(task)
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


def run_statsmodels(task):
    import statsmodels.api as sm
    from statsmodels.base.model import LikelihoodModelResults
    from statsmodels.discrete.discrete_model import (
        BinaryResultsWrapper,
        LogitResults,
        ProbitResults,
    )

    X, y, beta, cov, names = load_data(task, with_y=True)
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


def floor_arguments(kind, method, X, beta, binary):
    """Returns the exp and erfc arguments one pass hands to the C library, per sampled row.

    Per row the pass takes the link values of the row's own xb once, and for each
    binary column those of the one counterfactual side that differs from xb.
    """
    step = max(1, X.shape[0] // FLOOR_SAMPLE_ROWS)
    rows = np.ascontiguousarray(X[::step][:FLOOR_SAMPLE_ROWS])
    xb = rows @ beta
    sides = [xb]
    for j in binary:
        x = rows[:, j]
        sides.append(np.where(x == 1.0, xb + (-x) * beta[j], xb + (1.0 - x) * beta[j]))
    if kind == "logit":
        # f(v) takes exp(v); F(v) takes exp(-v). Without binary columns only
        # "sm" needs F (for f'), "kova" needs f alone.
        need_cdf = bool(binary) or method == "sm"
        exp_args = [xb] + ([-xb] if need_cdf else [])
        for v in sides[1:]:
            exp_args += [-v, v]
        erfc_args = []
    else:
        # f(v) takes exp(-v^2 / 2); F(v) = erfc(-v / sqrt 2) / 2, needed only
        # with binary columns.
        exp_args = [(-0.5 * v) * v for v in sides]
        erfc_args = [(0.0 - v) / 1.4142135623730951 for v in sides] if binary else []
    return concatenate(exp_args), concatenate(erfc_args), len(rows)


def concatenate(parts):
    return np.concatenate(parts) if parts else np.empty(0)


class Floor:
    """The floor of one case, measured in the zarn worker between its calls.

    A sample is the CPU time of X @ beta on one thread plus, per row, the exp and
    erfc calls one pass needs, at the per-call cost that bench/floor.c measures
    right then over about n rows' worth of calls. Taken after each zarn call, the
    samples pair with zarn's calls, so that both see the machine as it was.
    """

    def __init__(self, task, X, beta):
        binary = json.loads((Path(task["folder"]) / "meta.json").read_text())["binary"]
        exp_args, erfc_args, rows = floor_arguments(
            task["model"], task["method"], X, beta, binary
        )
        folder = Path(task["out"]).parent
        self.exp_path, self.erfc_path = folder / "exp_args.bin", folder / "erfc_args.bin"
        exp_args.astype(np.float64).tofile(self.exp_path)
        erfc_args.astype(np.float64).tofile(self.erfc_path)
        self.binary_path = task["floor_binary"]
        self.X, self.beta, self.n = X, beta, X.shape[0]
        self.exp_calls, self.erfc_calls = len(exp_args) / rows, len(erfc_args) / rows
        self.passes = str(max(3, math.ceil(self.n / rows)))

    def product(self):
        """Returns this thread's CPU time and the wall time of X @ beta, the faster of two.

        Right after other work (a zarn call, the floor program) the first product
        over a large X can run at half speed; the second shows what one read of X
        costs, which is what the floor stands for.
        """
        runs = []
        for _ in range(2):
            cpu_start, start = time.thread_time(), time.perf_counter()
            self.X @ self.beta
            runs.append((time.thread_time() - cpu_start, time.perf_counter() - start))
        return min(runs)

    def sample(self):
        timing = json.loads(
            subprocess.run(
                [self.binary_path, str(self.exp_path), str(self.erfc_path), self.passes],
                check=True,
                capture_output=True,
                text=True,
            ).stdout
        )
        # On one thread (the caller holds BLAS to one): its CPU time is then all the product's.
        product_cpu, product_wall = self.product()
        per_row = self.exp_calls * timing["exp_ns"] + self.erfc_calls * timing["erfc_ns"]
        per_row_wall = (
            self.exp_calls * timing["exp_wall_ns"] + self.erfc_calls * timing["erfc_wall_ns"]
        )
        calls = self.n * per_row * 1e-9
        return {
            "seconds": product_cpu + calls,
            "wall_estimate": product_wall + self.n * per_row_wall * 1e-9,
            "product_single": product_cpu,
            "calls_seconds": calls,
            "exp_ns": timing["exp_ns"],
            "erfc_ns": timing["erfc_ns"],
            "erfc_scalar_ns": timing["erfc_scalar_ns"],
        }

    def summary(self, samples):
        """The samples as a result: every sample's seconds, the medians of the rest."""
        out = {key: statistics.median(s[key] for s in samples) for key in SAMPLE_FIGURES}
        # With the default BLAS threads, for the report; taken last, so that
        # the threads it wakes cannot spin beside a zarn call.
        product_default = statistics.median(self.product()[1] for _ in range(3))
        out.update(
            seconds=[s["seconds"] for s in samples],
            product_default=product_default,
            exp_calls=self.exp_calls,
            erfc_calls=self.erfc_calls,
        )
        return out


WORKERS = {
    "prepare": prepare_data,
    "zarn": run_zarn,
    "zarn_scaling": run_zarn_scaling,
    "numpy": run_numpy,
    "statsmodels": run_statsmodels,
}


def worker_main(task_text):
    task = json.loads(task_text)
    result = WORKERS[task["competitor"]](task)
    arrays = {key: result.pop(key) for key in ("ames", "ses") if key in result}
    if arrays:
        np.savez(task["out"] + ".npz", **arrays)
    Path(task["out"] + ".json").write_text(json.dumps(result))


# ---------------------------------------------------------------- driver


class Runner:
    """Starts workers, one fresh process each, and collects their results."""

    def __init__(self, folder, floor_binary, blas_threads=None):
        self.folder = folder
        self.floor_binary = floor_binary
        self.env = dict(os.environ)
        if blas_threads:
            self.env["OPENBLAS_NUM_THREADS"] = str(blas_threads)
        self.count = 0
        self.blas = None  # the BLAS libraries that the first zarn worker reported

    def run(self, **task):
        self.count += 1
        out = self.folder / f"result{self.count}"
        task.update(out=str(out), floor_binary=str(self.floor_binary))
        done = subprocess.run(
            [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(task)],
            capture_output=True,
            text=True,
            check=False,
            env=self.env,
        )
        if done.returncode != 0:
            lines = (done.stderr or "").strip().splitlines()
            reason = lines[-1] if lines else f"exit status {done.returncode}"
            return {"error": reason}
        result = json.loads(Path(str(out) + ".json").read_text())
        if Path(str(out) + ".npz").exists():
            with np.load(str(out) + ".npz") as arrays:
                result.update({key: arrays[key] for key in arrays.files})
        return result


def module_uses_vector_erfc():
    """True when the installed extension calls the C library's vector erfc (libmvec)."""
    import velmora

    return b"_ZGVbN2v_erfc" in Path(velmora.__file__).read_bytes()


def compile_floor(folder, vector_erfc):
    """Compiles bench/floor.c to time the exp and erfc that the extension calls."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        raise SystemExit("no C compiler found for bench/floor.c (set CC)")
    binary = folder / "floor"
    vector = ["-DFLOOR_VECTOR_ERFC"] if vector_erfc else []
    libraries = ["-lmvec", "-lm"] if vector_erfc else ["-lm"]
    subprocess.run(
        [compiler, "-O2", "-ffp-contract=off", *vector, "-o", str(binary), str(HERE / "floor.c")]
        + libraries,
        check=True,
    )
    version = subprocess.run([compiler, "--version"], capture_output=True, text=True, check=False)
    return binary, (version.stdout.splitlines() or [compiler])[0]


def prepare(runner, n, k, g, models):
    folder = runner.folder / f"data_{n}_{k}_{g}"
    folder.mkdir(exist_ok=True)
    if not all((folder / f"cov_{kind}.npy").exists() for kind in models):
        result = runner.run(competitor="prepare", n=n, k=k, g=g, models=models, folder=str(folder))
        if "error" in result:
            raise SystemExit(f"building the data failed: {result['error']}")
    return folder


def median(result, key="seconds"):
    """Returns the median wall time of a result (or of its CPU time, falling back to wall)."""
    values = result.get(key) or result.get("seconds")
    return statistics.median(values) if values else math.nan


def peak(result):
    return max(result["peak_mib"]) if result.get("peak_mib") else float("nan")


def relative_difference(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if a.shape != b.shape:
        return math.inf
    scale = np.maximum(np.abs(b), np.finfo(float).tiny)
    return float(np.max(np.abs(a - b) / scale)) if a.size else 0.0


def fmt_seconds(s):
    return "-" if math.isnan(s) else (f"{s:.4f}" if s < 10 else f"{s:.2f}")


def fmt_mib(m):
    return "-" if math.isnan(m) else f"{m:.1f}"


def fmt_ratio(r):
    return "-" if math.isnan(r) else (f"{r:.2f}" if r < 100 else f"{r:.0f}")


def print_table(header, rows, markdown):
    """Prints an aligned plain-text table, or a Markdown one under --markdown."""
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]

    def line(row):
        cells = [
            str(c).ljust(w) if i == 0 else str(c).rjust(w)
            for i, (c, w) in enumerate(zip(row, widths))
        ]
        return "| " + " | ".join(cells) + " |" if markdown else "  ".join(cells).rstrip()

    print(line(header))
    if markdown:
        print(
            "|" + "|".join("-" * (w + 1) + (":" if i else "-") for i, w in enumerate(widths)) + "|"
        )
    else:
        print("  ".join("-" * w for w in widths).rstrip())
    for row in rows:
        print(line(row))


def compare(options, runner, vector_erfc):
    """Runs every competitor per model and method; returns the agreement checks and targets."""
    folder = prepare(runner, options.n, options.k, options.binary, options.models)
    base = {"folder": str(folder), "order": options.order}
    skip_statsmodels = statsmodels_skip_reason(options)
    checks, targets = [], []
    for kind in options.models:
        statsmodels = None
        if skip_statsmodels is None:
            progress(f"statsmodels ({kind}), once")
            statsmodels = runner.run(
                competitor="statsmodels", model=kind, method="sm", repeat=1, **base
            )
        for method in options.methods:
            task = {"model": kind, "method": method, **base}
            rounds = []
            for r in range(options.rounds):
                progress(f"{kind} / {method}, round {r + 1} of {options.rounds}")
                rounds.append(run_round(options, runner, task))
            case = {
                "zarn": merge([one["zarn"] for one in rounds]),
                "zarn_chunked": {
                    c: merge([one["zarn_chunked"][c] for one in rounds])
                    for c in options.zarn_chunk_sizes
                },
                "numpy": {
                    c: merge([one["numpy"][c] for one in rounds]) for c in rounds[0]["numpy"]
                },
                "statsmodels": statsmodels,
                "floor": merge([one["floor"] for one in rounds]),
            }
            report_case(options, kind, method, case, skip_statsmodels, vector_erfc)
            checks += agreement(kind, method, case)
            targets += target_checks(kind, method, case)
            runner.blas = runner.blas or case["zarn"].get("blas")
    return checks, targets


def run_round(options, runner, task):
    """Runs every timed competitor of one case once, each in a fresh process."""
    zarn = runner.run(
        competitor="zarn", chunk_size=None, repeat=options.repeat, with_floor=True, **task
    )
    return {
        "zarn": zarn,
        "zarn_chunked": {
            c: runner.run(competitor="zarn", chunk_size=c, repeat=options.repeat, **task)
            for c in options.zarn_chunk_sizes
        },
        "numpy": {
            c: runner.run(competitor="numpy", chunk_size=c, repeat=options.numpy_repeat, **task)
            for c in ([] if options.skip_numpy else options.chunk_sizes)
        },
        "floor": zarn.get("floor", {"error": zarn.get("error", "not measured")}),
    }


# Figures of a floor sample that are pooled by their median.
SAMPLE_FIGURES = (
    "wall_estimate",
    "product_single",
    "calls_seconds",
    "exp_ns",
    "erfc_ns",
    "erfc_scalar_ns",
)
FLOOR_FIGURES = SAMPLE_FIGURES + ("product_default",)


def merge(results):
    """Pools the runs of one competitor from several rounds into one result.

    The calls of every round are pooled, so medians are taken over all of them;
    the floor's per-run figures are their medians; the rest (effects, names,
    BLAS) comes from the first run that succeeded.
    """
    good = [r for r in results if "error" not in r]
    if not good:
        return results[0]
    merged = dict(good[0])
    for key in ("seconds", "cpu_seconds", "peak_mib"):
        if key in merged:
            merged[key] = [v for r in good for v in r[key]]
    for key in FLOOR_FIGURES:
        if key in merged:
            merged[key] = statistics.median(r[key] for r in good)
    return merged


def progress(text):
    print(f"  running {text} ...", file=sys.stderr, flush=True)


def best_numpy(case):
    """Returns the chunk size of the fastest NumPy run that succeeded, or None."""
    good = [c for c, r in case["numpy"].items() if "error" not in r]
    return min(good, key=lambda c: median(case["numpy"][c])) if good else None


def report_case(options, kind, method, case, skip_statsmodels, vector_erfc):
    zarn, floor = case["zarn"], case["floor"]
    t_zarn, cpu_zarn = median(zarn), median(zarn, "cpu_seconds")

    def row(label, result, memory=True):
        t, cpu = median(result), median(result, "cpu_seconds")
        return [
            label,
            fmt_seconds(t),
            fmt_ratio(t / t_zarn),
            fmt_seconds(cpu),
            fmt_ratio(cpu / cpu_zarn),
            fmt_mib(peak(result)) if memory else "-",
            error_of(result),
        ]

    rows = [row("zarn", zarn)]
    rows += [row(f"zarn chunk_size={c}", r) for c, r in case["zarn_chunked"].items()]
    best = best_numpy(case)
    if best is not None:
        rows.append(row(f"NumPy, best chunk {best}", case["numpy"][best]))
    elif case["numpy"]:
        rows.append(row("NumPy", next(iter(case["numpy"].values()))))
    if case["statsmodels"] is not None:
        rows.append(row("statsmodels get_margeff", case["statsmodels"]))
    else:
        rows.append(["statsmodels get_margeff", "-", "-", "-", "-", "-", skip_statsmodels])
    label = "floor" if "error" in floor else f"floor ({floor_calls_text(floor)})"
    rows.append(row(label, floor, memory=False))

    print()
    print(
        f'{kind.capitalize()}, se_method="{method}": n = {options.n:,}, k = {options.k} '
        f"(1 constant, {options.binary} binary, {options.k - 1 - options.binary} continuous), "
        f"X in {options.order} order"
    )
    header = ["competitor", "median s", "/ zarn", "CPU s", "/ zarn", "peak extra MiB", "note"]
    print_table(header, rows, options.markdown)
    runs = [(c, r) for c, r in case["numpy"].items() if "error" not in r]
    if runs:
        print(
            "  NumPy by chunk size: "
            + ", ".join(f"{c}: {fmt_seconds(median(r))} s, {fmt_mib(peak(r))} MiB" for c, r in runs)
        )
    if "error" not in floor:
        erfc = ""
        if floor["erfc_calls"]:
            erfc = f", erfc {floor['erfc_ns']:.2f} ns/call"
            if vector_erfc:
                erfc += f" (vector erfc; the scalar erfc {floor['erfc_scalar_ns']:.2f})"
        print(
            f"  floor, by CPU time: X @ beta {floor['product_single'] * 1e3:.1f} ms single-threaded"
            f" ({floor['product_default'] * 1e3:.1f} ms wall with default threads); "
            f"exp {floor['exp_ns']:.2f} ns/call{erfc}; "
            f"library calls {floor['calls_seconds'] * 1e3:.1f} ms; "
            f"by wall clock the floor is {floor['wall_estimate']:.4f} s"
        )


def error_of(result):
    return f"failed: {result['error']}" if "error" in result else ""


def floor_calls_text(floor):
    parts = [f"{floor['exp_calls']:g} exp"]
    if floor["erfc_calls"]:
        parts.append(f"{floor['erfc_calls']:g} erfc")
    return "X@beta + " + " + ".join(parts) + " per row"


def statsmodels_skip_reason(options):
    if options.skip_statsmodels:
        return "skipped (--skip-statsmodels)"
    # get_margeff holds a few n x k x k arrays; about 6.9 GiB at n = 10**6, k = 21.
    need = 2.0 * options.n * options.k**2 * 8
    with open("/proc/meminfo") as meminfo:
        available = next(int(l.split()[1]) * 1024 for l in meminfo if l.startswith("MemAvailable"))
    if need > 0.8 * available:
        return f"skipped: needs about {need / 2**30:.0f} GiB, {available / 2**30:.0f} GiB available"
    return None


def agreement(kind, method, case):
    """Returns (label, effects difference, SE difference, tolerance) per pair compared."""
    zarn = case["zarn"]
    if "error" in zarn:
        return []
    prefix = f"{kind}/{method}"
    checks = [
        pair(f"{prefix}: zarn chunk_size={c} vs zarn", r, zarn, TOLERANCE_ZARN)
        for c, r in case["zarn_chunked"].items()
        if "error" not in r
    ]
    checks += [
        pair(f"{prefix}: NumPy chunk {c} vs zarn", r, zarn, TOLERANCE_OTHERS)
        for c, r in case["numpy"].items()
        if "error" not in r
    ]
    statsmodels = case["statsmodels"]
    if statsmodels is not None and "error" not in statsmodels:
        label = f"{prefix}: statsmodels vs zarn"
        if method == "sm":
            checks.append(pair(label, statsmodels, zarn, TOLERANCE_OTHERS))
        else:
            # statsmodels' standard errors are those of "sm"; the effects are common.
            difference = relative_difference(statsmodels["ames"], zarn["ames"])
            checks.append((label + " (effects only)", difference, None, TOLERANCE_OTHERS))
    return checks


def pair(label, a, b, tolerance):
    if list(a["names"]) != list(b["names"]):
        return (label + " (different columns)", math.inf, math.inf, tolerance)
    return (
        label,
        relative_difference(a["ames"], b["ames"]),
        relative_difference(a["ses"], b["ses"]),
        tolerance,
    )


def target_checks(kind, method, case):
    """Returns (description, measured, met) for each performance target."""
    zarn, floor, statsmodels = case["zarn"], case["floor"], case["statsmodels"]
    prefix = f"{kind}/{method}"
    if "error" in zarn:
        return [(f"{prefix}: zarn ran", "failed", False)]
    t = median(zarn)
    out = []
    if statsmodels is not None and "error" not in statsmodels:
        r = median(statsmodels) / t
        out.append((f"{prefix}: statsmodels / zarn >= 100", f"{r:.0f}", r >= 100))
    if "error" not in floor:
        # The floor counts CPU time, so zarn's CPU time is set against it, call by
        # call: each floor sample was taken right after the call it pairs with.
        cpu, samples = zarn.get("cpu_seconds") or zarn["seconds"], floor["seconds"]
        r = paired_median([z / f for z, f in zip(cpu, samples)])
        wall = paired_median([z / f for z, f in zip(zarn["seconds"], samples)])
        out.append(
            (
                f"{prefix}: zarn / floor <= 1.3, CPU time",
                f"{r:.2f} (wall time {wall:.2f})",
                r <= 1.3,
            )
        )
    best = best_numpy(case)
    if best is not None:
        need = 2.5 if kind == "probit" else 1.0
        r = median(case["numpy"][best]) / t
        out.append((f"{prefix}: NumPy (best chunk) / zarn >= {need:g}", f"{r:.2f}", r >= need))
    runs = [("zarn", zarn)] + [(f"zarn chunk_size={c}", r) for c, r in case["zarn_chunked"].items()]
    for label, r in runs:
        if "error" not in r:
            out.append(
                (f"{prefix}: {label} peak extra <= 16 MiB", f"{peak(r):.1f} MiB", peak(r) <= 16)
            )
    return out


def paired_median(ratios):
    return statistics.median(ratios) if ratios else math.nan


def scaling_rows(kind, method, sizes, by_n, checks, targets):
    """Returns the table rows of one scaling case and adds its checks and targets.

    Both comparisons are of zarn with itself, so they are judged by CPU time,
    which other programs on a shared machine disturb less than wall time. Peak
    memory is left to the other runs: after its first call a process reuses
    the memory freed by earlier ones, so only a fresh process measures it.
    """
    rows = []
    first = sizes[0]
    base = by_n[first, "C"].get("cpu_seconds", [])
    for n in sizes:
        c, f = by_n[n, "C"], by_n[n, "F"]
        cpu_c, cpu_f = median(c, "cpu_seconds"), median(f, "cpu_seconds")
        # Call by call: the calls of one round of the worker were made one after another.
        times_c, times_f = c.get("cpu_seconds", []), f.get("cpu_seconds", [])
        growth = paired_median([(t / n) / (t0 / first) for t, t0 in zip(times_c, base)])
        f_over_c = paired_median([tf / tc for tf, tc in zip(times_f, times_c)])
        rows.append(
            [
                f"{n:,}",
                fmt_seconds(median(c)),
                fmt_seconds(cpu_c),
                f"{cpu_c / n * 1e9:.1f}",
                f"{growth:.2f}",
                fmt_seconds(median(f)),
                fmt_seconds(cpu_f),
                f"{f_over_c:.2f}",
            ]
        )
        prefix = f"{kind}/{method} n={n:,}"
        targets.append(
            (f"{prefix}: F / C within 20 %, CPU time", f"{f_over_c:.2f}", 0.8 <= f_over_c <= 1.2)
        )
        targets.append(
            (
                f"{prefix}: CPU time per row vs n={first:,} within 20 %",
                f"{growth:.2f}",
                0.8 <= growth <= 1.2,
            )
        )
        if "error" not in c and "error" not in f:
            checks.append(pair(f"{prefix}: F order vs C order", f, c, TOLERANCE_ZARN))
    return rows


def scaling(options, runner):
    """Times zarn over n for C and F order; returns the agreement checks and targets."""
    checks, targets = [], []
    for kind in options.models:
        for method in options.methods:
            rows, runs = [], {}
            folders = [
                [n, str(prepare(runner, n, options.k, options.binary, options.models))]
                for n in options.scaling_n
            ]
            for r in range(options.rounds):
                progress(f"{kind} / {method}, all sizes, round {r + 1} of {options.rounds}")
                result = runner.run(
                    competitor="zarn_scaling",
                    folders=folders,
                    repeat=options.repeat,
                    model=kind,
                    method=method,
                )
                for n in options.scaling_n:
                    for order in ("C", "F"):
                        one = result.get("by_size", {}).get(f"{n} {order}") or result
                        runs.setdefault((n, order), []).append(one)
            by_n = {key: merge(results) for key, results in runs.items()}
            for value in by_n.values():
                for key in ("ames", "ses"):
                    if key in value:
                        value[key] = np.asarray(value[key])
            rows += scaling_rows(kind, method, options.scaling_n, by_n, checks, targets)
            runner.blas = runner.blas or by_n[options.scaling_n[0], "C"].get("blas")
            print()
            print(
                f'zarn scaling, {kind.capitalize()}, se_method="{method}", k = {options.k}, '
                f"{options.binary} binary"
            )
            header = [
                "n",
                "C: median s",
                "CPU s",
                "CPU ns / row",
                "vs first n",
                "F: median s",
                "CPU s",
                "F / C, call by call",
            ]
            print_table(header, rows, options.markdown)
    return checks, targets


def print_environment(compiler, blas, load_start, vector_erfc):
    print()
    print("Environment")
    cpu = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        total = next(int(l.split()[1]) for l in meminfo if l.startswith("MemTotal")) / 2**20
    print(
        f"  CPU: {cpu}; {os.cpu_count()} logical cores "
        f"({len(os.sched_getaffinity(0))} usable); {total:.1f} GiB memory"
    )
    print(f"  {platform.system()} {platform.release()}; Python {platform.python_version()}")
    load_end = os.getloadavg()[0]
    print(f"  load average (1 minute): {load_start:.2f} at the start, {load_end:.2f} at the end")
    if max(load_start, load_end) > 1.5:
        print(
            "  The machine was busy: wall times include waiting for a core. CPU times are"
            " the steadier measure, and the floor is taken from them."
        )
    versions = []
    for name in ("velmora", "numpy", "scipy", "pandas", "statsmodels"):
        try:
            versions.append(f"{name} {version(name)}")
        except PackageNotFoundError:
            versions.append(f"{name} missing")
    print("  " + ", ".join(versions))
    print(f"  C compiler for the floor: {compiler} (-O2 -ffp-contract=off)")
    erfc = "the C library's vector erfc (libmvec)" if vector_erfc else "the scalar erfc"
    print(f"  erfc in velmora and in the floor: {erfc}")
    for name in (
        "OPENBLAS_CORETYPE",
        "OPENBLAS_L2_SIZE",
        "OPENBLAS_NUM_THREADS",
        "OMP_NUM_THREADS",
    ):
        print(f"  {name}: {os.environ.get(name, 'unset')}")
    if blas:
        for info in blas:
            print(
                f"  BLAS in a zarn worker: {Path(info['filepath']).name} {info['version']}, "
                f"{info['num_threads']} threads, kernel {info['architecture']}"
            )
    else:
        print("  BLAS threads: unknown (pip install threadpoolctl)")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--worker"]:
        worker_main(argv[1])
        return 0
    options = parse_options(argv)
    sys.stdout.reconfigure(line_buffering=True)
    vector_erfc = module_uses_vector_erfc()

    if options.keep_data:
        folder = options.keep_data
        folder.mkdir(parents=True, exist_ok=True)
        cleanup = None
    else:
        cleanup = tempfile.TemporaryDirectory(prefix="velmora-bench-")
        folder = Path(cleanup.name)
    try:
        floor_binary, compiler = compile_floor(folder, vector_erfc)
        runner = Runner(folder, floor_binary, options.blas_threads)
        started, load_start = time.perf_counter(), os.getloadavg()[0]
        if options.scaling:
            checks, targets = scaling(options, runner)
        else:
            checks, targets = compare(options, runner, vector_erfc)
    finally:
        if cleanup is not None:
            cleanup.cleanup()

    print()
    print("Agreement (largest relative difference)")
    failed = False
    for label, ame, se, tolerance in checks:
        ok = ame <= tolerance and (se is None or se <= tolerance)  # NaN fails
        failed |= not ok
        se_text = "-" if se is None else f"{se:.1e}"
        print(
            f"  {'ok  ' if ok else 'FAIL'} {label}: effects {ame:.1e}, std. errors {se_text}"
            f" (tolerance {tolerance:.0e})"
        )
    if not checks:
        print("  nothing to compare")
    print()
    print("Targets")
    for label, measured, met in targets:
        print(f"  {'met   ' if met else 'MISSED'} {label}: {measured}")
    print_environment(compiler, runner.blas, load_start, vector_erfc)
    print(f"  run time {time.perf_counter() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
