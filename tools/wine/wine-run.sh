#!/usr/bin/env bash
# wine-run.sh BUILD_DIR PROGRAM [ARGS...]
# CMake's cross-compiling emulator: runs a Windows program in the build tree's Wine session.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh" "$1"
shift
if ! "$here/wine-session.sh" ensure "$wine_build"; then
  echo "wine-run: $1 not started: the Wine session of $wine_build could not start" >&2
  exit 1
fi
export DISPLAY=":$(cat "$wine_dir/display")"
# Wine's own reasons for a program that cannot start (no display connection, no loader) go to its error
# channel, which the session keeps quiet: they are named here instead.
if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
  echo "wine-run: $1 not started: the display $DISPLAY refuses a client" >&2
  exit 1
fi
"$WINE" "$@"
status=$?
[ $status -eq 0 ] || [ -f "$1" ] || echo "wine-run: $1 not started: no such program" >&2
exit $status
