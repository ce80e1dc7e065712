#!/usr/bin/env bash
# at_dpi.sh <dpi> <command...>: runs the command at the display scale <dpi>
# (LogPixels, read when the wineserver and the desktop start) on a screen of
# the same desktop at that density (a 200 % screen has twice the pixels each
# way). The scale needs a wineserver started for it, so the run has a prefix,
# wineserver and display of its own (<prefix>-scaled, made once and kept):
# the tests that run beside it in the main prefix are never disturbed. The
# command finds the scale in PENNANT_TEST_DPI, to tell a run whose setting
# did not take.
source "$(dirname "$0")/wine_env.sh"
dpi="$1"
shift
export WINEPREFIX="${WINEPREFIX:?run through scripts/test or wine_env_start}-scaled"

# Whatever happens: its wineserver and display stopped, nothing of it left.
trap wine_env_stop EXIT

wine_env_display "$((1280 * dpi / 96))x$((800 * dpi / 96))" 150
wine_env_prepare >/dev/null
# Set, the server restarted, then read back: a busy machine has seen the
# restart take the old value.
for attempt in 1 2 3; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  wine_env_serve
  wine reg query 'HKCU\Control Panel\Desktop' /v LogPixels 2>/dev/null |
    grep -qi "$(printf '0x%x' "$dpi")" && break
  echo "at_dpi: LogPixels is not $dpi after the restart (attempt $attempt)" >&2
done
PENNANT_TEST_DPI="$dpi" "$@"
status=$?
trap - EXIT
wine_env_stop || status=1
exit $status
