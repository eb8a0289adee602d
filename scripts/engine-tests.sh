#!/usr/bin/env bash
# Builds and runs the C++ unit tests of the engine in a build folder of their own.
# Usage: bash scripts/engine-tests.sh [extra CMake arguments, e.g. -DVELMORA_SANITIZE=ON]
#
# CMake's configure step needs a Python with NumPy and scipy-openblas32. Give one with
# VELMORA_ENGINE_PYTHON; otherwise a virtual environment is made (once) in the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VELMORA_ENGINE_BUILD:-build/engine-tests}
python_bin=${VELMORA_ENGINE_PYTHON:-}
mkdir -p "$build"

if [[ -z $python_bin ]]; then
    source scripts/python.sh
    base=$python_bin
    venv="$build/venv"
    if [[ ! -x $venv/bin/python ]]; then
        "$base" -m venv "$venv"
    fi
    source scripts/stacks.sh
    build_lock="$locks/build-py$(python_minor "$base").txt"
    "$venv/bin/python" -m pip install --quiet -c "$build_lock" numpy scipy-openblas32 cmake ninja
    python_bin="$venv/bin/python"
    export PATH="$venv/bin:$PATH"
fi

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B "$build/cmake" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-Release}" \
    -DVELMORA_ENGINE_TESTS=ON \
    -DVELMORA_WERROR=ON \
    -DPython_EXECUTABLE="$python_bin" \
    "$@"
cmake --build "$build/cmake" --target engine_tests
ctest --test-dir "$build/cmake" --output-on-failure
