#!/usr/bin/env bash
# Long crash torture: the crash suite (tests/e2e/robustness_crash_test.cc) with many SIGKILL
# cycles per variant. Prints the figures; exits non-zero when a record was broken or lost.
#
#   tests/torture/crash_torture.sh [BUILD_DIR]        BUILD_DIR defaults to build/
#
# Knobs: CYCLES (kills per variant, 200), RATE (messages/s, 300), UP_MS (longest run before the
# kill, 1500), SEED (random seed), FILTER (gtest filter, all variants).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
BIN=$BUILD/tests/e2e_robustness_crash_test
if [ ! -x "$BIN" ]; then
  echo "crash_torture: $BIN missing; build it: cmake --build $BUILD --target $(basename "$BIN")" >&2
  exit 2
fi
export SKELVANE_BIN_DIR=$PWD/$BUILD/bin
export SKELVANE_TORTURE_CYCLES=${CYCLES:-200}
export SKELVANE_TORTURE_RATE=${RATE:-300}
export SKELVANE_TORTURE_UP_MS=${UP_MS:-1500}
[ -n "${SEED:-}" ] && export SKELVANE_TORTURE_SEED=$SEED
log=$(mktemp /tmp/skelvane-crash-torture-XXXXXX.log)
status=0
"$BIN" --gtest_filter="${FILTER:-*}" >"$log" 2>&1 || status=$?
grep -E '^\[ (seed|figure) *\]|^\[ *(OK|FAILED) *\]' "$log" || true
echo "crash_torture: full output in $log"
exit $status
