#!/usr/bin/env bash
# Builds everything and runs every test: first a normal build, then one under AddressSanitizer and
# UndefinedBehaviorSanitizer. Usage: scripts/test.sh [--no-sanitizers]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}
echo "== normal build =="
run_suite build -DMPG_BUILD_TESTS=ON
if [ "${1:-}" != "--no-sanitizers" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DMPG_BUILD_TESTS=ON -DMPG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi
echo "all tests passed"
