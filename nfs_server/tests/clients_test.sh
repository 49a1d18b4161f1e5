#!/usr/bin/env bash
# clients_test.sh WIN_BUILD SELDRIX_EXE [CLIENT_TEST]
# End to end under Wine, in a network namespace of its own: Seldrix.exe serves a temporary folder and
# the real clients use it: rpcinfo lists the six mappings, nfs-ls lists folders, nfs-cat reads files
# byte for byte, UTF-8 names come out right, nfs-cp writes files byte for byte; then CLIENT_TEST (our
# libnfs client) makes, writes, renames and removes files and folders.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1 exe=$2 client=${3:-}
if [ "${CLIENTS_TEST_INSIDE:-}" != 1 ]; then
  export CLIENTS_TEST_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$win_build" "$0" "$@"
fi

root=$(mktemp -d /tmp/seldrix-clients.XXXXXX)
local_side=$(mktemp -d /tmp/seldrix-local.XXXXXX)
trap 'rm -rf "$root" "$local_side"' EXIT
mkdir -p "$root/sub/deeper" "$root/Grüße"
: >"$root/empty.txt"
head -c 1000 /dev/urandom >"$root/k1000.bin"
head -c 5242881 /dev/urandom >"$root/sub/big.bin"
echo "deep" >"$root/sub/deeper/leaf.txt"
echo "utf" >"$root/Grüße/Straße.txt"
mkdir "$root/many"
for i in $(seq 1 300); do : >"$root/many/entry-$i.txt"; done

fail=0
check() {  # check NAME COMMAND...: runs COMMAND, reports
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1: ${*:2}"; fail=1; fi
}
url() { echo "nfs://127.0.0.1/$1?auto-traverse-mounts=0"; }
# libnfs waits for a reply without end: a bounded client makes a lost reply a failure that names its check.
bounded() { timeout 60 "$@" || { echo "FAIL ($? from $*)" >&2; return 1; }; }
listing() { bounded nfs-ls "$(url "$1")" | awk '{print $NF}' | sort | tr '\n' ' '; }
refused() { local rc=0; timeout 60 "$@" >/dev/null 2>&1 || rc=$?; [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ]; }

run_checks() {
  local mappings
  mappings=$(bounded rpcinfo -p 127.0.0.1 | awk 'NR>1 {print $1, $2, $3, $4}' | sort | tr '\n' ';')
  check "rpcinfo lists the six mappings" test "$mappings" = \
    "100000 2 tcp 111;100000 2 udp 111;100003 3 tcp 2049;100003 3 udp 2049;100005 3 tcp 635;100005 3 udp 635;"
  check "nfs-ls lists the root" test "$(listing "")" = "Grüße empty.txt k1000.bin many sub "
  check "nfs-ls pages through 300 entries" test "$(bounded nfs-ls "$(url many)" | grep -c 'entry-')" = 300
  check "nfs-ls lists a sub-folder" test "$(listing sub)" = "big.bin deeper "
  check "nfs-ls lists a mounted sub-folder" test "$(listing sub/deeper)" = "leaf.txt "
  check "nfs-ls lists a UTF-8 folder" test "$(listing "Grüße")" = "Straße.txt "
  check "a 0-byte file reads empty" cmp <(bounded nfs-cat "$(url /empty.txt)") "$root/empty.txt"
  check "a 1000-byte file reads byte for byte" cmp <(bounded nfs-cat "$(url /k1000.bin)") "$root/k1000.bin"
  check "a 5 MiB file reads byte for byte" cmp <(bounded nfs-cat "$(url sub/big.bin)") "$root/sub/big.bin"
  check "a UTF-8 name reads" cmp <(bounded nfs-cat "$(url "Grüße/Straße.txt")") "$root/Grüße/Straße.txt"
  check "a missing file is not read" refused nfs-cat "$(url /missing.txt)"

  head -c 3000001 /dev/urandom >"$local_side/three.bin"
  : >"$local_side/empty.bin"
  check "nfs-cp writes a 0-byte file" bounded nfs-cp "$local_side/empty.bin" "$(url /new-empty.bin)"
  check "  byte for byte" cmp "$root/new-empty.bin" "$local_side/empty.bin"
  check "nfs-cp writes a 3 MB file into a sub-folder" bounded nfs-cp "$local_side/three.bin" "$(url sub/three.bin)"
  check "  byte for byte" cmp "$root/sub/three.bin" "$local_side/three.bin"
  check "nfs-cp does not overwrite a file" refused nfs-cp "$root/k1000.bin" "$(url sub/three.bin)"
  check "  which keeps its content" cmp "$root/sub/three.bin" "$local_side/three.bin"
  check "nfs-cp writes a UTF-8 name" bounded nfs-cp "$root/k1000.bin" "$(url "Grüße/Kopie-ß.bin")"
  check "  byte for byte" cmp "$root/Grüße/Kopie-ß.bin" "$root/k1000.bin"
  check "nfs-cp reads a 5 MiB file" bounded nfs-cp "$(url sub/big.bin)" "$local_side/big.bin"
  check "  byte for byte" cmp "$local_side/big.bin" "$root/sub/big.bin"
}

"$here/start_seldrix.sh" "$exe" "$root" ""
run_checks
if [ -n "$client" ]; then
  SELDRIX_ROOT=$root "$client" || fail=1
fi
exit $fail
