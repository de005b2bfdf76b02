#!/usr/bin/env bash
# Sets up a Debian 12 machine with Python 3.11 for this project: system
# packages, build and test tools, the module and the emulated chip (package
# ftdi_emulator, from emulator/) installed into Python.
# Safe to run again: it installs only what is missing and rebuilds both.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
"$PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' ||
  { echo "Python 3.11 is required ($PYTHON is $("$PYTHON" --version 2>&1))" >&2; exit 1; }

apt_packages=(
  build-essential pkg-config
  libftdi1-dev libusb-1.0-0-dev libfmt-dev   # what the module links
  libgtest-dev umockdev libumockdev-dev       # C++ tests and the emulated chip
  clang-14 libclang-rt-14-dev                 # the fuzzer build
  valgrind                                    # profiling the benchmarks
  debootstrap                                 # the bare Debian root that proves the wheel
  xvfb xauth                                  # a display for the plot window test
  hdf5-tools                                  # h5dump, which reads a recording in a test
)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

"$PYTHON" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
# The module before the emulator: an older module's wheel held the emulator,
# and replacing it removes those files.
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation ./emulator
