#!/bin/sh
# Builds the fuzzers (clang-14, AddressSanitizer) and runs each for a bounded
# time on a scratch copy of its seed corpus, so the committed corpus stays as
# it is: the reader thread on the scripted libftdi stand-in (acquisition) and
# the framer alone (framer). Usage: fuzz/run_fuzz.sh [seconds each, default 60]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PYNVK_FUZZ_BUILD_DIR:-$root/build/brd-fuzz}
seconds=${1:-60}

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
  -DPYNVK_BUILD_FUZZ=ON -DPYNVK_BUILD_MODULE=OFF -DSANITIZE=address
cmake --build "$build" --target acquisition_fuzzer framer_fuzzer -j2

for target in acquisition framer; do
  work=$(mktemp -d)
  cp "$root"/fuzz/corpus/$target/* "$work"/
  (cd "$work" && "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 "$work")
  echo "$target corpus grown in $work"
done
