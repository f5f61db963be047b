#!/usr/bin/env bash
# Builds everything and runs every test, with warnings as errors: a Release build (the default
# compiler, GCC here), a user's build installed into a temporary prefix and run from there, then a
# Debug build with clang under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# ThreadSanitizer build of the threaded parts. Usage: scripts/test.sh [--no-sanitizers]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
export MPG_WERROR=ON
# The VapourSynth core that setup.sh builds once (a test host): the builds find its SDK through
# pkg-config, and so build the VapourSynth plugin and its tests.
vs_prefix=$(bash scripts/build-vapoursynth.sh)
if [ -n "$vs_prefix" ]; then
  export PKG_CONFIG_PATH="$vs_prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
fi
# A test that skips fails the run (every tool is installed here), unless it is marked as allowed
# to skip with a reason (MPG_ALLOWED_SKIP, tests/support/allowed_skip.h).
export MPG_FAIL_ON_SKIP=1
# The tests must leave no shared-memory objects behind: those that appear during the run and stay
# fail it.
shm_objects() { ls /dev/shm 2>/dev/null | grep '^mpgsource\.' | sort || true; }
shm_before=$(shm_objects)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DMPG_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600)
}
echo "== Release build =="
run_suite build -DMPG_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
echo "== a user's build (no tests, no benchmarks), installed and run from its prefix =="
bash scripts/install-check.sh build/media build-user
if [ "${1:-}" != "--no-sanitizers" ]; then
  echo "== clang Debug build under AddressSanitizer + UndefinedBehaviorSanitizer =="
  CC=clang CXX=clang++ ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-clang-asan -DMPG_BUILD_TESTS=ON -DMPG_BUILD_BENCH=OFF -DMPG_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug
  # The link between the host's thread, the decode thread and the server process, and the
  # decoding server's own threads, under ThreadSanitizer.
  echo "== ThreadSanitizer build of the server link, the clip and the decoding server =="
  cmake -S . -B build-tsan -DMPG_WERROR=ON -DMPG_BUILD_TESTS=ON -DMPG_BUILD_BENCH=OFF -DMPG_TSAN=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-tsan -j "$jobs" --target test_link test_plugin test_platform \
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
