#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the release build's unit and end-to-end
# suites, then the same suites built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

bash scripts/install-deps.sh

echo "== release build and tests"
cmake --preset release >/dev/null
cmake --build --preset release -j "$JOBS"
ctest --preset release -j "$JOBS"

echo "== asan-ubsan build and tests"
cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan -j "$JOBS"
ctest --preset asan-ubsan -j "$JOBS"

if [ -x scripts/fuzz-smoke.sh ]; then
  echo "== fuzz smoke run"
  FUZZ_SECONDS=${FUZZ_SECONDS:-45} bash scripts/fuzz-smoke.sh
fi
echo "== arm64 cross build and unit tests under qemu"
JOBS="$JOBS" bash scripts/test-arm64.sh

echo "== Debian packages (amd64, arm64) and install test"
JOBS="$JOBS" bash scripts/package.sh
bash tests/package/install_test.sh

echo "== all tests passed"
