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
if [ $status -ne 0 ]; then
  # A program that dies before flushing its output leaves nothing else to go by.
  if [ ! -f "$1" ]; then
    echo "wine-run: $1 not started: no such program" >&2
  elif [ $status -gt 128 ]; then
    echo "wine-run: $1 ended by signal $((status - 128))" >&2
  else
    echo "wine-run: $1 ended with status $status" >&2
  fi
fi
exit $status
