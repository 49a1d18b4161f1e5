#!/usr/bin/env bash
# demo.sh: one board installed from the PC, end to end, as a technician would see it.
#
#   demo.sh [--build DIR | --host DIR --win DIR] [--delivery FOLDER] [--shots DIR] [--pause MS]
#           [--service-wait MS] [--payload KIB]
#
# In a network namespace of its own (the PC at 192.168.77.1, the board at .2, both on its loopback) with
# an X display, Wine prefix and wineserver of its own: Tavi.exe starts from a program folder with
# Seldrix.exe beside it and stand-ins of the outside BOOTP and TFTP servers; the technician
# (technician.exe, through the windows) gives the delivery folder, picks the country, chooses the
# installation and follows the Install page; boardsim plays the board: BOOTP entry, boot list, boot files
# and target file from the boot folder, the delivery read whole over NFS from Seldrix, every step over
# the UDP dialogue to DISCONNECT. Every step is printed as observed; the last line is the result with its
# time, and a picture of each page is left in a folder of this run's own below the screenshot folder. A
# delivery it cannot install is refused before anything starts. Exits 1 naming the step that failed;
# leaves no process, namespace or server behind. Without --delivery (or $DELIVERY) it generates a small
# new-style delivery. Needs root and both build trees (make BUILD=DIR).
set -eEuo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
args=("$@")

build=$root/build host="" win="" delivery=${DELIVERY:-} shots="" pause=150 service_wait=3000 payload=2048
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --host) host=$2; shift 2 ;;
    --win) win=$2; shift 2 ;;
    --delivery) delivery=$2; shift 2 ;;
    --shots) shots=$2; shift 2 ;;
    --pause) pause=$2; shift 2 ;;
    --service-wait) service_wait=$2; shift 2 ;;
    --payload) payload=$2; shift 2 ;;
    *) echo "demo.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
host=$(cd "${host:-$build/host}" && pwd)
win=$(cd "${win:-$build/win}" && pwd)
shots=${shots:-$win/../demo-screenshots}
pc_address=192.168.77.1 board_address=192.168.77.2

fail() { echo "RESULT: failed at \"$1\": $2"; exit 1; }
# Any command that fails ends the run naming the step it belonged to.
step=start
trap '[ "$BASH_SUBSHELL" -ne 0 ] || fail "$step" "\"$BASH_COMMAND\" failed"' ERR

# The version of a delivery's release line ("PMR_R800.001 | ..."), as the loader reads it.
release_version() {
  awk -F'|' '
    /^[[:space:]]*(#|\r?$)/ { next }
    { gsub(/\r/, ""); name = $1; sub(/^[[:space:]]+/, "", name); sub(/[[:space:]]+$/, "", name)
      four = $4; sub(/^[[:space:]]+/, "", four); four = substr(four, 1, 3)
      v = substr(name, 6, 3) + 0
      if (name ~ /RCE/) v *= (four == "ONE" ? 100 : 10)
      if (name ~ /ONE/) v *= 100
      print v; exit }' "$1"
}

if [ "${DEMO_INSIDE:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || fail "start" "the demo needs root (a network namespace of its own)"
  for f in "$win/bin/Tavi.exe" "$win/bin/Seldrix.exe" "$win/bin/language_en.dll" "$win/bin/technician.exe" \
           "$win/standin-root/bootpdesk.exe" "$win/standin-root/tftpdesk.exe" "$host/bin/boardsim"; do
    [ -f "$f" ] || fail "start" "$f is missing: build both trees first (make)"
  done
  if [ -n "$delivery" ]; then
    # What the demo cannot install is refused here, with the reason, before anything starts.
    step=delivery
    [ -d "$delivery" ] || fail delivery "$delivery is not a folder"
    delivery=$(cd "$delivery" && pwd)
    boot_dir=$delivery/DownloadingItems/boot
    [ -f "$boot_dir/config.rc" ] || fail delivery "$delivery holds no DownloadingItems/boot/config.rc"
    version=$(release_version "$boot_dir/config.rc")
    [ "${version:-0}" -ge 800 ] || fail delivery \
      "its release is version ${version:-unknown}; the demo's board mounts the delivery over NFS, which the loader serves from version 800"
    grep -qs '<board[^>]*type="[^"]' "$boot_dir/hw_req.xml" ||
      fail delivery "$delivery holds no DownloadingItems/boot/hw_req.xml naming the board type, which the loader needs from version 800"
  fi
  # An X display of its own, so that the pictures show this run's windows only. It is started out here: a
  # server inside the namespace cannot see the other servers' abstract sockets, so it would take a display
  # number in use and replace that display's socket in /tmp under its clients.
  step=display
  display_file=$(mktemp /tmp/demo-display.XXXXXX)
  Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$display_file" </dev/null >/dev/null 2>&1 &
  DEMO_XVFB=$!
  for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
  DEMO_DISPLAY=$(cat "$display_file")
  rm -f "$display_file"
  [ -n "$DEMO_DISPLAY" ] || { kill "$DEMO_XVFB" 2>/dev/null; fail "display" "Xvfb did not start"; }
  DEMO_T0=$(date +%s%3N) DEMO_INSIDE=1 DELIVERY=$delivery DEMO_XVFB=$DEMO_XVFB DEMO_DISPLAY=$DEMO_DISPLAY \
    exec unshare --net -- "$0" "${args[@]}"
fi

# --- inside the namespace ------------------------------------------------------------------------------
export DEMO_T0
seconds() { awk -v now="$(date +%s%3N)" -v t0="$DEMO_T0" 'BEGIN { printf "%.1f", (now - t0) / 1000 }'; }
say() { printf '[%6ss] %-10s %s\n' "$(seconds)" "$1" "$2"; }
WINE=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
step=namespace
# One pictures folder per run, so that runs side by side keep their own.
mkdir -p "$win/demo" "$shots"
shots=$(mktemp -d "$(cd "$shots" && pwd)/$(date +%Y%m%d-%H%M%S).XXXXXX")
run=$(mktemp -d "$win/demo/run.XXXXXX")
xvfb=$DEMO_XVFB board="" tech="" tavi="" follow="" watcher=""
cleanup() {
  local status=$?
  for p in $tech $board $follow $watcher; do kill "$p" 2>/dev/null || true; done
  WINEPREFIX="$run/prefix" "$WINESERVER" -k 2>/dev/null || true
  [ -n "$tavi" ] && wait "$tavi" 2>/dev/null || true
  [ -n "$xvfb" ] && { kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; }
  rm -rf "$run"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip link set lo up
ip addr add "$pc_address/24" dev lo
ip addr add "$board_address/24" dev lo
say PC "one board's installation in a network namespace of its own, holding $(ip -4 -o addr show dev lo | awk '{ printf "%s%s", sep, $4; sep = ", " }')"

export DISPLAY=":$DEMO_DISPLAY"

step="Wine prefix"
# A Wine prefix made once (kept as files beside the runs), copied for each run.
template=$win/demo/prefix
(
  flock 9
  if [ ! -f "$template/.ready" ]; then
    say PC "making the Wine prefix (once)"
    rm -rf "$template"
    export WINEPREFIX=$template HOME=$template/home
    mkdir -p "$HOME"
    "$WINE" wineboot --init </dev/null >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$template/.ready"
  fi
) 9>"$win/demo/prefix.lock"
cp -al "$template" "$run/prefix"
for f in system.reg user.reg userdef.reg; do cp --remove-destination "$template/$f" "$run/prefix/$f"; done
export WINEPREFIX=$run/prefix HOME=$template/home
setsid "$WINESERVER" -f -p </dev/null >/dev/null 2>&1 &
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

# The PC: the program folder as the installer lays it out, and the outside servers.
step="program folder"
pc=$run/pc servers=$run/servers
mkdir -p "$pc" "$servers"
cp "$win/bin/Tavi.exe" "$win/bin/Seldrix.exe" "$win/bin/language_en.dll" "$pc/"
cp "$win/standin-root/bootpdesk.exe" "$win/standin-root/tftpdesk.exe" "$servers/"
profile='HKCU\Software\QelTools\Tavi400_R30.1\Tavi'
reg() { "$WINE" reg add "$@" /f >/dev/null 2>&1 || fail "settings" "reg add $*"; }
reg "$profile\\Config" /v IpAddress /t REG_SZ /d "$pc_address"
reg "$profile\\Config" /v ManageTaviAccount /t REG_DWORD /d 0
reg "$profile\\Timeouts" /v WStartServices /t REG_DWORD /d "$service_wait"
machine='HKLM\SOFTWARE\QelTools\Tavi400_R30.1\30.1'
reg "$machine" /reg:32 /v BootpPath /t REG_SZ /d "$(winpath "$servers/bootpdesk.exe") /record $(winpath "$servers/bootp.record")"
reg "$machine" /reg:32 /v TftpPath /t REG_SZ /d "$(winpath "$servers/tftpdesk.exe") /record $(winpath "$servers/tftp.record")"
# What the outside servers' installers leave: the BOOTP database's path, the TFTP server's parameters.
reg 'HKLM\SOFTWARE\WS\BOOTP Desktop' /reg:32 /v DatabasePath /t REG_SZ /d "$(winpath "$servers/bootptab.ini")"
reg 'HKLM\Software\WS\TFTP Desktop\2.5\Parameters' /reg:32 /v DefaultDirectory /t REG_SZ /d 'C:\'

step=delivery
# The delivery, on the PC's C: drive as installation media are copied there; a given one is linked there.
media=$WINEPREFIX/drive_c/Deliveries
mkdir -p "$media"
if [ -z "$DELIVERY" ]; then
  delivery=$media/demo
  "$here/make-delivery.sh" "$delivery" "$payload" >/dev/null
  say PC "generated a new-style delivery in C:\\Deliveries\\demo"
else
  delivery=$DELIVERY
  ln -s "$delivery" "$media/$(basename "$delivery")"
fi
# Wine's folder browser finds a folder in its tree by comparing what it read of each folder on the way,
# access time included; reading the new folders once now settles their access times (relatime).
ls "$media" "$delivery/" >/dev/null
delivery_win="C:\\Deliveries\\$(basename "$delivery")"
items=$delivery/DownloadingItems
board_type=$(sed -n 's/.*<board[^>]*type="\([^"]*\)".*/\1/p' "$items/boot/hw_req.xml" 2>/dev/null | head -1)
if [ "$board_type" = VUSKO ]; then mac=02-A0-3E-74-00-5C list=install_VUSKO.tftp; else mac=02-A0-3E-74-00-5A list=install_Dravenle.tftp; fi
release=$(grep -v '^[[:space:]]*\(#\|$\)' "$items/boot/config.rc" | head -1 | tr -d '\r' | sed 's/^[[:space:]]*//')
say PC "delivery \"$release\", board ${board_type:-?}, $(du -sh "$items" | cut -f1)"

# The three actors; the technician's and the board's lines are shown as they come.
step=installation
say PC "Tavi.exe starts"
"$WINE" "$pc/Tavi.exe" </dev/null >"$run/tavi.out" 2>&1 &
tavi=$!
touch "$run/technician.out" "$run/board.out" "$run/phases"
tail -q -n +1 -f "$run/technician.out" "$run/board.out" &
follow=$!
# What the PC shows of its servers as they come up.
(
  nfs="" tftp="" bootp=""
  while [ -z "$nfs" ] || [ -z "$tftp" ] || [ -z "$bootp" ]; do
    if [ -z "$nfs" ] && [ -n "$(ss -Hltn 'sport = :2049')" ]; then
      nfs=1
      ports=$(for p in 111 635 2049; do [ -z "$(ss -Hltn "sport = :$p")" ] || printf ' %s' "$p"; done)
      root=$("$WINE" reg query 'HKCU\SOFTWARE\Seldrix' /v Root 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
      say PC "Seldrix.exe listens on TCP ports$ports and serves ${root:-a folder its settings do not name}"
    fi
    if [ -z "$tftp" ] && grep -qs '^window TFTP Desktop' "$servers/tftp.record"; then
      tftp=1; say PC "the TFTP server is up, serving $(sed -n 's/^DefaultDirectory //p' "$servers/tftp.record" | tail -1)"
    fi
    if [ -z "$bootp" ] && grep -qs '^window BOOTP Desktop' "$servers/bootp.record"; then
      bootp=1
      given=$(awk -v mac="[$mac]" '{ sub(/\r$/, "") } /^\[/ { inside = toupper($0) == toupper(mac); next }
        inside && tolower($0) ~ /^ip address[[:space:]]*=/ { sub(/^[^=]*=[[:space:]]*/, ""); print; exit }' \
        "$servers/bootptab.ini" 2>/dev/null || true)
      if [ -n "$given" ]; then say PC "the BOOTP server is up; its database gives $mac the address $given"
      else say PC "the BOOTP server is up; its database has no address for $mac"; fi
    fi
    sleep 0.05
  done
) &
watcher=$!
"$host/bin/boardsim" install --boot-folder "$pc/tftpboot" --bootp-database "$servers/bootptab.ini" \
  --bootp-ready "$servers/bootp.record" --mac "$mac" --boot-list "$list" --verify "$items" --pause "$pause" \
  --wait 180000 --release "PMR board $mac" --phases "$run/phases" >"$run/board.out" 2>&1 &
board=$!
"$WINE" "$win/bin/technician.exe" "$delivery_win" "$(winpath "$shots")" --wait 300 \
  </dev/null >"$run/technician.out" 2>&1 &
tech=$!

# The first to end badly stops the other.
tech_status="" board_status="" failed=""
while [ -z "$tech_status" ] || [ -z "$board_status" ]; do
  if [ -z "$tech_status" ] && ! kill -0 "$tech" 2>/dev/null; then
    tech_status=0; wait "$tech" || tech_status=$?
    [ "$tech_status" -ne 0 ] && [ -z "$failed" ] && failed=technician
  fi
  if [ -z "$board_status" ] && ! kill -0 "$board" 2>/dev/null; then
    board_status=0; wait "$board" || board_status=$?
    [ "$board_status" -ne 0 ] && [ -z "$failed" ] && failed=board
  fi
  [ -n "$failed" ] && kill "$tech" "$board" 2>/dev/null || true
  sleep 0.1
done
tech="" board=""
sleep 0.5  # the last lines through tail
kill "$follow" "$watcher" 2>/dev/null || true
wait "$follow" "$watcher" 2>/dev/null || true
follow="" watcher=""

if [ -n "$failed" ]; then
  step=$(sed -n 's/.*FAILED at "\([^"]*\)".*/\1/p' "$run/$failed.out" | head -1)
  fail "${step:-$failed}" "the $failed stopped there (see above); pictures so far in $shots"
fi

# The loader stopped its servers at DISCONNECT, and the technician closed it.
step=close
for _ in $(seq 100); do kill -0 "$tavi" 2>/dev/null || break; sleep 0.1; done
kill -0 "$tavi" 2>/dev/null && fail "close" "Tavi.exe is still running"
[ -z "$(ss -Hlun 'sport = :2049')" ] || fail "servers stopped" "the NFS server still serves"
served=$(sed -n 's/^DefaultDirectory //p' "$servers/tftp.record" | tail -1)
[ "$served" = "$(winpath "$pc/tftpboot")" ] || fail "TFTP server" "it served $served, not the boot folder"
grep -q "^end TFTP Desktop" "$servers/tftp.record" || fail "servers stopped" "the TFTP server was not stopped"
grep -q "^end BOOTP Desktop" "$servers/bootp.record" || fail "servers stopped" "the BOOTP server was not stopped"
say PC "the NFS, TFTP and BOOTP servers have stopped; Tavi.exe has closed"
step=result
installed_at=$(sed -n 's/.*BOOTP: address \([^,]*\),.*/\1/p' "$run/board.out" | head -1)

for bmp in "$shots"/*.bmp; do /usr/bin/convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null && rm -f "$bmp"; done
phases=$(cat "$run/phases")
value() { echo "$phases" | sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
prepare=$(sed -n 's/.*the loader prepared the board.s road in \([0-9.]*\) s.*/\1/p' "$run/technician.out")
total=$(seconds)
mib=$(awk -v b="$(value bytes)" 'BEGIN { printf "%.1f", b / 1048576 }')
printf 'TIMES total_s=%s preparation_s=%s boot_files_s=%s nfs_read_s=%s dialogue_s=%s bytes=%s\n' \
  "$total" "$prepare" "$(value boot_files_s)" "$(value nfs_read_s)" "$(value dialogue_s)" "$(value bytes)"
printf 'RESULT: installed "%s" on the board at %s in %s s (preparation %s s, boot files %s s, NFS read of %s MiB %s s, dialogue %s s); pictures of each page in %s\n' \
  "$release" "$installed_at" "$total" "$prepare" "$(value boot_files_s)" "$mib" "$(value nfs_read_s)" \
  "$(value dialogue_s)" "$shots"
