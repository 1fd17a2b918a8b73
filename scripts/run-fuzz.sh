#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a bounded time.
# Usage: scripts/run-fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: fuzzers skipped"
  exit 0
fi
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMERIX_SANITIZE=asan-ubsan -DLUMERIX_FUZZ=ON -DLUMERIX_TESTS=OFF -DLUMERIX_BENCH=OFF \
  -DLUMERIX_APP=OFF >/dev/null
# Only the fuzz targets and what they link: the rest of the tree has its own builds.
mapfile -t names < <(cmake --build "$build" --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p')
if [ ${#names[@]} -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi
cmake --build "$build" -j "$(nproc)" --target "${names[@]}"
shopt -s nullglob
targets=("$build"/fuzz/*/fuzz_*)
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds=(fuzz/*/seeds/"${name#fuzz_}")
  echo "=== $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" "${seeds[@]}" 2>&1 | tail -5
done
echo "Fuzzing done: ${#targets[@]} targets"
