#!/usr/bin/env bash
# wire_test.sh WIN_BUILD SELDRIX_EXE WIRE_TEST
# Seldrix.exe under Wine in a network namespace of its own, allowing only 127.0.0.2, against the native
# raw-RPC client WIRE_TEST and against rpcinfo from a refused address.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1 exe=$2 wire=$3
if [ "${WIRE_TEST_INSIDE:-}" != 1 ]; then
  export WIRE_TEST_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$win_build" "$0" "$@"
fi
root=$(mktemp -d /tmp/seldrix-wire.XXXXXX)
trap 'rm -rf "$root"' EXIT
echo data >"$root/file.txt"
# 1 MiB of a 17-byte line, which the wire test rebuilds to check READ's data.
awk 'BEGIN { for (i = 0; i < 61680; i++) print "0123456789abcdef"; printf "0123456789abcdef" }' >"$root/big.bin"
mkdir "$root/many"
for i in $(seq 1 50); do : >"$root/many/entry-$i.txt"; done
# A folder whose listing keeps the server busy for a while.
mkdir "$root/crowd"
(cd "$root/crowd" && seq -f 'c-%05g' 1 20000 | xargs touch)
"$here/start_seldrix.sh" "$exe" "$root" "127.0.0.2 no-such-host.invalid"
status=0
if timeout 10 rpcinfo -p 127.0.0.1 >/dev/null 2>&1; then
  echo "FAIL rpcinfo from 127.0.0.1, which is not in Host, was answered"
  status=1
fi
SELDRIX_ALLOWED_CLIENT=127.0.0.2 "$wire" || status=1
exit $status
