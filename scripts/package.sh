#!/usr/bin/env bash
# Builds the release Debian packages of skelvane with CPack, for amd64 (native) and arm64 (cross),
# and checks what went into them. Output: build-packages/skelvane_<version>_<arch>.deb.
#   ARCHES="amd64 arm64" (default both)   JOBS=2 (parallel compile jobs)
# Each architecture has its own build tree under build-packages/<arch>/ (tests and benchmarks off,
# installed prefix /usr), kept between runs: a rerun recompiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
ARCHES=${ARCHES:-amd64 arm64}
OUT=$ROOT/build-packages

bash scripts/install-deps.sh
case " $ARCHES " in *" arm64 "*) bash scripts/install-cross-deps.sh ;; esac

fail() { echo "package: $*" >&2; exit 1; }

# check_deb DEB ARCH: the layout, the control fields, the binary's architecture, and that every
# shared library the binary needs belongs to a package named in Depends.
check_deb() {
  local deb=$1 arch=$2 tmp
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  dpkg-deb -I "$deb" > "$tmp/info"
  dpkg-deb -c "$deb" > "$tmp/contents"
  grep -q "^ Package: skelvane$" "$tmp/info" || fail "$deb: wrong Package field"
  grep -q "^ Architecture: $arch$" "$tmp/info" || fail "$deb: Architecture is not $arch"
  for f in ./usr/bin/skelvane ./usr/bin/skelvane-outbox ./lib/systemd/system/skelvane.service \
           ./etc/kestova/skelvane.json ./usr/share/doc/skelvane/skelvane.example.json \
           ./usr/share/doc/skelvane/README.md; do
    grep -q " $f\$" "$tmp/contents" || fail "$deb: $f missing"
  done
  if grep -q ' \./usr/lib/systemd' "$tmp/contents"; then fail "$deb: unit also under /usr/lib/systemd"; fi
  dpkg-deb -e "$deb" "$tmp/control"
  grep -qx /etc/kestova/skelvane.json "$tmp/control/conffiles" || fail "$deb: config is not a conffile"
  dpkg-deb -x "$deb" "$tmp/root"
  grep -q '^ExecStart=/usr/bin/skelvane ' "$tmp/root/lib/systemd/system/skelvane.service" \
    || fail "$deb: unit does not start /usr/bin/skelvane"
  local machine
  case $arch in amd64) machine="x86-64" ;; arm64) machine="ARM aarch64" ;; esac
  file -b "$tmp/root/usr/bin/skelvane" | grep -q "$machine" || fail "$deb: binary is not $machine"
  local depends libdir lib pkg
  depends=$(sed -n 's/^ Depends: //p' "$tmp/info")
  case $arch in amd64) libdir=x86_64-linux-gnu ;; arm64) libdir=aarch64-linux-gnu ;; esac
  for lib in $(readelf -d "$tmp/root/usr/bin/skelvane" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    pkg=$(dpkg -S "/usr/lib/$libdir/$lib" "/lib/$libdir/$lib" 2>/dev/null | head -1 | cut -d: -f1 || true)
    [ -n "$pkg" ] || fail "$deb: no installed package owns $lib"
    case ", $depends" in *", $pkg "*|*", $pkg,"*|*", $pkg") ;; *) fail "$deb: needs $lib from $pkg, not in Depends: $depends" ;; esac
  done
}

mkdir -p "$OUT"
for arch in $ARCHES; do
  start=$SECONDS
  dir=$OUT/$arch
  args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
        -DSKELVANE_BUILD_TESTS=OFF -DSKELVANE_BUILD_BENCH=OFF -DSKELVANE_WERROR=ON)
  case $arch in
    amd64) ;;
    arm64) args+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-aarch64.cmake") ;;
    *) fail "unknown architecture $arch" ;;
  esac
  echo "== package $arch"
  cmake -S "$ROOT" -B "$dir" "${args[@]}" >/dev/null
  cmake --build "$dir" -j "$JOBS" --target skelvane skelvane-outbox
  rm -f "$dir"/skelvane_*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  deb=$(ls "$dir"/skelvane_*_"$arch".deb)
  check_deb "$deb" "$arch"
  rm -f "$OUT"/skelvane_*_"$arch".deb
  cp "$deb" "$OUT/"
  echo "package: $OUT/$(basename "$deb") ($(( SECONDS - start )) s)"
done
