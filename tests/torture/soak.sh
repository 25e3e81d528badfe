#!/usr/bin/env bash
# Ten-minute soak: tests/e2e/robustness_soak_test.cc with long knobs. Prints the VmRSS samples and
# descriptor counts; exits non-zero when memory grew, a descriptor leaked or the outbox did not
# drain.
#   tests/torture/soak.sh [BUILD_DIR]    (build/ by default)
# Knobs: SECONDS_TOTAL (600), RATE (messages/s, 20), DROP (% of ACKs dropped, 20), OUTAGE (s, 60).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
export SKELVANE_BIN_DIR=$PWD/$BUILD/bin SKELVANE_SOAK_SECONDS=${SECONDS_TOTAL:-600}
export SKELVANE_SOAK_RATE=${RATE:-20} SKELVANE_SOAK_DROP=${DROP:-20} SKELVANE_SOAK_OUTAGE=${OUTAGE:-60}
log=$(mktemp /tmp/skelvane-soak-XXXXXX.log)
status=0
"$BUILD/tests/e2e_robustness_soak_test" >"$log" 2>&1 || status=$?
grep -E '^\[ figure \]|^\[ *(OK|FAILED) *\]' "$log" || true
echo "soak: full output in $log"
exit $status
