#!/usr/bin/env bash
# serve_test.sh WIN_BUILD SERVE_HELPER_EXE
# End to end, in a network namespace of its own: the loader's delivery object serves a folder through the
# real Seldrix.exe beside it, a real NFS client lists and reads that folder, and when the delivery object
# goes the server goes with it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${SERVE_TEST_INSIDE:-}" != 1 ]; then
  export SERVE_TEST_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$1" "$0" "$@"
fi
helper=$2

root=$(mktemp -d /tmp/tavi-serve.XXXXXX)
flag="$root.done"
trap 'touch "$flag"; rm -rf "$root" "$flag"' EXIT
mkdir -p "$root/boot"
echo "kernel image" >"$root/boot/vmlinuz"
echo "ram disk" >"$root/insram.gz"

winpath() { "$WINE" winepath -w "$1" 2>/dev/null; }
"$WINE" "$helper" "$(winpath "$root")" "$(winpath "$flag")" </dev/null &
helper_pid=$!

bound() { [ -n "$(ss -Hlun 'sport = :2049')" ]; }
for _ in $(seq 150); do bound && break; sleep 0.2; done

fail=0
check() {  # check NAME COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}
url() { echo "nfs://127.0.0.1/$1?auto-traverse-mounts=0"; }
check "the NFS server was started" bound
check "nfs-ls lists the served folder" test "$(nfs-ls "$(url "")" | awk '{print $NF}' | sort | tr '\n' ' ')" = "boot insram.gz "
check "nfs-cat reads a served file" cmp <(nfs-cat "$(url boot/vmlinuz)") "$root/boot/vmlinuz"

touch "$flag"
check "the helper ended cleanly" wait "$helper_pid"
gone() { ! bound; }
for _ in $(seq 150); do gone && break; sleep 0.2; done
check "the NFS server ended with the delivery object" gone
if [ $fail -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
