#!/usr/bin/env bash
# soak.sh FTL_TEST [SEEDS] [FIRST] [JOBS]: the random power-cut workload of the translation layer's tests
# for SEEDS seeds from FIRST (default 200 from 1) on each layout (small pages, large pages, drive 1 of two
# chips with chunk 1 of the bad-block reserve in use), each seed 20 rounds of writes and discards (long
# ones clear units in place) ended by a power cut; and the block device's random run (requests, discards,
# reloads and cuts inside both, tessaro_blockdev_test beside FTL_TEST), in JOBS processes at once. Prints,
# per layout, the seeds run, the power cuts and the failures with their seeds; a failing seed runs
# again alone with
#   TESSARO_FIRST_SEED=N TESSARO_SEEDS=1 FTL_TEST --gtest_filter='Layouts/FtlSeededPowerCutTest.Every*/LAYOUT'
#   TESSARO_FIRST_SEED=N TESSARO_SEEDS=1 tessaro_blockdev_test --gtest_filter='RandomDriveTest.Random*'
# The same workload with every program and erase of the repairs after each cut cut in turn (17 rounds
# a seed, both tear kinds) runs with the filter 'Layouts/FtlSeededPowerCutTest.Repairs*/LAYOUT'.
# Exits non-zero when a seed failed.
set -uo pipefail
test=${1:?usage: soak.sh FTL_TEST [SEEDS] [FIRST] [JOBS]}
seeds=${2:-200} first=${3:-1} jobs=${4:-6}
work=$(mktemp -d /tmp/tessaro-soak.XXXXXX)
trap 'rm -rf "$work"' EXIT
blockdev=$(dirname "$test")/tessaro_blockdev_test
layouts=(SmallPages LargePages TwoChipsChunk1 BlockDevice)
shards=$(( (jobs + ${#layouts[@]} - 1) / ${#layouts[@]} ))
start=$(date +%s)
pids=()
for layout in "${layouts[@]}"; do
  per=$(( (seeds + shards - 1) / shards ))
  for (( s = 0; s < shards; s++ )); do
    from=$(( first + s * per )) count=$(( seeds - s * per < per ? seeds - s * per : per ))
    (( count > 0 )) || continue
    if [[ $layout == BlockDevice ]]; then
      run=("$blockdev" --gtest_filter='RandomDriveTest.RandomRequestsReloadsAndPowerCuts')
    else
      run=("$test" --gtest_filter="Layouts/FtlSeededPowerCutTest.Every*/$layout")
    fi
    TESSARO_FIRST_SEED=$from TESSARO_SEEDS=$count "${run[@]}" --gtest_brief=1 > "$work/$layout.$s.log" 2>&1 &
    pids+=($!)
  done
done
for pid in "${pids[@]}"; do wait "$pid"; done
failed=0
for layout in "${layouts[@]}"; do
  cat "$work/$layout".*.log | awk -v layout="$layout" -v wanted="$seeds" '
    $1 == "soak" && $2 == layout ":" {
      run += $3
      for (i = 1; i <= NF; i++) {
        if ($i == "power") cuts += $(i - 1)
        if ($i ~ /^failures/) fails += $(i - 1)
      }
      if (match($0, /seeds [0-9 ]+$/)) list = list substr($0, RSTART + 5)
    }
    END {
      printf "%-15s %4d seeds run, %6d power cuts, %d failures%s%s\n", layout, run, cuts, fails,
             fails ? " (seeds" list ")" : "", run < wanted ? ", INCOMPLETE: a run ended early" : ""
      exit (fails > 0 || run < wanted)
    }' || failed=1
done
echo "soak: $(( $(date +%s) - start )) s in $jobs processes"
if (( failed )); then
  grep -h -A3 ' seed [0-9]* (TESSARO_FIRST_SEED' "$work"/*.log | head -40
fi
exit $failed
