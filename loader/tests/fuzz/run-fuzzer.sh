#!/usr/bin/env bash
# run-fuzzer.sh FUZZER CORPUS RUNS: a bounded fuzzing run from CORPUS, which it leaves unchanged; an
# input that fails is kept in the working directory as fuzz-crash-* (or -leak-, -timeout-).
set -eu
fuzzer=$1 corpus=$2 runs=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -runs="$runs" -max_total_time=120 -max_len=4096 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$PWD/fuzz-" "$scratch" "$corpus"
