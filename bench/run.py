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
inverse Fisher information at beta. zarn reads a duck-typed result (params,
cov_params(), model.exog, model.exog_names), NumPy the same arrays; statsmodels
gets its own results object holding the same beta and covariance, so all
compare like with like.

Needs numpy, scipy, pandas, statsmodels, threadpoolctl, velmora and a C compiler
(cc or $CC). Linux only (reads /proc). This file only starts the run; the
modules of the bench package do the work (bench/README.md lists them).
"""

import sys
from pathlib import Path

if __package__ in (None, ""):  # run as a script: put the repository, not bench/, on the path
    sys.path[0] = str(Path(__file__).resolve().parent.parent)


def main(argv: list[str] | None = None) -> int:
    """Runs the benchmark, or with --worker TASK one worker (the harness starts those)."""
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--worker"]:
        from bench.workers import worker_main

        worker_main(argv[1])
        return 0
    from bench.main import main as run_benchmark

    return run_benchmark(argv)


if __name__ == "__main__":
    sys.exit(main())
