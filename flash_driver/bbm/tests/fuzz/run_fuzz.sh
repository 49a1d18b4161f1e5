#!/usr/bin/env bash
# run_fuzz.sh FUZZER CORPUS [SECONDS]: a short, bounded fuzzing run (30 s by default) from the
# repository's seed corpus. New inputs go to a temporary copy; a crash, an out-of-bounds access or a
# broken expectation of the target fails the run.
set -euo pipefail
fuzzer=$1 corpus=$2 seconds=${3:-30}
work=$(mktemp -d /tmp/tessaro-bbm-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -r "$corpus" "$work/corpus"
cd "$work"
ASAN_OPTIONS=quarantine_size_mb=32 "$fuzzer" -runs=200000 -max_total_time=$seconds -max_len=4700 -len_control=0 \
  -timeout=20 -rss_limit_mb=1024 -print_final_stats=1 "$work/corpus"
