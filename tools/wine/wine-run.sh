#!/usr/bin/env bash
# wine-run.sh BUILD_DIR PROGRAM [ARGS...]
# CMake's cross-compiling emulator: runs a Windows program in the build tree's Wine session.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh" "$1"
shift
"$here/wine-session.sh" ensure "$wine_build" || exit 1
export DISPLAY=":$(cat "$wine_dir/display")"
exec "$WINE" "$@"
