#!/usr/bin/env bash
# wine-session.sh ensure|stop BUILD_DIR
# One Wine session per build tree: an Xvfb display, a prefix created once and reused, a wineserver kept
# alive for the whole run, Wine's own daemons started up front, and one hidden-window program that keeps
# them running. Without these a process start takes seconds, and daemons started inside a test inherit
# its output pipe so that ctest waits for them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?usage: wine-session.sh ensure|stop BUILD_DIR}
. "$here/wine-env.sh" "${2:?usage: wine-session.sh ensure|stop BUILD_DIR}"
mkdir -p "$wine_dir" "$HOME"

alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

# The wineserver that serves this prefix, whoever started it (Wine starts one by itself when none runs):
# a server works in a folder named after the prefix's device and inode.
server_pid() {
  [ -d "$WINEPREFIX" ] || return 1
  local id p
  id="server-$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
  for p in /proc/[0-9]*; do
    [[ "$(readlink "$p/cwd" 2>/dev/null)" == */"$id" ]] || continue
    case "$(cat "$p/comm" 2>/dev/null)" in wineserver*) echo "${p#/proc/}"; return 0 ;; esac
  done
  return 1
}

# Starts a daemon fully detached: no inherited pipes, no lock descriptor, its own session.
detach() { setsid "$@" </dev/null >/dev/null 2>&1 9>&- & }

start_display() {
  alive "$wine_dir/xvfb.pid" && [ -s "$wine_dir/display" ] && return 0
  rm -f "$wine_dir/display"
  setsid Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp 8>"$wine_dir/display" </dev/null >"$wine_dir/xvfb.log" 2>&1 9>&- &
  echo $! >"$wine_dir/xvfb.pid"
  for _ in $(seq 100); do [ -s "$wine_dir/display" ] && break; sleep 0.1; done
  [ -s "$wine_dir/display" ] || { echo "wine-session: Xvfb did not start (see $wine_dir/xvfb.log)" >&2; return 1; }
}

create_prefix() {
  [ -f "$WINEPREFIX/.ready" ] && return 0
  rm -rf "$WINEPREFIX"
  "$WINE" wineboot --init </dev/null >"$wine_dir/wineboot.log" 2>&1 9>&-
  "$WINESERVER" -w
  local r=(reg add)
  # Without a window manager, destroying a visible top-level window otherwise blocks for seconds.
  "$WINE" "${r[@]}" 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 9>&-
  "$WINE" "${r[@]}" 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&-
  "$WINESERVER" -w
  touch "$WINEPREFIX/.ready"
}

ensure() {
  exec 9>"$wine_dir/lock"
  flock 9
  local keep="$wine_build/bin/wine_keepalive.exe" pid=""
  # The keepalive is a client of the running server: while it lives, so does the session.
  if alive "$wine_dir/xvfb.pid" && pid=$(server_pid) && { [ ! -f "$keep" ] || alive "$wine_dir/keepalive.pid"; }; then
    echo "$pid" >"$wine_dir/wineserver.pid"
    return 0
  fi
  start_display
  export DISPLAY=":$(cat "$wine_dir/display")"
  create_prefix
  # A start that loses the race to a server Wine started by itself ends at once: the session then keeps
  # that one, found by its folder, never a pid of a process that is gone.
  if ! pid=$(server_pid); then
    detach "$WINESERVER" -f -p
    for _ in $(seq 100); do pid=$(server_pid) && break; sleep 0.1; done
  fi
  [ -n "$pid" ] || { echo "wine-session: no wineserver serves $WINEPREFIX" >&2; return 1; }
  echo "$pid" >"$wine_dir/wineserver.pid"
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
  if [ -f "$keep" ] && ! alive "$wine_dir/keepalive.pid"; then
    detach "$WINE" "$keep"
    echo $! >"$wine_dir/keepalive.pid"
  fi
}

stop() {
  "$WINESERVER" -k 2>/dev/null || true
  rm -f "$wine_dir/wineserver.pid" "$wine_dir/keepalive.pid"
  if alive "$wine_dir/xvfb.pid"; then kill "$(cat "$wine_dir/xvfb.pid")" 2>/dev/null || true; fi
  rm -f "$wine_dir/xvfb.pid" "$wine_dir/display"
}

case "$cmd" in
  ensure) ensure ;;
  stop) stop ;;
  *) echo "wine-session: unknown command $cmd" >&2; exit 2 ;;
esac
