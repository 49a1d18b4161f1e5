#!/usr/bin/env bash
# bench-loader.sh [BUILD] [BOARDS] [ROUNDS]: a benchmark, not a test. Runs the loader's board dialogue
# (dialogue_test_host.exe of BUILD/win) under Wine in a network namespace of its own and lets boardsim
# drive BOARDS simulated boards (default 21) through ROUNDS whole installations (default 5) at once;
# prints the median and worst answer round trip and the datagrams per second the loader sustained.
# Needs root; build first with make BUILD=BUILD win.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
boards=${2:-21} rounds=${3:-5}

if [ "${BENCH_INSIDE:-}" != 1 ]; then
  BENCH_INSIDE=1 exec "$root/tools/wine/wine-netns.sh" "$build/win" "$0" "$build" "$boards" "$rounds"
fi
work=$(mktemp -d)
trap 'touch "$work/events.stop"; wait; rm -rf "$work"' EXIT
"$WINE" "$build/win/bin/dialogue_test_host.exe" "Z:$work/events" --set-text Config/IpAddress=127.0.0.1 &
for _ in $(seq 300); do grep -qs '^ready' "$work/events" && break; sleep 0.1; done
grep -qs '^ready' "$work/events" || { echo "bench-loader: the loader did not start" >&2; exit 1; }
"$build/host/bin/boardsim" bench --boards "$boards" --rounds "$rounds"
