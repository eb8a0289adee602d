#!/usr/bin/env bash
# Lints and type-checks the Python sources: ruff (rules and formatting) and mypy --strict,
# with the settings in pyproject.toml. Uses the environment that scripts/test.sh makes.
# Usage: bash scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VELMORA_VENV:-.venv}
if [[ ! -x $venv/bin/ruff || ! -x $venv/bin/mypy ]]; then
    echo "lint.sh: no ruff and mypy in $venv; run 'bash scripts/test.sh' first" >&2
    exit 1
fi
"$venv/bin/ruff" check python bench tests docs scripts
"$venv/bin/ruff" format --check python bench tests docs scripts
"$venv/bin/mypy"
