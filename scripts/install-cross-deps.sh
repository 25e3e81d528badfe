#!/usr/bin/env bash
# Installs what the arm64 cross build, its emulated test run and the package checks need, from
# Debian's packages only: the aarch64 cross compiler, qemu's user-mode emulator, the arm64 builds of
# the libraries (multiarch, next to the native ones) and debootstrap for the install test.
# Idempotent: when everything is already present it prints one line and touches nothing.
set -euo pipefail

PACKAGES=(
  g++-aarch64-linux-gnu qemu-user-static binfmt-support
  libpaho-mqtt-dev:arm64 libssl-dev:arm64 libfmt-dev:arm64 zlib1g-dev:arm64
  libgtest-dev:arm64 libgmock-dev:arm64
  nlohmann-json3-dev
  dpkg-dev file debootstrap
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

need_arch=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then need_arch=1; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ $need_arch -eq 0 ] && [ ${#missing[@]} -eq 0 ]; then
  echo "install-cross-deps: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
if [ $need_arch -eq 1 ]; then
  echo "install-cross-deps: adding the arm64 architecture"
  $SUDO dpkg --add-architecture arm64
fi
echo "install-cross-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-cross-deps: done"
