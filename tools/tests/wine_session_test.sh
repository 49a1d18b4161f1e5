#!/usr/bin/env bash
# wine_session_test.sh WIN_BUILD: the session keeps the wineserver that runs. A server that Wine started by
# itself before the session's own start (the race the session can lose) is found and kept, the pid file
# names a live server, and repeated ensures keep one keepalive. Works on a tree of its own: a copy of the
# build tree's prefix, its own display.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine=$here/../wine
build=$(cd "$1" && pwd)
"$wine/wine-session.sh" ensure "$build"
tree=$(mktemp -d /tmp/wine-session-test.XXXXXX)
cleanup() { "$wine/wine-session.sh" stop "$tree" >/dev/null 2>&1 || true; rm -rf "$tree"; }
trap cleanup EXIT
mkdir -p "$tree/bin" "$tree/wine"
cp "$build/bin/wine_keepalive.exe" "$tree/bin/"
cp -al "$build/wine/prefix" "$tree/wine/prefix" 2>/dev/null || true
for f in system.reg user.reg userdef.reg; do cp --remove-destination "$build/wine/prefix/$f" "$tree/wine/prefix/$f"; done
rm -f "$tree"/wine/prefix/reg*.tmp
[ -f "$tree/wine/prefix/.ready" ] || { echo "FAIL the prefix copy is incomplete"; exit 1; }

fail=0
check() { if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }
# A server started by Wine, not by the session, that lives a while without clients.
WINEPREFIX="$tree/wine/prefix" /usr/lib/wine/wineserver -p30
for _ in 1 2 3 4; do "$wine/wine-session.sh" ensure "$tree"; done
recorded=$(cat "$tree/wine/wineserver.pid")
check "the pid file names a running wineserver" grep -q '^wineserver' "/proc/$recorded/comm"
check "it serves the session's prefix" test "$(readlink "/proc/$recorded/cwd" | sed 's/.*server-//')" = \
  "$(printf '%x-%x' "$(stat -c %d "$tree/wine/prefix")" "$(stat -c %i "$tree/wine/prefix")")"
check "one keepalive" test "$(pgrep -fc "$tree/bin/wine_keepalive.exe" || true)" = 1
check "a program runs in the session" "$wine/wine-run.sh" "$tree" cmd /c exit
out=$("$wine/wine-run.sh" "$tree" "$tree/bin/none.exe" 2>&1 || true)
check "a program that cannot start is named" grep -q "none.exe not started" <<<"$out"
if [ $fail -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
