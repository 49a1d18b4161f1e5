#!/bin/bash
# flashctl end to end: a new board image formatted, written through the block device in one run, read
# back whole in the next run (a new load of the driver over the saved image), with bad input refused.
set -euo pipefail
flashctl="$1"
work=$(mktemp -d /tmp/flashctl-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
image="$work/board.img"

head -c 262144 /dev/urandom > "$work/data"
"$flashctl" --image "$image" --chip 0xE6 --bad-blocks 3 format mount write 64 "$work/data" status > "$work/first"
grep -q '^formatted: size ' "$work/first"
grep -q '^mounted: ' "$work/first"
grep -q '^wrote 512 sectors from sector 64$' "$work/first"
grep -q '^client size: [1-9][0-9]* bytes (mounted)$' "$work/first"

"$flashctl" --image "$image" read 64 512 "$work/back" read-image "$work/whole" proc > "$work/second"
cmp "$work/data" "$work/back"
size=$(grep -o '^mounted: [0-9]*' "$work/second" | cut -d' ' -f2)
test "$(stat -c %s "$work/whole")" = "$size"
cmp -n 262144 -i 0:32768 "$work/data" "$work/whole"
if grep -q 'WR reqs' "$work/second"; then exit 1; fi
grep -q 'RD reqs for size >= 4096$' "$work/second"

# Bad input: an unknown command, a file that is not whole sectors; the image stays usable.
if "$flashctl" --image "$image" frobnicate 2> "$work/error"; then exit 1; fi
grep -q 'bad command or arguments: frobnicate' "$work/error"
head -c 100 /dev/urandom > "$work/odd"
if "$flashctl" --image "$image" write 0 "$work/odd" 2> "$work/error"; then exit 1; fi
grep -q 'is not a whole number of sectors' "$work/error"
# Arguments past the drive's end, signed numbers and unknown settings: a clear error, a non-zero exit,
# nothing read, written or discarded.
while IFS='|' read -r args message; do
  if "$flashctl" --image "$image" $args 2> "$work/error" > "$work/out"; then echo "accepted: $args"; exit 1; fi
  grep -q -- "$message" "$work/error" || { echo "$args: $(cat "$work/error")"; exit 1; }
done <<CASES
read 0 4294967295 $work/huge|lie past the drive's end
read 18446744073709551615 2 $work/huge|lie past the drive's end
read -1 1 $work/huge|bad command or arguments: read
write 99999999 $work/data|lie past the drive's end
discard 20000 99999999|lie past the drive's end
discard 0 99999999|lie past the drive's end
discard -1 1|bad command or arguments: discard
format foo=1|unknown setting foo=1
format size=-1|bad setting size=-1
CASES
test ! -e "$work/huge"
"$flashctl" --image "$image" read 64 512 "$work/again" > /dev/null
cmp "$work/data" "$work/again"
echo "flashctl: ok"
