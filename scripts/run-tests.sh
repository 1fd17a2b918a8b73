#!/usr/bin/env bash
# Builds and runs the whole test suite in the plain build, then under ASan+UBSan and TSan.
# Usage: scripts/run-tests.sh [preset ...]   (default: release asan-ubsan tsan)
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan-ubsan tsan)
jobs=$(nproc)

# Sanitizer reports fail the test that caused them.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Suppressions: only the allocator calls made inside Qt, which is not instrumented (see file).
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
# No display is needed: the program falls back to Qt's offscreen platform.

failed=()
total_passed=0
total_failed=0
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    failed+=("$preset (build)")
    continue
  fi
  echo "=== $preset: test"
  log="build/$preset/ctest-output.txt"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$preset")
  summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$summary" ]; then
    set -- $summary
    total_failed=$((total_failed + $1))
    total_passed=$((total_passed + $6 - $1))
  fi
done

[ ${#failed[@]} -eq 0 ] || echo "FAILED in: ${failed[*]}"
echo "Total: $total_passed passed, $total_failed failed" | tee build/test-total.txt
[ ${#failed[@]} -eq 0 ]
