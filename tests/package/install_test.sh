#!/usr/bin/env bash
# Installs the amd64 package of skelvane with apt into a fresh Debian bookworm root (debootstrap,
# --variant=minbase, entered with chroot; no container needed) the way an operator would, so that
# its Depends line has to pull in every library the binary loads, then starts the installed binary
# there:
#   1. with a configuration whose topic list is empty: exit status 1 and "No topics configured";
#   2. with the configuration the package installs (/etc/kestova/skelvane.json) and no broker
#      reachable: still running after 2 s, its outbox directory /var/lib/skelvane created and
#      "OutboxStore ready" logged;
#   3. removal keeps an edited configuration and purge removes it.
# Usage: tests/package/install_test.sh [path/to/skelvane_<version>_amd64.deb]
#   (default: build-packages/skelvane_*_amd64.deb, built by scripts/package.sh when missing)
# Needs root. The bootstrapped root is cached as a tarball, and the packages apt fetches inside it
# are kept, under $SKELVANE_TEST_ROOT_CACHE (default /var/cache/skelvane-test-root), so a rerun
# costs an unpack and an offline apt install. The tarball is rebuilt when older than
# $SKELVANE_TEST_ROOT_MAX_AGE_DAYS (default 7) or when removed.
set -euo pipefail
cd "$(dirname "$0")/../.."
SRC=$PWD

[ "$(id -u)" -eq 0 ] || { echo "install_test: must run as root (debootstrap, chroot)" >&2; exit 2; }

CACHE=${SKELVANE_TEST_ROOT_CACHE:-/var/cache/skelvane-test-root}
MAX_AGE_DAYS=${SKELVANE_TEST_ROOT_MAX_AGE_DAYS:-7}
SUITE=bookworm
TARBALL=$CACHE/$SUITE-minbase-amd64.tar
ARCHIVES=$CACHE/archives

DEB=${1:-}
if [ -z "$DEB" ]; then
  DEB=$(ls "$SRC"/build-packages/skelvane_*_amd64.deb 2>/dev/null | head -1 || true)
  if [ -z "$DEB" ]; then
    ARCHES=amd64 bash scripts/package.sh
    DEB=$(ls "$SRC"/build-packages/skelvane_*_amd64.deb | head -1)
  fi
fi
[ -f "$DEB" ] || { echo "install_test: no package at $DEB" >&2; exit 2; }

for tool in debootstrap python3; do
  if ! command -v "$tool" >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$tool" >/dev/null \
      || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$tool" >/dev/null; }
  fi
done

# The Debian mirror apt on this machine uses (first deb822 URIs: line or one-line deb entry).
mirror_from_host() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '/^URIs:/ {print $2; exit}' "$f")
    case $uri in */debian) echo "$uri"; return ;; esac
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    uri=$(awk '$1 == "deb" && $2 !~ /^\[/ && $2 ~ /\/debian$/ {print $2; exit}' "$f")
    [ -n "$uri" ] && { echo "$uri"; return; }
  done
  echo http://deb.debian.org/debian
}
MIRROR=${SKELVANE_DEBIAN_MIRROR:-$(mirror_from_host)}

WORK=$(mktemp -d /var/tmp/skelvane-install-test.XXXXXX)
R=$WORK/root
PID=""
cleanup() {
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then kill -KILL "$PID" 2>/dev/null || true; fi
  if mountpoint -q "$R/proc" 2>/dev/null; then umount "$R/proc" || umount -l "$R/proc" || true; fi
  # Never remove a tree that still has something mounted in it.
  if ! grep -q " $WORK/" /proc/mounts; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok   $name"
  else failed=$((failed + 1)); echo "FAIL $name"; fi
}

in_root() { chroot "$R" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

t0=$SECONDS
mkdir -p "$CACHE" "$ARCHIVES"
if [ ! -f "$TARBALL" ] || [ -n "$(find "$TARBALL" -mtime +"$MAX_AGE_DAYS" 2>/dev/null)" ]; then
  echo "install_test: bootstrapping a $SUITE root from $MIRROR (cached in $TARBALL)"
  debootstrap --variant=minbase "$SUITE" "$R" "$MIRROR" > "$WORK/debootstrap.log" 2>&1 \
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
  mkdir -p "$R"
  tar -C "$R" --numeric-owner -xf "$TARBALL"
  cp /etc/resolv.conf "$R/etc/resolv.conf" 2>/dev/null || true
fi
mount -t proc proc "$R/proc"
t_root=$((SECONDS - t0))

# Install as an operator would: apt resolves Depends from the archive. Packages fetched once are
# kept in $ARCHIVES and handed back to apt on the next run.
t0=$SECONDS
cp "$DEB" "$R/tmp/skelvane.deb"
find "$ARCHIVES" -name '*.deb' -exec cp -t "$R/var/cache/apt/archives/" {} + 2>/dev/null || true
install_pkg() {
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    /tmp/skelvane.deb > "$WORK/apt.log" 2>&1
}
if ! install_pkg; then
  echo "install_test: apt install failed, refreshing the package lists and retrying"
  in_root apt-get update -qq
  install_pkg || { cat "$WORK/apt.log" >&2; echo "install_test: 0 passed, 1 failed"; exit 1; }
fi
find "$R/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -t "$ARCHIVES/" {} +
t_apt=$((SECONDS - t0))

check "package installed" in_root dpkg-query -W -f='${Status}\n' skelvane
check "files in place" test -x "$R/usr/bin/skelvane" -a -f "$R/lib/systemd/system/skelvane.service" \
  -a -f "$R/etc/kestova/skelvane.json" -a -f "$R/usr/share/doc/skelvane/README.md"
check "binary loads (all libraries present)" \
  sh -c "chroot '$R' ldd /usr/bin/skelvane > '$WORK/ldd.txt' 2>&1 && ! grep -q 'not found' '$WORK/ldd.txt'"
rc=0
in_root /usr/bin/skelvane-outbox > "$WORK/outbox-tool.log" 2>&1 || rc=$?
check "skelvane-outbox installed; without arguments: usage, exit status 2 (got $rc)" \
  sh -c "test $rc -eq 2 && grep -q '^usage: skelvane-outbox' '$WORK/outbox-tool.log'"

# 1. Empty topic list.
cat > "$R/tmp/no-topics.json" <<'JSON'
{"topics": [], "storage": {"dir": "/tmp/no-topics-outbox"}}
JSON
rc=0
timeout 20 chroot "$R" /usr/bin/env -i PATH=/usr/bin:/bin KESTOVA_LOG="/P7.Sink=Console" \
  /usr/bin/skelvane /tmp/no-topics.json > "$WORK/no-topics.log" 2>&1 || rc=$?
check "empty topic list: exit status 1 (got $rc)" test "$rc" -eq 1
check "empty topic list: 'No topics configured' logged" grep -q "No topics configured" "$WORK/no-topics.log"
check "empty topic list: no outbox created" test ! -e "$R/tmp/no-topics-outbox"

# 2. The installed configuration, and a broker address nothing listens on.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
check "installed config: no outbox before start" test ! -e "$R/var/lib/skelvane"
chroot "$R" /usr/bin/env -i PATH=/usr/bin:/bin KESTOVA_LOG="/P7.Sink=Console" \
  KESTOVA_MQTT_URI="tcp://127.0.0.1:$port" /usr/bin/skelvane > "$WORK/run.log" 2>&1 &
PID=$!
sleep 2
check "installed config, no broker: still running after 2 s" kill -0 "$PID"
check "installed config: outbox directory /var/lib/skelvane created" test -d "$R/var/lib/skelvane"
check "installed config: 'OutboxStore ready: /var/lib/skelvane' logged" \
  grep -q "OutboxStore ready: /var/lib/skelvane" "$WORK/run.log"
kill -TERM "$PID" 2>/dev/null || true
for _ in $(seq 50); do kill -0 "$PID" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$PID" 2>/dev/null || true
wait "$PID" 2>/dev/null || true
PID=""

# 3. Removal keeps the edited configuration, purge takes it (the maintainer scripts must succeed
#    where systemd is not running).
echo '{"topics": ["/kv/site/data"]}' > "$R/etc/kestova/skelvane.json"
check "remove succeeds" in_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq skelvane
check "remove: binary gone, edited configuration kept" \
  sh -c "test ! -e '$R/usr/bin/skelvane' && grep -q /kv/site/data '$R/etc/kestova/skelvane.json'"
check "purge removes the configuration" sh -c \
  "chroot '$R' dpkg --purge skelvane >/dev/null && test ! -e '$R/etc/kestova/skelvane.json'"

if [ "$failed" -ne 0 ]; then
  for f in no-topics.log run.log ldd.txt outbox-tool.log; do echo "--- $f"; cat "$WORK/$f" 2>/dev/null || true; done
fi
echo "install_test: root ${t_root} s, apt install ${t_apt} s"
echo "install_test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
