#!/usr/bin/env bash
# Ten-minute soak (tests/e2e/robustness_soak_test.cc with long knobs): steady publishing with
# acknowledgements, dropped acknowledgements, receiver outages, rotations and restores; reports
# VmRSS samples, the descriptor count before and after, and exits non-zero when memory grew, a
# descriptor leaked or the outbox did not drain.
#
#   tests/torture/soak.sh [BUILD_DIR]                 BUILD_DIR defaults to build/
#
# Knobs: SECONDS_TOTAL (600), RATE (messages/s, 20), DROP (percent of acks dropped, 20),
# OUTAGE (period of receiver outages in s, 60).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
BIN=$BUILD/tests/e2e_robustness_soak_test
if [ ! -x "$BIN" ]; then
  echo "soak: $BIN missing; build it: cmake --build $BUILD --target $(basename "$BIN")" >&2
  exit 2
fi
export SKELVANE_BIN_DIR=$PWD/$BUILD/bin
export SKELVANE_SOAK_SECONDS=${SECONDS_TOTAL:-600}
export SKELVANE_SOAK_RATE=${RATE:-20}
export SKELVANE_SOAK_DROP=${DROP:-20}
export SKELVANE_SOAK_OUTAGE=${OUTAGE:-60}
log=$(mktemp /tmp/skelvane-soak-XXXXXX.log)
status=0
"$BIN" >"$log" 2>&1 || status=$?
grep -E '^\[ figure \]|^\[ *(OK|FAILED) *\]' "$log" || true
echo "soak: full output in $log"
exit $status
