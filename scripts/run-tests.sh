#!/usr/bin/env bash
# Builds and runs the whole test suite in the plain build, then under ASan+UBSan and TSan.
# Usage: scripts/run-tests.sh [preset ...]   (default: release asan-ubsan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan-ubsan tsan)
jobs=$(nproc)

# Sanitizer reports fail the test that caused them.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# No display is needed: the program falls back to Qt's offscreen platform.

failed=()
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  if ! ctest --preset "$preset" -j "$jobs"; then
    failed+=("$preset")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED in: ${failed[*]}"
  exit 1
fi
echo "All test runs passed: ${presets[*]}"
