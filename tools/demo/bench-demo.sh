#!/usr/bin/env bash
# bench-demo.sh [BUILD] [PAYLOAD_MIB] [RUNS]: a benchmark, not a test. Runs the whole installation of
# demo.sh RUNS times (default 3) on a generated delivery with PAYLOAD_MIB of packages (default 64), the
# board pausing nowhere and the service-start wait at 1000 ms, and records the wall time of the whole
# installation and of each phase: the loader's preparation (boot folder, target file, NFS server and
# services, from the technician's Yes to the Install page), the boot files served (the board reads them
# from the boot folder: the TFTP server is a stand-in that speaks no TFTP), the NFS read of the delivery
# (the board's mount, listing and reads) and the board dialogue (CONNECT to DISCONNECT's answer). Each run appends one line to
# BUILD/bench/installation.tsv with the date and commit, so later changes can be compared; the medians
# are printed. Needs root and both build trees.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
payload_mib=${2:-64} runs=${3:-3}
out=$build/bench/installation.tsv
mkdir -p "$build/bench"
[ -f "$out" ] || printf 'date\tcommit\tpayload_mib\ttotal_s\tpreparation_s\tboot_files_s\tnfs_read_s\tdialogue_s\tbytes\tnfs_mib_per_s\n' >"$out"
commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

for run in $(seq "$runs"); do
  if ! "$here/demo.sh" --build "$build" --pause 0 --service-wait 1000 --payload $((payload_mib * 1024)) \
       --shots "$build/bench/screenshots" >"$log" 2>&1; then
    tail -20 "$log"
    echo "bench-demo: run $run failed" >&2
    exit 1
  fi
  times=$(grep '^TIMES ' "$log")
  value() { echo "$times" | sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
  rate=$(awk -v b="$(value bytes)" -v s="$(value nfs_read_s)" 'BEGIN { printf "%.1f", (s > 0 ? b / 1048576 / s : 0) }')
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$commit" "$payload_mib" "$(value total_s)" \
    "$(value preparation_s)" "$(value boot_files_s)" "$(value nfs_read_s)" "$(value dialogue_s)" "$(value bytes)" \
    "$rate" >>"$out"
  echo "run $run: $times nfs_mib_per_s=$rate"
done

echo "medians of the last $runs runs (from $out):"
column=4
for name in total_s preparation_s boot_files_s nfs_read_s dialogue_s bytes nfs_mib_per_s; do
  median=$(tail -n "$runs" "$out" | cut -f "$column" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '  %-14s %s\n' "$name" "$median"
  column=$((column + 1))
done
