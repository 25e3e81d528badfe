#!/usr/bin/env bash
# Long crash torture: tests/e2e/robustness_crash_test.cc with many SIGKILL cycles per variant.
# Prints the seeds and figures; exits non-zero when a record was broken or lost.
#   tests/torture/crash_torture.sh [BUILD_DIR]    (build/ by default)
# Knobs: CYCLES (kills per variant, 200), RATE (messages/s, 300), UP_MS (longest run before a kill,
# 1500), SEED, FILTER (gtest filter; default: the torture variants, not the single-kill burst).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
export SKELVANE_BIN_DIR=$PWD/$BUILD/bin SKELVANE_TORTURE_CYCLES=${CYCLES:-200}
export SKELVANE_TORTURE_RATE=${RATE:-300} SKELVANE_TORTURE_UP_MS=${UP_MS:-1500}
[ -n "${SEED:-}" ] && export SKELVANE_TORTURE_SEED=$SEED
log=$(mktemp /tmp/skelvane-crash-torture-XXXXXX.log)
status=0
"$BUILD/tests/e2e_robustness_crash_test" --gtest_filter="${FILTER:-*-*burst*}" >"$log" 2>&1 || status=$?
grep -E '^\[ (seed|figure) *\]|^\[ *(OK|FAILED) *\]' "$log" || true
echo "crash_torture: full output in $log"
exit $status
