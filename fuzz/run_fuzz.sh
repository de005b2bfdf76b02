#!/bin/sh
# Builds the acquisition fuzzer (clang-14, AddressSanitizer) and runs it for a
# bounded time on a scratch copy of the seed corpus, so the committed corpus
# stays as it is. Usage: fuzz/run_fuzz.sh [seconds, default 60]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PYNVK_FUZZ_BUILD_DIR:-$root/build/brd-fuzz}
seconds=${1:-60}

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
  -DPYNVK_BUILD_FUZZ=ON -DPYNVK_BUILD_MODULE=OFF -DSANITIZE=address
cmake --build "$build" --target acquisition_fuzzer -j2

work=$(mktemp -d)
cp "$root"/fuzz/corpus/* "$work"/
cd "$work"
"$build/fuzz/acquisition_fuzzer" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 "$work"
echo "corpus grown in $work"
