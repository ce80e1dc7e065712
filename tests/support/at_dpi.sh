#!/bin/sh
# at_dpi.sh <dpi> <command...>: runs the command with the Wine prefix's
# display scale set to <dpi> (LogPixels, read when the wineserver and the
# desktop start) on a screen of the same desktop at that density (a 200 %
# screen has twice the pixels each way), then puts the prefix back to 96 DPI
# and the first display whatever happened, so the tests after it see what
# they were written for. The command finds the scale in PENNANT_TEST_DPI, to
# tell a run whose setting did not take.
dpi="$1"
shift
first_display="$DISPLAY"
xvfb=""

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

restore() {
  DISPLAY="$first_display" set_scale 96
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
}
trap restore EXIT

for n in $(seq 150 190); do
  { [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; } && continue
  Xvfb ":$n" -screen 0 "$((1280 * dpi / 96))x$((800 * dpi / 96))x24" -nolisten tcp \
    >/dev/null 2>&1 &
  xvfb=$!
  for i in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  if kill -0 "$xvfb" 2>/dev/null; then export DISPLAY=":$n"; break; fi
  xvfb=""
done
set_scale "$dpi"
PENNANT_TEST_DPI="$dpi" "$@"
