#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Print the path of the classic monitoring engine's binary, unpacked from its
# Debian package into CACHE_DIR (fetched there on first use).
#
#   classic_engine.sh CACHE_DIR
#
# The package is never installed: the package of the engine's common files
# depends on another check-plugin collection, which must not be on the
# machine. The engine binary itself needs only libc.
set -euo pipefail

(($# == 1)) || { echo "usage: $0 CACHE_DIR" >&2; exit 2; }
mkdir -p "$1"
CACHE=$(cd "$1" && pwd -P)
readonly PACKAGE=nagios4-core
readonly BINARY=$CACHE/root/usr/sbin/nagios4

if [[ -x "$BINARY" ]]; then
  echo "$BINARY"
  exit 0
fi

fetch() {
  # apt-get download writes into the current directory; as root it warns
  # that the sandbox user cannot write there, which is harmless.
  (cd "$CACHE" && apt-get download "$PACKAGE" >/dev/null 2>&1)
}
if ! fetch; then
  # A fresh machine may have no package lists yet.
  as_root=()
  ((EUID == 0)) || as_root=(sudo)
  "${as_root[@]}" apt-get update >/dev/null
  fetch || { echo "classic_engine.sh: cannot download $PACKAGE" >&2; exit 1; }
fi
deb=$(find "$CACHE" -maxdepth 1 -name "${PACKAGE}_*.deb" | sort | tail -n 1)
[[ -n "$deb" ]] || { echo "classic_engine.sh: no $PACKAGE package in $CACHE" >&2; exit 1; }
rm -rf "$CACHE/root"
dpkg-deb -x "$deb" "$CACHE/root"
[[ -x "$BINARY" ]] || { echo "classic_engine.sh: $deb holds no $BINARY" >&2; exit 1; }
echo "$BINARY"
