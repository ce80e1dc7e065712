# Sourced by scripts: the Wine prefix, the virtual display and a persistent
# wineserver for one build tree. wine_env_start <build_root> [<copy>...];
# wine_env_start_runs; wine_env_stop.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/platform.sh"

wine_env_start() {
  local build_root copy
  mkdir -p "$1"
  build_root="$(cd "$1" && pwd)"
  export WINEPREFIX="$build_root/wineprefix"
  export WINEDEBUG=-all
  export WINEARCH=win64
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # GetACP() == 936: the product's texts are GBK. A shell that started
  # before setup made the locale cannot take it itself and says so; only
  # the programs it starts need it, and they find it.
  export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 2>/dev/null
  mkdir -p "$build_root"

  WINE_ENV_XVFB_PID=""
  if [ -z "${PENNANT_KEEP_DISPLAY:-}" ] || [ -z "${DISPLAY:-}" ]; then
    wine_env_display 1280x800 90
  fi

  wine_env_prepare
  # Prefixes for tests that need a wineserver and desktop of their own
  # (<prefix>-<copy>), copied while no server holds this one: a second,
  # where a wineboot takes 10 to 30.
  for copy in "${@:2}"; do
    if [ ! -f "$WINEPREFIX-$copy/.pennant-ready" ]; then
      rm -rf "$WINEPREFIX-$copy"
      cp -a --reflink=auto "$WINEPREFIX" "$WINEPREFIX-$copy"
    fi
  done
  wine_env_serve
}

# The workflow runs' own prefix (<prefix>-runs), display and wineserver, so
# that they drive their pop-ups beside the window tests of the main prefix.
# Their tests find it in PENNANT_RUNS_DISPLAY (with_peers.py --own-prefix).
wine_env_start_runs() {
  local main_display="${DISPLAY:-}" main_xvfb="$WINE_ENV_XVFB_PID"
  WINE_ENV_RUNS=1
  wine_env_display 1280x800 120
  export PENNANT_RUNS_DISPLAY="$DISPLAY"
  WINE_ENV_RUNS_XVFB_PID="$WINE_ENV_XVFB_PID"
  export DISPLAY="$main_display"
  WINE_ENV_XVFB_PID="$main_xvfb"
  (
    export WINEPREFIX="$WINEPREFIX-runs" DISPLAY="$PENNANT_RUNS_DISPLAY"
    wine_env_prepare
    wine_env_serve
  )
}

# Makes the prefix WINEPREFIX once (renewed where it lacks its 32-bit half).
wine_env_prepare() {
  renew_prefix_without_wow64 "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/.pennant-ready" ]; then
    echo "wine: preparing prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.pennant-ready"
  fi
  # No window manager runs on the virtual display, yet Wine hands it every
  # window that was activated and then waits two seconds at each hide for
  # an answer that never comes. Unmanaged, Wine places and focuses them itself.
  if ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    wineserver -w
  fi
}

# A virtual display of <width>x<height> on the first free number from
# <first>, exported as DISPLAY; WINE_ENV_XVFB_PID is its PID ("" if none).
wine_env_display() {
  local n i
  WINE_ENV_XVFB_PID=""
  for n in $(seq "$2" "$(($2 + 50))"); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 "$1x24" -nolisten tcp >/dev/null 2>&1 &
    WINE_ENV_XVFB_PID=$!
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if kill -0 "$WINE_ENV_XVFB_PID" 2>/dev/null; then
      export DISPLAY=":$n"
      return 0
    fi
    WINE_ENV_XVFB_PID=""
  done
}

# A persistent wineserver. Wine's own services (and the desktop process a
# first window starts) live on after the program that started them; start
# them here, away from the pipes through which CTest reads a test's output,
# or CTest waits for them.
wine_env_serve() {
  wineserver -p >/dev/null 2>&1 || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Processes started for this prefix that still run: every Wine process,
# the wineserver and the display carry WINEPREFIX in their environment. The
# calling shell and its ancestors are not counted.
wine_env_leftovers() {
  local mine=" " pid=$$ environ
  while [ "$pid" -gt 1 ]; do
    mine+="$pid "
    pid="$(awk '{print $4}' "/proc/$pid/stat" 2>/dev/null || echo 1)"
  done
  for environ in /proc/[0-9]*/environ; do
    pid="${environ#/proc/}"; pid="${pid%/environ}"
    case "$mine" in *" $pid "*) continue ;; esac
    [ "$pid" = "$BASHPID" ] && continue
    if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid $({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null | cut -c1-100)"
    fi
  done
}

# Stops the wineserver and the display, then makes sure nothing started for
# this prefix is left: it names and kills what is, and answers 1.
wine_env_stop() {
  local prefix xvfb left=""
  for prefix in "$WINEPREFIX" ${WINE_ENV_RUNS:+"$WINEPREFIX-runs"}; do
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1 || true
  done
  for xvfb in "${WINE_ENV_XVFB_PID:-}" "${WINE_ENV_RUNS_XVFB_PID:-}"; do
    [ -n "$xvfb" ] || continue
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  done
  for prefix in "$WINEPREFIX" ${WINE_ENV_RUNS:+"$WINEPREFIX-runs"}; do
    left+="$(WINEPREFIX="$prefix" wine_env_leftovers)"$'\n'
  done
  left="$(echo "$left" | sed '/^$/d')"
  [ -z "$left" ] && return 0
  echo "wine_env: still running after the run (now killed):" >&2
  echo "$left" | sed 's/^/  /' >&2
  echo "$left" | awk '{print $1}' | xargs -r kill -9 2>/dev/null || true
  return 1
}
