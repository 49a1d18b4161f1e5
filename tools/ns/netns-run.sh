#!/usr/bin/env bash
# netns-run.sh COMMAND [ARGS...]
# Runs COMMAND in a network namespace of its own with only loopback up, so that a test may bind fixed
# ports and change packet-filter tables without touching the host's. Needs root.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: netns-run.sh COMMAND [ARGS...]" >&2; exit 2; }
if [ "${NETNS_RUN_INSIDE:-}" != 1 ]; then
  NETNS_RUN_INSIDE=1 exec unshare --net -- "$0" "$@"
fi
unset NETNS_RUN_INSIDE
ip link set lo up
exec "$@"
