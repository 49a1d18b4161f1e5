#!/usr/bin/env bash
# demo_refusal_test.sh HOST_BUILD WIN_BUILD
# The demo refuses up front, with its reason, each delivery it cannot install; nothing starts.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d /tmp/demo-refusal.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
"$root/tools/demo/make-delivery.sh" "$scratch/good" 16 >/dev/null
cp -r "$scratch/good" "$scratch/no-hardware" && rm "$scratch/no-hardware/DownloadingItems/boot/hw_req.xml"
cp -r "$scratch/good" "$scratch/version-700"
sed -i 's/PMR_R800/PMR_R700/' "$scratch/version-700/DownloadingItems/boot/config.rc"
fail=0
while IFS='|' read -r delivery reason; do
  out=$("$root/tools/demo/demo.sh" --host "$1" --win "$2" --delivery "$delivery" 2>&1)
  status=$?
  if [ "$status" -eq 1 ] && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] &&
     grep -q "^RESULT: failed at \"delivery\": .*$reason" <<<"$out"; then
    echo "ok   $delivery"
  else
    echo "FAIL $delivery (exit $status): $out"; fail=1
  fi
done <<END
$scratch/missing|is not a folder
$scratch|holds no DownloadingItems/boot/config.rc
$scratch/no-hardware|holds no DownloadingItems/boot/hw_req.xml naming the board type
$scratch/version-700|its release is version 700;
END
exit $fail
