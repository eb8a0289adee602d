#!/usr/bin/env bash
# Builds velmora with AddressSanitizer and UndefinedBehaviorSanitizer into a virtual
# environment of its own and runs the test suite against that build. Any sanitizer
# report, in the test process or in a subprocess it starts, fails the run.
# Usage: bash scripts/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python.sh
venv=${VELMORA_SANITIZE_VENV:-.venv-sanitize}
cxx=${CXX:-g++}

"$python_bin" -m venv --clear "$venv"
# Optimised with debug information, so the suite runs at a usable speed and the
# reports name source lines; the standard library checks its own preconditions too.
source scripts/stacks.sh
install_locked "$venv" "$(default_lock "$python_bin")" \
    -C cmake.define.VELMORA_SANITIZE=ON \
    -C cmake.define.VELMORA_WERROR=ON \
    -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.CMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS \
    '.[test]'

module=$(find "$venv/lib" -name 'velmora*.so' -print -quit)
if [[ -z $module || $(ldd "$module") != *libasan* ]]; then
    echo "sanitize.sh: the installed module is not linked against AddressSanitizer" >&2
    exit 1
fi

# The interpreter is not built with the sanitizers, so their runtime must be the
# first library loaded. libstdc++ is loaded with it so that ASan finds the real
# __cxa_throw when it sets up its interceptors.
libasan=$("$cxx" -print-file-name=libasan.so)
libstdcxx=$("$cxx" -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
    if [[ ! -e $lib ]]; then
        echo "sanitize.sh: cannot find $lib" >&2
        exit 1
    fi
done

# LeakSanitizer's own check at exit would run after the interpreter has torn
# itself down halfway and reports what CPython leaves behind on purpose. Instead
# the test run's interpreter runs the check from an exit handler, while every
# live object is still reachable; with the allocator set below, a leaked Python
# object is reported as well as a leaked C++ allocation. Subprocesses that the
# tests start are still checked by ASan and UBSan, but not for leaks: the check
# stops every thread, which now and then fails in a short-lived child.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
cat >"$site/velmora_leak_check.py" <<'EOF'
"""Runs LeakSanitizer's check when the test run exits (installed by sanitize.sh)."""
import atexit
import ctypes
import gc
import os

# Taken out of the environment here, so the processes the tests start skip it.
if os.environ.pop("VELMORA_LEAK_CHECK", None) == "1":

    @atexit.register
    def check_leaks():
        gc.collect()
        ctypes.CDLL(None).__lsan_do_recoverable_leak_check()
EOF
# A .pth line runs at every start; importing keeps it to once per process even
# when the site directory is reached twice (lib and its lib64 link).
echo 'import velmora_leak_check' >"$site/velmora_leak_check.pth"

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

# Reports go to files as well as aborting the process, so one that a subprocess
# test would otherwise swallow as an expected failure still fails the run.
#
# intercept_tls_get_addr=0: GCC's sanitizer runtime up to GCC 13 takes a dynamic TLS
# block that happens to start 16 bytes into a page for one with the header of
# glibc before 2.25, and reads the two words in front of it as a block's address
# and size. The leak check's thread-stopping tracer then reads from that bogus
# range and dies ("Tracer caught signal 11"), before any report, in one process
# out of several, depending only on where malloc put the block. The check needs
# no interceptor to see into those blocks: glibc allocates them with malloc, and
# they stay reachable through the thread's table of TLS blocks.
export LD_PRELOAD="$libasan $libstdcxx"
export ASAN_OPTIONS="intercept_tls_get_addr=0:detect_leaks=1:leak_check_at_exit=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# Python's small-object allocator hides object memory from ASan; with the system
# allocator a reference released too early shows up as a use after free.
export PYTHONMALLOC=malloc

# The tests that start Dask's schedulers are left out: now and then a frame object that
# CPython makes as a thread of theirs pops a frame is still in flight when the check at
# exit runs, and is reported as leaked (with a stack in the interpreter alone). The
# kernels those tests call run in threads in the other tests too.
status=0
VELMORA_LEAK_CHECK=1 timeout --signal=INT --kill-after=60 "${VELMORA_SANITIZE_TIMEOUT:-1500}" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -m "not dask_scheduler" "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    cat "$reports"/* >&2
    exit 1
fi
exit "$status"
