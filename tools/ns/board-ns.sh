#!/usr/bin/env bash
# board-ns.sh --init STANDIN_INIT [--net] [--tmpfs DIR]... [--bash-sh] [--record FILE] [--stay]
#             [--timeout SEC] -- COMMAND [ARGS...]
#
# Runs COMMAND as a board would see it, without touching the host: in its own mount and PID namespaces
# (and network namespace with --net), under STANDIN_INIT as process 1, with a tmpfs over each board
# directory DIR (created inside when missing), and with bash over /bin/sh for --bash-sh. The host's
# directories are bound into a fresh root, so paths such as the build tree stay valid; a DIR that does
# not exist on the host is created only inside. Needs root.
#
# /dev is the namespace's own: null, zero, full, random, urandom and tty from the host, a private
# /dev/shm, and "/dev/console" and "/dev/ttyS0" as plain files that the command writes and a test reads.
# No loop device of the host is there. A test that needs one runs "$BOARD_LOOP /dev/NAME" (board_loop,
# found beside STANDIN_INIT): it gets a fresh, unbound loop device of its own with the node /dev/NAME,
# binds it to an image itself (losetup /dev/NAME IMAGE, or LOOP_SET_FD from the code under test) and
# mounts it. Every device handed out is detached and removed when the namespace ends.
set -euo pipefail

usage() { sed -n '2,3p' "$0" | sed 's/^# //' >&2; exit 2; }

init="" net=0 bash_sh=0 init_args=() dirs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --init) init=$2; shift 2 ;;
    --net) net=1; shift ;;
    --tmpfs) dirs+=("$2"); shift 2 ;;
    --bash-sh) bash_sh=1; shift ;;
    --record) init_args+=(--record "$(realpath -m "$2")"); shift 2 ;;
    --stay) init_args+=(--stay); shift ;;
    --timeout) init_args+=(--timeout "$2"); shift 2 ;;
    --inside) inside=1; shift ;;
    --loops) loops=$2; shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
[ -n "$init" ] && [ $# -gt 0 ] || usage
init=$(realpath "$init")
repo=$(cd "$(dirname "$0")/../.." && pwd)

if [ -z "${inside:-}" ]; then
  flags=(--mount --pid --fork --propagation private)
  [ "$net" = 1 ] && flags+=(--net)
  args=(--inside --init "$init")
  [ "$net" = 1 ] && args+=(--net)
  [ "$bash_sh" = 1 ] && args+=(--bash-sh)
  for d in ${dirs[@]+"${dirs[@]}"}; do args+=(--tmpfs "$d"); done
  helper=$(dirname "$init")/board_loop
  if [ ! -x "$helper" ]; then
    exec unshare "${flags[@]}" -- "$0" "${args[@]}" ${init_args[@]+"${init_args[@]}"} -- "$@"
  fi
  # The loop devices handed out inside are listed here, to be removed once the namespace has ended.
  loops=$(mktemp /tmp/board-ns-loops.XXXXXX)
  release() { "$helper" --release "$loops" || true; rm -f "$loops"; }
  trap 'release; exit 143' TERM
  trap 'release; exit 130' INT
  status=0
  unshare "${flags[@]}" -- "$0" "${args[@]}" --loops "$loops" ${init_args[@]+"${init_args[@]}"} -- "$@" || status=$?
  release
  exit $status
fi

# Inside: this shell is process 1 of the new PID namespace until it execs the stand-in init.
[ "$net" = 1 ] && ip link set lo up
cwd=$(pwd)
# The new root lives on a tmpfs over /mnt, which the board's own /mnt directories replace.
mount -t tmpfs board-ns /mnt
root=/mnt/.root
mkdir "$root"
for entry in /*; do
  name=${entry#/}
  case "$name" in mnt|proc|dev|lost+found) continue ;; esac
  if [ -L "$entry" ]; then
    cp -P "$entry" "$root/$name"
  elif [ -d "$entry" ]; then
    mkdir "$root/$name"
    mount --rbind "$entry" "$root/$name"
  fi
done
mkdir "$root/mnt" "$root/proc" "$root/dev"
mount -t proc proc "$root/proc"

mount -t tmpfs -o mode=0755 board-dev "$root/dev"
for node in null zero full random urandom tty; do
  : >"$root/dev/$node"
  mount --bind "/dev/$node" "$root/dev/$node"
done
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
mkdir "$root/dev/shm"
mount -t tmpfs -o mode=1777 board-shm "$root/dev/shm"
: >"$root/dev/console"
: >"$root/dev/ttyS0"
if [ -n "${loops:-}" ]; then
  mkdir "$root/.board-ns"
  : >"$root/.board-ns/loop-control"
  mount --bind /dev/loop-control "$root/.board-ns/loop-control"
  : >"$root/.board-ns/loops"
  mount --bind "$loops" "$root/.board-ns/loops"
  export BOARD_LOOP
  BOARD_LOOP=$(dirname "$init")/board_loop
fi

# Devices of the file systems that belong to this namespace alone: the fresh root and each board tmpfs.
own_devs=" $(stat -c %d "$root") "
for d in ${dirs[@]+"${dirs[@]}"}; do
  case "$d" in /*) ;; *) echo "board-ns: $d: board directories are absolute" >&2; exit 2 ;; esac
  if [ ! -d "$root$d" ]; then
    # Create it only on our own file systems, never inside a directory bound from the host.
    parent=$(dirname "$d")
    while [ ! -d "$root$parent" ]; do parent=$(dirname "$parent"); done
    case "$own_devs" in
      *" $(stat -c %d "$root$parent") "*) mkdir -p "$root$d" ;;
      *) echo "board-ns: $d: cannot create it inside $parent, which belongs to the host" >&2; exit 2 ;;
    esac
  fi
  mount -t tmpfs board "$root$d"
  own_devs+="$(stat -c %d "$root$d") "
  # A board directory may cover the tree the test runs from (a clone under /tmp): bind that back.
  for keep in "$repo" "$cwd" "$(dirname "$init")"; do
    case "$keep" in
      "$d"/*) mkdir -p "$root$keep" && mount --rbind "$keep" "$root$keep" ;;
    esac
  done
done

if [ "$bash_sh" = 1 ]; then
  # Board scripts rely on bash's echo -e; the host's /bin/sh is dash.
  mount --bind "$root/usr/bin/bash" "$(realpath "$root/bin/sh")"
fi

cd "$root"
exec chroot "$root" /bin/sh -c 'cd "$1" 2>/dev/null || cd /; shift; exec "$@"' sh "$cwd" "$init" "${init_args[@]}" -- "$@"
