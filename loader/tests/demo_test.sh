#!/usr/bin/env bash
# demo_test.sh HOST_BUILD WIN_BUILD SHOTS
# The installation demo end to end, and its pictures in a folder of the run's own below SHOTS, so that
# runs side by side keep theirs.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$3"
shots=$(cd "$3" && pwd)
log=$(mktemp /tmp/demo-test.XXXXXX)
trap 'rm -f "$log"' EXIT
"$root/tools/demo/demo.sh" --host "$1" --win "$2" --shots "$shots" --pause 0 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || exit "$status"
folder=$(sed -n 's/^RESULT: installed .*; pictures of each page in //p' "$log")
case "$folder" in
  "$shots"/?*) ;;
  *) echo "FAIL the pictures are in $folder, not in a folder of the run's own below $shots"; exit 1 ;;
esac
ls "$folder"/*.png >/dev/null 2>&1 || { echo "FAIL no pictures in $folder"; exit 1; }
echo "ok   the pictures are in $folder"
