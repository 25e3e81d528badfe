#!/usr/bin/env bash
# Long conservation run: tests/e2e/conservation_test.cc over several seeds, each with more messages
# and a longer fault phase than the ctest form. One summary line per seed; exits non-zero when a
# seed failed (a lost message, a clock step that did not take, a restart that did not come up).
#   tests/torture/conservation.sh [SEED...]          (seeds 1 2 3 4 5 by default)
# Knobs: BUILD (build directory, build/), MESSAGES (3000 per seed), FAULT_SECONDS (120 per seed).
# Needs root (it mounts a tmpfs) and libfaketime (scripts/install-deps.sh installs it).
set -uo pipefail
cd "$(dirname "$0")/../.."
BUILD=${BUILD:-build}
[ $# -gt 0 ] || set -- 1 2 3 4 5
export SKELVANE_BIN_DIR=$PWD/$BUILD/bin CONSERVATION_MESSAGES=${MESSAGES:-3000}
export CONSERVATION_SECONDS=${FAULT_SECONDS:-120}
status=0
for seed in "$@"; do
  log=$(mktemp "/tmp/skelvane-conservation-$seed-XXXXXX.log")
  verdict=ok
  CONSERVATION_SEED=$seed "$BUILD/tests/e2e_conservation_test" >"$log" 2>&1 || { verdict=FAILED; status=1; }
  figures=$(sed -n 's/^\[ figure \] conservation: //p' "$log")
  echo "$verdict ${figures:-seed=$seed (no figures)} log=$log"
done
exit $status
