#!/usr/bin/env bash
# with_udp_peer.sh PEER COMMAND [ARGS...]: starts the native UDP peer, runs COMMAND with UDP_PEER_PORT
# set to the peer's port, and fails unless both succeed.
set -u
peer=$1; shift
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
"$peer" "$dir/port" & pid=$!
for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.05; done
[ -s "$dir/port" ] || { echo "with_udp_peer: peer did not start" >&2; kill $pid; exit 1; }
UDP_PEER_PORT=$(cat "$dir/port") "$@"; rc=$?
[ $rc -ne 0 ] && kill $pid 2>/dev/null
wait $pid; peer_rc=$?
[ $rc -eq 0 ] && [ $peer_rc -eq 0 ]
