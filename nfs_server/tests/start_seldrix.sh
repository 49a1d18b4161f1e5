#!/usr/bin/env bash
# start_seldrix.sh SELDRIX_EXE ROOT HOSTS
# Inside wine-netns.sh: writes the settings ("Root" = the Linux folder ROOT, "Host" = HOSTS unless it is
# empty, "CodePage" = 65001), starts Seldrix.exe in the background and returns once its last socket
# (NFS over UDP) is bound. The server's standard error goes to $SELDRIX_LOG when it is set, its process
# id to $SELDRIX_PID_FILE. The namespace's wineserver ends the server when the namespace's command ends.
set -euo pipefail
exe=$1 root=$2 hosts=$3
key='HKCU\SOFTWARE\Seldrix'
# Failures show: a setting that silently fails to land would make the server serve another folder.
winroot=$("$WINE" winepath -w "$root")
[ -n "$winroot" ] || { echo "start_seldrix: no Windows path for $root" >&2; exit 1; }
"$WINE" reg add "$key" /v Root /t REG_SZ /d "$winroot" /f >/dev/null
"$WINE" reg add "$key" /v CodePage /t REG_DWORD /d 65001 /f >/dev/null
if [ -n "$hosts" ]; then "$WINE" reg add "$key" /v Host /t REG_SZ /d "$hosts" /f >/dev/null; fi
"$WINE" "$exe" </dev/null >/dev/null 2>"${SELDRIX_LOG:-/dev/null}" &
echo $! >"${SELDRIX_PID_FILE:-/dev/null}"
bound() { [ -n "$(ss -Hlun 'sport = :2049')" ]; }
for _ in $(seq 300); do bound && break; sleep 0.2; done
bound || { echo "start_seldrix: the server did not start" >&2; exit 1; }
