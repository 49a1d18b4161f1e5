#!/usr/bin/env bash
# run_fuzz.sh FUZZER CORPUS: a short, bounded fuzzing run from the repository's seed corpus. New inputs
# go to a temporary copy; a crash, an out-of-bounds access or an allocation over the limit fails the run.
set -euo pipefail
fuzzer=$1 corpus=$2
work=$(mktemp -d /tmp/seldrix-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -r "$corpus" "$work/corpus"
cd "$work"
"$fuzzer" -runs=2000000 -max_total_time=20 -max_len=4096 -timeout=10 -malloc_limit_mb=3 -rss_limit_mb=1024 \
  -print_final_stats=1 "$work/corpus"
