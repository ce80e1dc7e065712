#!/usr/bin/env bash
# Measures the Parcelgate HTTP session against nginx over loopback under Wine:
# GET of a file into memory and POST of the same bytes (nginx discards the
# body of a POST to a proxy_pass-free location with 405 only after reading
# it, so a tiny Python sink takes the POSTs instead), with curl as reference.
#   bench/pcg_http_bench.sh [size-MiB] [rounds]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
size_mib="${1:-256}"
rounds="${2:-3}"
export BUILD_ROOT="${BUILD_ROOT:-$here/build}"
source "$here/scripts/platform.sh"
choose_bench_tree
BUILD_TREES="$BENCH_TREE" BUILD_TARGETS=pcg_http_bench "$here/scripts/build" >/dev/null
source "$here/tests/support/wine_env.sh"
wine_env_start "$BUILD_ROOT" >/dev/null 2>&1
trap wine_env_stop EXIT

python3 "$here/tests/support/with_peers.py" --nginx --pcg-wire -- bash -c '
  set -e
  root="${HTTP_NGINX_ROOT#Z:}"; root="${root//\\//}"
  head -c $(('"$size_mib"' * 1048576)) /dev/urandom > "$root/bench.bin"
  url="http://127.0.0.1:$HTTP_NGINX_PORT/bench.bin"
  echo "curl GET:"; for i in 1 2; do curl -s -o /dev/null -w "  %{size_download} bytes, %{speed_download} B/s\n" "$url"; done
  echo "session under Wine:"
  wine "'"$BUILD_ROOT/$BENCH_TREE"'/bin/pcg_http_bench.exe" "$url" '"$rounds"' "http://127.0.0.1:$PCG_WIRE_PORT/sink"
'
