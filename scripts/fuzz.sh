#!/usr/bin/env bash
# Builds the fuzz targets as libFuzzer programs (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for a bounded time. Fails when any of them finds a crash, a leak, a hang (an input
# running over 10 s), an out-of-memory or a failed check; the input that did it is kept under
# <build>/fuzz-artifacts/ and the run's log under <build>/fuzz-logs/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60; TARGET is any of project_loader defaults_file es_units
# es_refill ts_units ps_units ts_mux ts_refill matroska server_requests (default: all). The build folder is build-fuzz,
# or $MPG_FUZZ_BUILD_DIR. Each target keeps the corpus it grows in <build>/fuzz-corpus/<target>,
# so later runs start further.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(project_loader defaults_file es_units es_refill ts_units ps_units ts_mux ts_refill matroska server_requests)
build=${MPG_FUZZ_BUILD_DIR:-build-fuzz}

# clang and its fuzzer runtime come from Debian.
if ! command -v clang++ >/dev/null || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get -o DPkg::Lock::Timeout=900 update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -q clang libclang-rt-14-dev
fi

# The tools are configured for the decoding server's library, which server_requests runs; only the
# fuzz targets are built.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPG_SANITIZE=ON \
  -DMPG_FUZZ=ON -DMPG_BUILD_TOOLS=ON -DMPG_BUILD_BENCH=OFF >/dev/null
build_targets=(fuzz_seeds)
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "$(nproc)" --target "${build_targets[@]}"

# Options per target: the largest input worth trying and the dictionary.
max_len() {
  case $1 in
    project_loader) echo 8192 ;;
    defaults_file) echo 2048 ;;
    es_units | es_refill | ts_units | ps_units | ts_mux | ts_refill) echo 32768 ;;
    matroska) echo 65536 ;;
    server_requests) echo 16384 ;;
  esac
}
dict() {
  case $1 in
    project_loader | defaults_file | matroska) echo "tests/fuzz/$1.dict" ;;
    es_units | es_refill | ts_units | ps_units | ts_mux | ts_refill | server_requests) echo "tests/fuzz/mpeg2.dict" ;;
  esac
}


mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
failed=()
for t in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$t"
  mkdir -p "$corpus"
  seeds=("tests/fuzz/corpus/$t")
  [ -d "$build/fuzz-seeds/$t" ] && seeds+=("$build/fuzz-seeds/$t")
  log="$build/fuzz-logs/$t.log"
  echo "== fuzzing $t for ${seconds}s =="
  status=0
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzzers/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 \
    -max_len="$(max_len "$t")" -dict="$(dict "$t")" -len_control=100 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$t-" "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?
  # The last status line carries the edge coverage and the corpus size.
  grep -E '^#[0-9]+' "$log" | tail -1 || true
  grep -E 'stat::number_of_executed_units' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$t FAILED (exit $status); log: $log"
    grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$log" | head -10 || true
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found nothing"
