#!/usr/bin/env bash
# read_bench.sh WIN_BUILD SELDRIX_EXE READ_BENCH [MIB]
# Benchmark, not a test: Seldrix.exe under Wine (own network namespace) serves a file of MIB MiB
# (default 256); READ_BENCH reads it through libnfs and over a plain TCP copy, and prints the ratio.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1 exe=$2 bench=$3 mib=${4:-256}
if [ "${READ_BENCH_INSIDE:-}" != 1 ]; then
  export READ_BENCH_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$win_build" "$0" "$@"
fi
root=$(mktemp -d /tmp/seldrix-bench.XXXXXX)
trap 'rm -rf "$root"' EXIT
head -c "$((mib * 1048576))" /dev/urandom >"$root/big.bin"
"$here/../tests/start_seldrix.sh" "$exe" "$root" ""
"$bench" "nfs://127.0.0.1/?auto-traverse-mounts=0" /big.bin "$root/big.bin"
