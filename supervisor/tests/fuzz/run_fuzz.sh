#!/usr/bin/env bash
# run_fuzz.sh FUZZER CORPUS: a short, bounded fuzzing run of the configuration readers from the
# repository's seed corpus, in a temporary directory (the tables it writes back land there). A crash, an
# out-of-bounds access or a broken expectation of the target fails the run.
set -euo pipefail
fuzzer=$1 corpus=$2
work=$(mktemp -d /tmp/morvash-config-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -r "$corpus" "$work/corpus"
cd "$work"
"$fuzzer" -runs=500000 -max_total_time=20 -max_len=4096 -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
  "$work/corpus"
