#!/usr/bin/env bash
# scripts/setup against a package manager having a bad day: stand-ins for
# apt-get, dpkg and friends first on the PATH, every package missing, and
# the failures of one mirror state or another. Nothing on the machine is
# installed or changed.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$work/bin/$1"; chmod +x "$work/bin/$1"; }
stub sudo 'exec "$@"'
stub dpkg-query 'exit 1'
stub dpkg 'echo "dpkg $*" >>"$CALLS"'
stub locale 'echo zh_CN.utf8'
stub systemctl 'exit 1'
# FAIL_UPDATE: every update fails. FAIL_INSTALL: installs naming a package
# that matches it fail with apt's own words.
stub apt-get 'echo "apt-get $*" >>"$CALLS"
case "$1" in
  update) [ -z "$FAIL_UPDATE" ] || { echo "E: Failed to fetch i386 Packages  File has unexpected size" >&2; exit 100; } ;;
  install) case "$*" in *$FAIL_INSTALL*) echo "E: Unable to locate package $FAIL_INSTALL" >&2; exit 100 ;; esac ;;
esac'

failures=0
# case: runs 32-bit | FAIL_UPDATE | FAIL_INSTALL | exit code | updates | what stderr must say
while IFS='|' read -r name runs32 fail_update fail_install code updates says; do
  : >"$work/calls"
  PATH="$work/bin:$PATH" CALLS="$work/calls" PLATFORM_RUNS_32BIT="$runs32" FAIL_UPDATE="$fail_update" \
    FAIL_INSTALL="$fail_install" SETUP_RETRY_PAUSE=0 BUILD_ROOT="$work/build" \
    "$here/setup" >"$work/out" 2>&1
  rc=$?
  seen="$(grep -c '^apt-get update' "$work/calls")"
  if [ "$rc" != "$code" ] || [ "$seen" != "$updates" ] || ! grep -qF -- "$says" "$work/out"; then
    echo "FAIL $name: exit $rc (want $code), $seen updates (want $updates), output:"
    sed 's/^/  /' "$work/out"
    failures=$((failures + 1))
  fi
done <<'CASES'
mirror mid-sync, lists here suffice|no|yes|__none__|0|3|setup: apt-get update failed three times (E: Failed to fetch i386 Packages  File has unexpected size); going on with the package lists already here
a 64-bit package cannot be had|no||nginx|1|1|setup: the packages above could not be installed; run by hand: apt-get update && apt-get install --no-install-recommends cmake
its own words come first|no||nginx|1|1|E: Unable to locate package nginx
only the 32-bit ones cannot be had|yes||:i386|0|2|setup: 32-bit Wine could not be installed (E: Unable to locate package :i386); the tests run the x86_64 build
CASES
exit $((failures > 0))
