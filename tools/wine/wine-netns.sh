#!/usr/bin/env bash
# wine-netns.sh BUILD_DIR COMMAND [ARGS...]
# Runs COMMAND in a network namespace of its own (loopback only) with a Wine prefix and wineserver of its
# own, for tests that bind fixed ports: Wine's sockets are created by the wineserver, so each namespace
# needs its own. COMMAND may mix Windows programs (run them with "$WINE") and native clients.
# Needs root. The build tree's session prefix is the template; the copy is removed afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: wine-netns.sh BUILD_DIR COMMAND [ARGS...]}
shift
[ $# -gt 0 ] || { echo "usage: wine-netns.sh BUILD_DIR COMMAND [ARGS...]" >&2; exit 2; }
"$here/wine-session.sh" ensure "$build"

if [ "${WINE_NETNS_INSIDE:-}" != 1 ]; then
  export WINE_NETNS_INSIDE=1
  exec unshare --net -- "$0" "$build" "$@"
fi

. "$here/wine-env.sh" "$build"
export DISPLAY=":$(cat "$wine_dir/display")"
ip link set lo up
copy=$(mktemp -d "$wine_dir/netns.XXXXXX")
cleanup() {
  WINEPREFIX="$copy/prefix" "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$copy"
}
trap cleanup EXIT
# Hard links for the bulk of the prefix; the registry files are real copies, as the server rewrites them.
# Other tests create and delete files in the session prefix meanwhile (temporary folders, the server's
# registry saves): a file that vanishes mid-copy is not needed here, so cp's complaints about those are
# dropped, and what the copy must hold is checked instead.
cp -al "$WINEPREFIX" "$copy/prefix" 2>/dev/null || true
rm -rf "$copy"/prefix/drive_c/users/*/Temp/* "$copy"/prefix/reg*.tmp
for f in system.reg user.reg userdef.reg; do
  cp --remove-destination "$WINEPREFIX/$f" "$copy/prefix/$f"
done
[ -d "$copy/prefix/drive_c/windows/system32" ] || { echo "wine-netns: copying the prefix failed" >&2; exit 1; }
export WINEPREFIX="$copy/prefix" WINE WINESERVER
setsid "$WINESERVER" -f -p </dev/null >/dev/null 2>&1 &
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1
"$@"
