#!/usr/bin/env bash
# Downloads through Parcelgate.dll (DownLoad to OnFinish, file in place) from
# nginx over loopback under Wine, side by side with curl -o, and the working
# set the download path adds to the idle DLL.
#   bench/pcg_com_download.sh [size-MiB] [rounds]     random file (1024 MiB, 2 rounds)
#   bench/pcg_com_download.sh --sparse [size-MiB]     one sparse file (4608 MiB) through the DLL
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
export BENCH_SPARSE=0
if [ "${1:-}" = --sparse ]; then
  BENCH_SPARSE=1
  shift
  export BENCH_SIZE_MIB="${1:-4608}"
else
  export BENCH_SIZE_MIB="${1:-1024}"
fi
export BENCH_ROUNDS="${2:-2}"
export BUILD_ROOT="${BUILD_ROOT:-$here/build}"
source "$here/scripts/platform.sh"
choose_bench_tree
export BENCH_BIN="$BUILD_ROOT/$BENCH_TREE/bin"
BUILD_TREES="$BENCH_TREE" BUILD_TARGETS="Parcelgate pcg_com_download" "$here/scripts/build" >/dev/null
source "$here/tests/support/wine_env.sh"
wine_env_start "$BUILD_ROOT" >/dev/null 2>&1
trap wine_env_stop EXIT

python3 "$here/tests/support/with_peers.py" --nginx -- python3 "$here/bench/pcg_com_download.py"
