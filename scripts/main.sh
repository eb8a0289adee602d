#!/usr/bin/env bash
# Installs velmora with its command-line extras into a virtual environment and runs the
# main job: `velmora` on statsmodels' bundled spector data, beside statsmodels' own figures.
# Usage: bash scripts/main.sh [velmora arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
venv=${VELMORA_VENV:-.venv-main}

[[ -x $venv/bin/python ]] || "$python_bin" -m venv "$venv"
"$venv/bin/python" -m pip install --upgrade --quiet pip
"$venv/bin/python" -m pip install --quiet '.[cli,plot,parquet]'
"$venv/bin/velmora" "$@"
