#!/usr/bin/env bash
# Fails when any C++ source differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
venv=${VELMORA_FORMAT_VENV:-build/format-venv}

[[ -x $venv/bin/clang-format ]] || {
    "$python_bin" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet -c .ci/locks/tools.txt clang-format
}
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/engine/*.cpp' 'tests/engine/*.hpp')
"$venv/bin/clang-format" --dry-run --Werror "${files[@]}"
echo "clang-format: ${#files[@]} files formatted"
