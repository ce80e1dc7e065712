#!/usr/bin/env bash
# at_dpi.sh <dpi> <command...>: runs the command with the Wine prefix's
# display scale set to <dpi> (LogPixels, read when the wineserver and the
# desktop start) on a screen of the same desktop at that density (a 200 %
# screen has twice the pixels each way), then puts the prefix back to 96 DPI
# and the first display whatever happened, so the tests after it see what
# they were written for. The command finds the scale in PENNANT_TEST_DPI, to
# tell a run whose setting did not take.
source "$(dirname "$0")/wine_env.sh"
dpi="$1"
shift
first_display="$DISPLAY"

set_scale() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  wine_env_serve
}

restore() {
  DISPLAY="$first_display" set_scale 96
  [ -n "$WINE_ENV_XVFB_PID" ] && kill "$WINE_ENV_XVFB_PID" 2>/dev/null &&
    wait "$WINE_ENV_XVFB_PID" 2>/dev/null
}
trap restore EXIT

wine_env_display "$((1280 * dpi / 96))x$((800 * dpi / 96))" 150
set_scale "$dpi"
PENNANT_TEST_DPI="$dpi" "$@"
