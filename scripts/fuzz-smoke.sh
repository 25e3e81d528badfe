#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan, coverage in the whole service library) in
# build-fuzz/ and runs each for $FUZZ_SECONDS seconds (default 30) from its seed corpus. Exits
# non-zero on any crash, leak, sanitizer report or time-out; exits 0 with a note when clang is not
# installed. New corpus entries go to build-fuzz/corpus/, crash inputs to build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
JOBS=${JOBS:-$(nproc)}
BUILD=build-fuzz

if ! command -v clang >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz-smoke: clang not found, skipping the fuzz run"
  exit 0
fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DSKELVANE_BUILD_FUZZ=ON -DSKELVANE_SANITIZE=ON \
  -DSKELVANE_BUILD_TESTS=OFF -DSKELVANE_BUILD_BENCH=OFF >/dev/null
# target:corpus directory (fuzz/corpus/<dir> holds the seeds); FUZZ_TARGETS picks a subset.
TARGETS=${FUZZ_TARGETS:-"data_handler_fuzz:data ack_handler_fuzz:ack config_loader_fuzz:config
  record_line_fuzz:record_line outbox_file_fuzz:outbox_file base64_fuzz:base64 archive_fuzz:archive
  line_reader_diff_fuzz:line_reader_diff"}
# shellcheck disable=SC2086
cmake --build "$BUILD" -j "$JOBS" --target $(for p in $TARGETS; do echo "${p%%:*}"; done)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$BUILD/artifacts"
status=0
for pair in $TARGETS; do
  target=${pair%%:*}
  seeds=fuzz/corpus/${pair##*:}
  work=$BUILD/corpus/${pair##*:}
  log=$BUILD/$target.log
  mkdir -p "$work"
  echo "== $target for ${FUZZ_SECONDS}s"
  # The working corpus comes first: libFuzzer adds new inputs to it and only reads the seeds.
  if "$BUILD/fuzz/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" \
      "$work" "$seeds" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9a-zA-Z]+' "$log" | tail -1)
    echo "$target: ok, ${execs:-?} executions, ${cov:-no coverage line}"
  else
    echo "$target: FAILED (log: $log)"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
