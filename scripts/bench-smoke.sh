#!/usr/bin/env bash
# Smoke test of the benchmark: installs velmora into a virtual environment (made once),
# runs the harness's own tests, then the benchmark at a small size with every competitor
# (statsmodels included), the scaling run, the effects by variable and the fit on Dask
# from Parquet files, and fails unless each exits with status 0 and every expected
# agreement check ran and passed. The sizes are far too small for the
# timings to mean anything; the targets are not judged.
# Usage: bash scripts/bench-smoke.sh
# VELMORA_BENCH_VENV names the virtual environment (default .venv-bench); one that has
# velmora and the test extras already (the one scripts/test.sh makes) is used as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
venv=${VELMORA_BENCH_VENV:-.venv-bench}
python=$venv/bin/python

[[ -x $python ]] || "$python_bin" -m venv "$venv"
if ! "$python" -c 'import velmora, threadpoolctl, pytest' 2>/dev/null; then
    source scripts/stacks.sh
    install_locked "$venv" "$(default_lock "$python_bin")" -C cmake.define.VELMORA_WERROR=ON '.[test]'
fi

echo "== harness tests"
"$python" -m pytest -p no:cacheprovider -q bench/tests

report=$(mktemp -d)
trap 'rm -rf "$report"' EXIT

# Runs the benchmark with the given arguments into $report/$1.txt and prints the report.
# Fails unless it exits with status 0 and shows exactly $2 agreement checks, all passed.
run_and_check() {
    local name=$1 expected=$2
    shift 2
    local status=0
    "$python" bench/run.py "$@" >"$report/$name.txt" || status=$?
    cat "$report/$name.txt"
    if ((status != 0)); then
        echo "bench-smoke.sh: $name: the benchmark exited with status $status" >&2
        exit 1
    fi
    local passed failed
    passed=$(grep -c '^  ok   ' "$report/$name.txt" || true)
    failed=$(grep -c '^  FAIL ' "$report/$name.txt" || true)
    if ((passed != expected || failed != 0)); then
        echo "bench-smoke.sh: $name: $passed agreement checks passed and $failed failed;" \
            "expected $expected to pass" >&2
        exit 1
    fi
    if grep -q 'failed: ' "$report/$name.txt"; then
        echo "bench-smoke.sh: $name: a competitor failed" >&2
        exit 1
    fi
}

echo "== benchmark at n = 5000"
# Per model and method: zarn chunk_size=1000, NumPy at 2 chunk sizes, statsmodels.
run_and_check compare $((2 * 2 * (1 + 2 + 1))) \
    --n 5000 --rounds 1 --repeat 3 --numpy-repeat 1 --chunk-sizes 1024 4096 \
    --zarn-chunk-sizes 1000
if (($(grep -c 'statsmodels vs zarn' "$report/compare.txt") != 4)); then
    echo "bench-smoke.sh: statsmodels did not run for every model and method" >&2
    exit 1
fi

echo "== scaling run at n = 2000 and 4000"
# F order against C order at each size.
run_and_check scaling 2 \
    --scaling --scaling-n 2000 4000 --model probit --method sm --rounds 1 --repeat 2

echo "== effects by variable at n = 3000"
# Per model, margins per design column against zarn.
run_and_check margins 2 --margins --margins-n 3000 --rounds 1 --repeat 2

echo "== fit and effects on Dask at n = 40,000, in 4 files"
# Per kind of factor (integers, text): velmora on threads against one thread and against
# statsmodels, coefficients and effects.
run_and_check partitioned $((2 * 2 * 2)) --partitioned --model logit --partitioned-n 40000 \
    --partitioned-file-rows 10000 --rounds 1
if (($(grep -c 'velmora on Dask vs statsmodels' "$report/partitioned.txt") != 4)); then
    echo "bench-smoke.sh: statsmodels did not run for both kinds of factor" >&2
    exit 1
fi

echo "bench-smoke.sh: the benchmark ran and every agreement check passed"
