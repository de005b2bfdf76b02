#!/usr/bin/env bash
# Runs every test: the C++ tests in a plain, a ThreadSanitizer and an
# AddressSanitizer+UBSan build (ctest), a bounded fuzzing run, and the Python
# tests (pytest) against the freshly installed module with NumPy 2 and with
# NumPy 1.26. Needs what scripts/setup.sh installs. Stops at the first failure.
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

section "Python tests, NumPy $("$PYTHON" -c 'import numpy; print(numpy.__version__)')"
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation .
umockdev-wrapper "$PYTHON" -m pytest

section "Python tests, NumPy 1.26"
numpy1=build/numpy1
[ -d "$numpy1/numpy" ] || "$PYTHON" -m pip install -q --disable-pip-version-check --target "$numpy1" 'numpy==1.26.*'
PYTHONPATH="$PWD/$numpy1" umockdev-wrapper "$PYTHON" -m pytest -p no:cacheprovider
