#!/usr/bin/env bash
# board-test.sh BOARD_NS STANDIN_INIT BOARD_LIB PMR_DEVICE -- COMMAND [ARGS...]
#
# Runs one supervisor test as the board would: in its own mount, PID and network namespaces under the
# stand-in init (which records the signals sent to process 1 in /tmp/init-signals), with tmpfs over the
# board directories, bash as /bin/sh, the board driver stand-in preloaded and the stand-in libraries
# first on the library path (BOARD_LIB_PATH overrides BOARD_LIB), and the stand-in board programs (the
# "board-bin" directory beside BOARD_LIB) first on the path. The supervisor signals process 1 and
# process groups, so its code never runs outside this.
set -euo pipefail
board_ns=$1 init=$2 board_lib=${BOARD_LIB_PATH:-$3} pmr_device=$4 board_bin=$(dirname "$3")/board-bin
shift 4
[ "${1:-}" = "--" ] && shift
exec "$board_ns" --init "$init" --net --bash-sh --timeout 280 --record /tmp/init-signals \
  --tmpfs /tmp --tmpfs /var/log --tmpfs /current --tmpfs /mnt/soft --tmpfs /mnt/flash \
  --tmpfs /mnt/flashext --tmpfs /mnt/hdext --tmpfs /tftpboot --tmpfs /debug \
  -- env LD_PRELOAD="$pmr_device" LD_LIBRARY_PATH="$board_lib" PMR_STATE=/tmp/pmr \
  PATH="$board_bin:$PATH" "$@"
