#!/usr/bin/env bash
# nodisplay_test.sh WIN_BUILD SELDRIX_EXE
# Seldrix.exe under Wine with no X display, in a network namespace of its own: it serves all the same.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1 exe=$2
if [ "${NODISPLAY_TEST_INSIDE:-}" != 1 ]; then
  export NODISPLAY_TEST_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$win_build" "$0" "$@"
fi
unset DISPLAY
root=$(mktemp -d /tmp/seldrix-nodisplay.XXXXXX)
trap 'rm -rf "$root"' EXIT
echo "served without a display" >"$root/file.txt"
"$here/start_seldrix.sh" "$exe" "$root" ""
status=0
if ! cmp -s <(timeout 60 nfs-cat "nfs://127.0.0.1//file.txt?auto-traverse-mounts=0") "$root/file.txt"; then
  echo "FAIL the server does not serve without a display"; status=1
fi
[ $status -ne 0 ] || echo "ok   served without a display"
exit $status
