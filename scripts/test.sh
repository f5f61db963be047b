#!/usr/bin/env bash
# Builds everything and runs every test: first a normal build, then one under AddressSanitizer and
# UndefinedBehaviorSanitizer. Usage: scripts/test.sh [--no-sanitizers]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# The tests must leave no shared-memory objects behind: those that appear during the run and stay
# fail it.
shm_objects() { ls /dev/shm 2>/dev/null | grep '^mpgsource\.' | sort || true; }
shm_before=$(shm_objects)
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
    run_suite build-asan -DMPG_BUILD_TESTS=ON -DMPG_BUILD_BENCH=OFF -DMPG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
fi
if [ "${1:-}" != "--no-sanitizers" ]; then
  # The link between the host's thread, the decode thread and the server process, and the
  # decoding server's own threads, under ThreadSanitizer.
  echo "== ThreadSanitizer build of the server link, the clip and the decoding server =="
  cmake -S . -B build-tsan -DMPG_BUILD_TESTS=ON -DMPG_BUILD_BENCH=OFF -DMPG_TSAN=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-tsan -j "$jobs" --target test_server test_plugin test_platform \
    test_decode_server mpgsource-server test_media
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs" \
    --timeout 600 -R '^(LinkTest|DecodeThreadTest|ClipTest|Event|Thread|ServerTest|PluginLink|ServerProcess)')
fi
left=$(comm -13 <(echo "$shm_before") <(shm_objects))
if [ -n "$left" ]; then
  echo "the tests left shared-memory objects in /dev/shm:"
  echo "$left"
  exit 1
fi
echo "all tests passed"
