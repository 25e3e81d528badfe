#!/usr/bin/env bash
# Cross-builds the whole tree for 64-bit Arm Linux (preset aarch64: build-aarch64/, Debian's
# aarch64 cross compiler and arm64 libraries) and runs the unit tests under qemu's user-mode
# emulator (the toolchain file makes ctest start every test binary through qemu-aarch64-static).
# The end-to-end suites (ctest label e2e) are left out: they start the service binary as a child
# process. So do a few unit tests that re-execute their own binary (listed in REEXEC_TESTS): a child
# started by an emulated process is an arm64 executable the kernel must hand to qemu itself
# (binfmt_misc), which a container usually lacks; they are skipped unless that works. So are the
# few tests whose time limits emulation overruns (SLOW_TESTS).
# The private brokers the MQTT tests start are the native mosquitto, reached over loopback.
# Exits non-zero on any failure.
#   JOBS=2 (compile and test jobs)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}

bash scripts/install-deps.sh
bash scripts/install-cross-deps.sh

# The test binaries load the multiarch arm64 libraries (/lib/ld-linux-aarch64.so.1,
# /usr/lib/aarch64-linux-gnu), as on a controller. A QEMU_LD_PREFIX of /usr/aarch64-linux-gnu would
# mix the cross toolchain's older loader with that libc.so.6, and such a process hangs in its first
# pthread_create (see cmake/toolchain-aarch64.cmake).
unset QEMU_LD_PREFIX

echo "== aarch64 cross build"
cmake --preset aarch64 >/dev/null
cmake --build --preset aarch64 -j "$JOBS"
# GoogleTest names of unit tests left out under emulation:
# - they start their own binary again as a child process (needs binfmt_misc, see above);
REEXEC_TESTS=(MqttClient.HeldMessageSurvivesACrash)
# - they expect a log line within a fixed time that emulation overruns (the failing-TLS case loads
#   the system CA store, several times slower under qemu, and its warning comes after the 2 s wait).
SLOW_TESTS=(MqttClient.TlsVerifiesTheCertificateAndTheHostName)
skip=("${SLOW_TESTS[@]}")
probe=$(find build-aarch64/tests -maxdepth 1 -type f -name '*_test' | head -1)
if [ -n "$probe" ] && "$probe" --gtest_list_tests >/dev/null 2>&1; then
  echo "== arm64 executables start directly (binfmt_misc): child-process tests included"
else
  skip+=("${REEXEC_TESTS[@]}")
fi
GTEST_FILTER="-$(IFS=:; echo "${skip[*]}")"
export GTEST_FILTER
echo "== skipped under emulation: ${skip[*]}"
echo "== aarch64 unit tests under qemu"
ctest --preset aarch64 -j "$JOBS" --timeout 900
