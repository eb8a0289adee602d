#!/usr/bin/env bash
# Builds velmora into a fresh virtual environment with its test extras and runs the test suite.
# Usage: bash scripts/test.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
venv=${VELMORA_VENV:-.venv}
# VELMORA_CONSTRAINTS names a pip constraints file, e.g. to test against older NumPy.
constraints=()
[[ -n ${VELMORA_CONSTRAINTS:-} ]] && constraints=(-c "$VELMORA_CONSTRAINTS")

"$python_bin" -m venv --clear "$venv"
"$venv/bin/python" -m pip install --upgrade --quiet pip
"$venv/bin/python" -m pip install --quiet "${constraints[@]}" '.[test]'
"$venv/bin/python" -m pytest -p no:cacheprovider "$@"
