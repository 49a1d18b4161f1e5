#!/usr/bin/env bash
# side_by_side.sh WIN_BUILD SELDRIX_EXE [MIB] [FILES] [READS]
# Benchmark, not a test: Seldrix.exe under Wine and nfs-ganesha (VFS) each serve one data folder from a
# network namespace of their own, in one run; libnfs's tools time on each: READ of a MIB MiB file
# (default 256) with nfs-cat, READS times in a row (default 3), nfs-ls of a folder of FILES files
# (default 10000), and WRITE of the MIB MiB file with nfs-cp. Prints the times, the rates and Seldrix's
# ratio to ganesha: for READ the median run's and the first run's (a server's first large transfer after
# its start is its slowest on a loaded machine), with every run's rate.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1 exe=$2 mib=${3:-256} files=${4:-10000} reads=${5:-3}

# Times a command in seconds (its output dropped).
timed() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); awk "BEGIN { print $end - $start }"; }

# Inside a namespace: the timings against the server at nfs://127.0.0.1$export, one line: the READ runs
# (comma-separated), nfs-ls, WRITE.
measure() {
  local export=$1 name=$2 data=$3
  local url="nfs://127.0.0.1$export"
  local read="" ls write
  for _ in $(seq "$reads"); do read="$read${read:+,}$(timed nfs-cat "$url/big.bin?auto-traverse-mounts=0")"; done
  ls=$(timed nfs-ls "$url/many?auto-traverse-mounts=0")
  write=$(timed nfs-cp "$data/big.bin" "$url/written-$name.bin?auto-traverse-mounts=0")
  cmp -s "$data/big.bin" "$data/written-$name.bin" || { echo "$name: the written file differs" >&2; exit 1; }
  rm -f "$data/written-$name.bin"
  echo "$read $ls $write"
}

case "${SIDE_BY_SIDE_MODE:-}" in
seldrix)
  "$here/../tests/start_seldrix.sh" "$exe" "$SIDE_BY_SIDE_DATA" ""
  # Seldrix serves the folder as "/"; libnfs's tools need a non-empty export before a file's name.
  measure "/" seldrix "$SIDE_BY_SIDE_DATA" >"$SIDE_BY_SIDE_OUT"
  exit 0 ;;
ganesha)
  ip link set lo up
  work=$(dirname "$SIDE_BY_SIDE_OUT")
  mkdir -p "$work/ganesha-recovery"
  cat >"$work/ganesha.conf" <<CONF
NFS_CORE_PARAM { Protocols = 3; Enable_NLM = false; Enable_RQUOTA = false; }
NFSV4 { Graceless = true; RecoveryRoot = "$work/ganesha-recovery"; }
EXPORT {
  Export_Id = 1; Path = "$SIDE_BY_SIDE_DATA"; Pseudo = "$SIDE_BY_SIDE_DATA";
  Access_Type = RW; Squash = No_Root_Squash; Protocols = 3; Transports = TCP; SecType = sys;
  FSAL { Name = VFS; }
}
LOG { Default_Log_Level = WARN; }
CONF
  rpcbind -f -w & rpcbind_pid=$!
  ganesha.nfsd -F -f "$work/ganesha.conf" -L "$work/ganesha.log" -p "$work/ganesha.pid" & ganesha_pid=$!
  trap 'kill $ganesha_pid $rpcbind_pid 2>/dev/null; wait 2>/dev/null' EXIT
  for _ in $(seq 150); do [ -n "$(ss -Hltn 'sport = :2049')" ] && break; sleep 0.2; done
  # The export must answer before the clock starts.
  for _ in $(seq 150); do nfs-ls "nfs://127.0.0.1$SIDE_BY_SIDE_DATA/?auto-traverse-mounts=0" >/dev/null 2>&1 && break; sleep 0.2; done
  measure "$SIDE_BY_SIDE_DATA" ganesha "$SIDE_BY_SIDE_DATA" >"$SIDE_BY_SIDE_OUT"
  exit 0 ;;
esac

work=$(mktemp -d /tmp/seldrix-side-by-side.XXXXXX)
trap 'rm -rf "$work"' EXIT
data="$work/data"
mkdir -p "$data/many"
chmod 755 "$work" "$data"
head -c "$((mib * 1048576))" /dev/urandom >"$data/big.bin"
for i in $(seq 1 "$files"); do : >"$data/many/entry-$i.txt"; done

SIDE_BY_SIDE_MODE=seldrix SIDE_BY_SIDE_DATA=$data SIDE_BY_SIDE_OUT=$work/seldrix.txt \
  "$here/../../tools/wine/wine-netns.sh" "$win_build" "$0" "$@"
SIDE_BY_SIDE_MODE=ganesha SIDE_BY_SIDE_DATA=$data SIDE_BY_SIDE_OUT=$work/ganesha.txt \
  unshare --net -- "$0" "$@"

read -r s_read s_ls s_write <"$work/seldrix.txt"
read -r g_read g_ls g_write <"$work/ganesha.txt"
rate() { awk "BEGIN { printf \"%.1f\", $mib / $1 }"; }
ratio() { awk "BEGIN { printf \"%.3f\", $1 / $2 }"; }
# The READ runs' times: the first, the median, and every run's rate.
first() { echo "${1%%,*}"; }
median() { tr , '\n' <<<"$1" | sort -g | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
rates() { local r out=""; for r in ${1//,/ }; do out="$out $(awk "BEGIN { printf \"%.0f\", $mib / $r }")"; done; echo "${out# }"; }
printf '%-34s %12s %12s %8s\n' "" Seldrix ganesha ratio
printf '%-34s %8s MiB/s %6s MiB/s %8s\n' "READ $mib MiB (nfs-cat), median" "$(rate "$(median "$s_read")")" \
  "$(rate "$(median "$g_read")")" "$(ratio "$(rate "$(median "$s_read")")" "$(rate "$(median "$g_read")")")"
printf '%-34s %8s MiB/s %6s MiB/s %8s\n' "READ $mib MiB (nfs-cat), first run" "$(rate "$(first "$s_read")")" \
  "$(rate "$(first "$g_read")")" "$(ratio "$(rate "$(first "$s_read")")" "$(rate "$(first "$g_read")")")"
echo "READ runs (MiB/s): Seldrix $(rates "$s_read"); ganesha $(rates "$g_read")"
printf '%-34s %10.2f s %10.2f s %8s\n' "nfs-ls of $files files" "$s_ls" "$g_ls" "$(ratio "$g_ls" "$s_ls")"
printf '%-34s %8s MiB/s %6s MiB/s %8s\n' "WRITE $mib MiB (nfs-cp)" "$(rate "$s_write")" "$(rate "$g_write")" \
  "$(ratio "$(rate "$s_write")" "$(rate "$g_write")")"
echo "Seldrix WRITE / Seldrix READ (median): $(ratio "$(rate "$s_write")" "$(rate "$(median "$s_read")")")"
echo "(ratio: Seldrix's speed over ganesha's; for nfs-ls, ganesha's time over Seldrix's)"
