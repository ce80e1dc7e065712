#!/usr/bin/env bash
# Downloads through Parcelgate.dll (DownLoad to OnFinish, file written) from
# nginx over loopback under Wine, with curl -o as reference.
#   bench/pcg_com_download.sh [size-MiB] [rounds]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
size_mib="${1:-256}"
rounds="${2:-3}"
export BUILD_ROOT="${BUILD_ROOT:-$here/build}"
BUILD_ARCHS=x86_64 BUILD_TARGETS="Parcelgate pcg_com_download" "$here/scripts/build" >/dev/null
source "$here/tests/support/wine_env.sh"
wine_env_start "$BUILD_ROOT" >/dev/null 2>&1
trap wine_env_stop EXIT

python3 "$here/tests/support/with_peers.py" --nginx -- bash -c '
  set -e
  root="${HTTP_NGINX_ROOT#Z:}"; root="${root//\\//}"
  out="$(mktemp -d)"
  trap "rm -rf $out $root/bench.bin" EXIT
  head -c $(('"$size_mib"' * 1048576)) /dev/urandom > "$root/bench.bin"
  url="http://127.0.0.1:$HTTP_NGINX_PORT/bench.bin"
  echo "curl -o:"; for i in 1 2; do curl -s -o "$out/curl.bin" -w "  %{size_download} bytes, %{speed_download} B/s\n" "$url"; done
  echo "Parcelgate.dll under Wine:"
  wine "'"$BUILD_ROOT"'/x86_64/bin/pcg_com_download.exe" "$url" "Z:${out//\//\\}\\dll.bin" '"$rounds"'
  cmp "$root/bench.bin" "$out/dll.bin" && echo "  file identical"
'
