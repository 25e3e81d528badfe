#!/usr/bin/env bash
# Installs everything skelvane needs to build, test and run its demo, from Debian packages only.
# Idempotent: when every package is already present it prints one line and touches nothing.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build git pkg-config ca-certificates
  nlohmann-json3-dev libfmt-dev zlib1g-dev libpaho-mqtt-dev libssl-dev
  mosquitto mosquitto-clients
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 procps iproute2 psmisc faketime
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The mosquitto package starts a system broker on port 1883 on some setups; tests use their own
# brokers on free ports, so a running system broker is harmless and left alone.
echo "install-deps: done"
