#!/usr/bin/env bash
# The source build on other compilers: Debian's GCC 11, whose standard library lacks
# std::expected, must stop at CMake's configure step with the one message that names the
# compilers velmora needs; the sdist must build with Debian's Clang 16 and its libc++ (with
# warnings as errors) and pass the test suite in a fresh virtual environment.
# Usage: bash scripts/compilers.sh [pytest arguments]
# VELMORA_PYTHON picks the interpreter (default CPython 3.13) and VELMORA_LOCK the lock file
# of the sdist's test environment (default that interpreter's; see scripts/test.sh).
# Installs g++-11, clang-16 and libc++ 16 with apt-get where they are missing (with sudo
# unless run as root).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/stacks.sh
work=${VELMORA_COMPILERS_WORK:-build/compilers}
venv=${VELMORA_COMPILERS_VENV:-.venv-clang}

packages=(g++-11 clang-16 libc++-16-dev libc++abi-16-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=()
    ((EUID == 0)) || sudo=(sudo)
    echo "compilers.sh: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

rm -rf "$work"
mkdir -p "$work"
tools="$work/tools"
"$python_bin" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet -c "$locks/build-py$(python_minor "$python_bin").txt" \
    -c "$locks/wheel-tools.txt" build cmake

echo "== GCC 11: the configure step must stop with the message"
status=0
CXX=g++-11 "$tools/bin/cmake" -S . -B "$work/gcc-11" >"$work/gcc-11.log" 2>&1 || status=$?
cat "$work/gcc-11.log"
# CMake wraps the message; compare it with the lines joined.
message=$(tr -s ' \n' ' ' <"$work/gcc-11.log")
expected="velmora needs a C++23 compiler and standard library (std::expected): GCC 12 or later, or Clang 16 or later with its libc++"
if ((status == 0)) || [[ $message != *"$expected"* ]] || [[ $message != *"This compiler is GNU 11."* ]] ||
    (($(grep -c 'CMake Error' "$work/gcc-11.log") != 1)); then
    echo "compilers.sh: GCC 11 did not stop at the compiler check with its one message" >&2
    exit 1
fi

echo "== Clang 16 with libc++: the sdist, built and tested"
PIP_CONSTRAINT="$locks/build-py$(python_minor "$python_bin").txt" \
    "$tools/bin/python" -m build --sdist --outdir "$work/sdist" .
sdist=$(find "$work/sdist" -name 'velmora-*.tar.gz' -print -quit)
"$python_bin" -m venv --clear "$venv"
CXX=clang++-16 CXXFLAGS=-stdlib=libc++ \
    install_locked "$venv" "${VELMORA_LOCK:-$(default_lock "$python_bin")}" \
    -C cmake.define.VELMORA_WERROR=ON \
    "$(realpath "$sdist")[test]"
python=$(cd "$venv/bin" && pwd)/python
module=$("$python" -c 'import velmora; print(velmora.__file__)')
if ! readelf -d "$module" | grep -q 'NEEDED.*libc++\.so'; then
    echo "compilers.sh: $module was not built with Clang's libc++" >&2
    exit 1
fi
"$python" -c 'import sys, numpy, pandas
print(f"compilers.sh: testing on CPython {sys.version.split()[0]}, NumPy {numpy.__version__},"
      f" pandas {pandas.__version__}")'
# From a copy of the tests, so that the installed build is what they import.
rm -rf "$work/tests"
mkdir -p "$work/tests"
cp -r tests pyproject.toml "$work/tests/"
cd "$work/tests"
"$python" -m pytest -p no:cacheprovider "$@"
