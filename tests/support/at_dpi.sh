#!/bin/sh
# at_dpi.sh <dpi> <command...>: runs the command with the Wine prefix's
# display scale set to <dpi> (LogPixels, read when the wineserver and the
# desktop start), then puts the prefix back to 96 DPI whatever happened, so
# the tests after it see the scale they were written for. The command finds
# the scale in PENNANT_TEST_DPI, to tell a run whose setting did not take.
dpi="$1"
shift

set_scale() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  # Persistent again, with Wine's services started away from CTest's pipes
  # (as tests/support/wine_env.sh starts them).
  wineserver -p >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

trap 'set_scale 96' EXIT
set_scale "$dpi"
PENNANT_TEST_DPI="$dpi" "$@"
