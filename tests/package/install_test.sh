#!/usr/bin/env bash
# Installs the amd64 package with apt into a fresh Debian bookworm root (debootstrap minbase, chroot),
# so that its Depends line must pull in every library the binary loads; runs the installed binary on
# the installed configuration with no broker reachable; removal keeps an edited configuration (a
# conffile), purge removes it. Usage (as root): tests/package/install_test.sh [DEB] (default:
# build-packages/, built by scripts/package.sh when missing). The root is cached as a tarball, with
# apt's packages, in $SKELVANE_TEST_ROOT_CACHE (/var/cache/skelvane-test-root) for
# $SKELVANE_TEST_ROOT_MAX_AGE_DAYS (7).
set -euo pipefail
cd "$(dirname "$0")/../.."

[ "$(id -u)" -eq 0 ] || { echo "install_test: must run as root (debootstrap, chroot)" >&2; exit 2; }
CACHE=${SKELVANE_TEST_ROOT_CACHE:-/var/cache/skelvane-test-root}
TARBALL=$CACHE/bookworm-minbase-amd64.tar
ARCHIVES=$CACHE/archives
DEB=${1:-$(ls build-packages/skelvane_*_amd64.deb 2>/dev/null | head -1 || true)}
if [ -z "$DEB" ]; then
  ARCHES=amd64 bash scripts/package.sh
  DEB=$(ls build-packages/skelvane_*_amd64.deb | head -1)
fi
[ -f "$DEB" ] || { echo "install_test: no package at $DEB" >&2; exit 2; }
command -v debootstrap >/dev/null || { apt-get update -qq &&
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null; }

# The Debian mirror apt on this machine uses (first deb822 URIs: line or one-line deb entry).
MIRROR=${SKELVANE_DEBIAN_MIRROR:-$( (cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list \
  /etc/apt/sources.list.d/*.list 2>/dev/null || true) |
  awk '($1 == "URIs:" || $1 == "deb") && $2 ~ /\/debian$/ {print $2; exit}')}
MIRROR=${MIRROR:-http://deb.debian.org/debian}

WORK=$(mktemp -d /var/tmp/skelvane-install-test.XXXXXX)
R=$WORK/root
PID=""
cleanup() {
  [ -n "$PID" ] && kill -KILL "$PID" 2>/dev/null || true
  if mountpoint -q "$R/proc" 2>/dev/null; then umount "$R/proc" || umount -l "$R/proc" || true; fi
  # Never remove a tree that still has something mounted in it.
  if ! grep -q " $WORK/" /proc/mounts; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

passed=0 failed=0
check() {  # check NAME COMMAND...
  if "${@:2}"; then passed=$((passed + 1)); echo "ok   $1"; else failed=$((failed + 1)); echo "FAIL $1"; fi
}
in_root() { chroot "$R" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

mkdir -p "$CACHE" "$ARCHIVES" "$R"
if [ ! -f "$TARBALL" ] || [ -n "$(find "$TARBALL" -mtime +"${SKELVANE_TEST_ROOT_MAX_AGE_DAYS:-7}")" ]; then
  echo "install_test: bootstrapping a bookworm root from $MIRROR (cached in $TARBALL)"
  debootstrap --variant=minbase bookworm "$R" "$MIRROR" > "$WORK/debootstrap.log" 2>&1 \
    || { tail -20 "$WORK/debootstrap.log" >&2; exit 1; }
  # The same suites as the host (updates, security) when it has the standard Debian sources file.
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$R/etc/apt/sources.list.d/"
    rm -f "$R/etc/apt/sources.list"
  fi
  cp /etc/resolv.conf "$R/etc/resolv.conf" 2>/dev/null || true
  in_root apt-get update -qq
  in_root apt-get clean
  tar -C "$R" --numeric-owner -cf "$TARBALL.tmp" .
  mv "$TARBALL.tmp" "$TARBALL"
else
  tar -C "$R" --numeric-owner -xf "$TARBALL"
  cp /etc/resolv.conf "$R/etc/resolv.conf" 2>/dev/null || true
fi
mount -t proc proc "$R/proc"

# Install as an operator would: apt resolves Depends from the archive. Packages fetched once are
# kept in $ARCHIVES and handed back to apt on the next run.
cp "$DEB" "$R/tmp/skelvane.deb"
find "$ARCHIVES" -name '*.deb' -exec cp -t "$R/var/cache/apt/archives/" {} + 2>/dev/null || true
install_pkg() {
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    /tmp/skelvane.deb > "$WORK/apt.log" 2>&1
}
install_pkg || { in_root apt-get update -qq && install_pkg; } ||  # stale lists: refresh, retry
  { cat "$WORK/apt.log" >&2; echo "install_test: 0 passed, 1 failed"; exit 1; }
find "$R/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -t "$ARCHIVES/" {} +

# The installed configuration, and a broker address nothing listens on (port 9, discard). A library
# the package's Depends missed would stop it here.
chroot "$R" /usr/bin/env -i PATH=/usr/bin:/bin KESTOVA_LOG="/P7.Sink=Console" \
  KESTOVA_MQTT_URI="tcp://127.0.0.1:9" /usr/bin/skelvane /etc/kestova/skelvane.json \
  > "$WORK/run.log" 2>&1 &
PID=$!
sleep 2
check "installed config, no broker: still running after 2 s" kill -0 "$PID"
check "installed config: outbox directory created, 'OutboxStore ready: /var/lib/skelvane' logged" \
  sh -c "test -d '$R/var/lib/skelvane' && grep -q 'OutboxStore ready: /var/lib/skelvane' '$WORK/run.log'"
{ kill -KILL "$PID" && wait "$PID"; } 2>/dev/null || true; PID=""

# Removal keeps the edited configuration, purge takes it (the maintainer scripts must succeed
# where systemd is not running).
echo '{"topics": ["/kv/site/data"]}' > "$R/etc/kestova/skelvane.json"
check "remove succeeds" in_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq skelvane
check "remove: binary gone, edited configuration kept" \
  sh -c "test ! -e '$R/usr/bin/skelvane' && grep -q /kv/site/data '$R/etc/kestova/skelvane.json'"
check "purge removes the configuration" sh -c \
  "chroot '$R' dpkg --purge skelvane >/dev/null && test ! -e '$R/etc/kestova/skelvane.json'"

[ "$failed" -eq 0 ] || cat "$WORK/run.log" || true
echo "install_test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
