#!/usr/bin/env bash
# Builds velmora into a fresh virtual environment with its test extras and runs the test suite.
# Usage: bash scripts/test.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

python_bin=${VELMORA_PYTHON:-}
if [[ -z $python_bin ]]; then
    if command -v pyenv >/dev/null 2>&1 && pyenv prefix 3.13.0 >/dev/null 2>&1; then
        python_bin="$(pyenv prefix 3.13.0)/bin/python3"
    elif command -v python3.13 >/dev/null 2>&1; then
        python_bin=python3.13
    else
        python_bin=python3
    fi
fi
venv=${VELMORA_VENV:-.venv}

"$python_bin" -m venv --clear "$venv"
"$venv/bin/python" -m pip install --upgrade --quiet pip
"$venv/bin/python" -m pip install --quiet '.[test]'
# Run from the tests folder so that the installed module, not the source tree, is imported.
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
