#!/usr/bin/env bash
# Runs every test: the C++ tests in a plain, a ThreadSanitizer and an
# AddressSanitizer+UBSan build (ctest), a bounded fuzzing run, the Python
# tests (pytest) against the freshly installed module and emulated chip with
# NumPy 2 and with NumPy 1.26, and the wheel for users, built and then proven
# on a bare Debian 12 root (skipped, and said so, where that cannot run).
# Needs what scripts/setup.sh installs. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
pybind11_dir=$("$PYTHON" -c 'import pybind11; print(pybind11.get_cmake_dir())')

section() { printf '\n=== %s ===\n' "$*"; }

for sanitizer in none thread address; do
  section "C++ tests, sanitizer: $sanitizer"
  build=build/tests-$sanitizer
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYNVK_BUILD_TESTS=ON \
    -DPYNVK_BUILD_MODULE=OFF -DSANITIZE="${sanitizer/none/}" -Dpybind11_DIR="$pybind11_dir" >/dev/null
  cmake --build "$build" -j "$JOBS"
  ctest --test-dir "$build" --output-on-failure -j "$JOBS"
done

section "Fuzzing the reader and the framer for 45 s each"
PYNVK_FUZZ_BUILD_DIR="$PWD/build/fuzz" bash fuzz/run_fuzz.sh 45

section "Python tests, NumPy $("$PYTHON" -c 'import numpy; print(numpy.__version__)')"
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation ./emulator
umockdev-wrapper "$PYTHON" -m pytest

section "Python tests, NumPy 1.26"
numpy1=build/numpy1
[ -d "$numpy1/numpy" ] || "$PYTHON" -m pip install -q --disable-pip-version-check --target "$numpy1" 'numpy==1.26.*'
PYTHONPATH="$PWD/$numpy1" umockdev-wrapper "$PYTHON" -m pytest -p no:cacheprovider

section "Python tests, module built with AddressSanitizer+UBSan"
asan_build=build/module-address
cmake -S . -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=address \
  -Dpybind11_DIR="$pybind11_dir" >/dev/null
cmake --build "$asan_build" -j "$JOBS" --target _pynvk_boards_pp
# The interpreter is not instrumented: the sanitizer runtime is preloaded
# first, with libstdc++ so that its exception interceptor finds the real
# __cxa_throw. CPython's own allocations at exit are not leaks of ours. Only
# the suites that drive the module in this process run here: the others start
# subprocesses of their own with other preloads.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6) libumockdev-preload.so.0" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$PWD/$asan_build/src" "$PYTHON" -m pytest -p no:cacheprovider tests/module tests/emulator tests/reliability

section "Wheel for users: sdist, wheel built from it, auditwheel repair"
bash scripts/build_wheel.sh

section "Wheel for users: installed and checked on a Debian 12 root without the build's packages"
status=0
bash scripts/test_wheel.sh || status=$?
if ((status == 77)); then
  echo "SKIPPED: the wheel test could not run here (reason above)"
elif ((status != 0)); then
  exit "$status"
fi
