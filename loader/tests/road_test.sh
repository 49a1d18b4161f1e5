#!/usr/bin/env bash
# road_test.sh WIN_BUILD TAVI_EXE PROBE_EXE BOARDSIM STANDIN_ROOT
# A technician's road through Tavi.exe from outside, in a network namespace of its own: the wizard filled
# and its buttons pressed through the window probe, a board simulated by boardsim on UDP 6011, the delivery
# served through the real Seldrix.exe beside Tavi.exe and read by a real NFS client, the outside servers'
# stand-ins as the BOOTP and TFTP servers.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${ROAD_TEST_INSIDE:-}" != 1 ]; then
  export ROAD_TEST_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$1" "$0" "$@"
fi
tavi=$2 probe=$3 boardsim=$4 standins=$5
artifacts="$1/artifacts"

root=$(mktemp -d /tmp/tavi-road.XXXXXX)
trap 'rm -rf "$root"' EXIT
delivery="$root/delivery"
mkdir -p "$delivery/DownloadingItems/boot" "$delivery/DownloadingItems/inskrn" "$delivery/DownloadingItems/insram"
printf 'PMR_R700.001 | Road test\r\nkernel100_031_smp\r\ndasig_fr.tgz\r\ndasig_de.tgz\r\n' \
  >"$delivery/DownloadingItems/boot/config.rc"
printf '<hardware><board type="TOLMA"/></hardware>\n' >"$delivery/DownloadingItems/boot/hw_req.xml"
echo "kernel image" >"$delivery/DownloadingItems/inskrn/vmlinuz"
echo "vmlinuz;13;BIN;1046016;1046016" >"$delivery/DownloadingItems/inskrn/pemrocom"
echo "ram disk" >"$delivery/DownloadingItems/insram/ramdisk.gz"

winpath() { "$WINE" winepath -w "$1" 2>/dev/null; }
reg() { "$WINE" reg add "$@" /f >/dev/null 2>&1; }
config='HKCU\Software\QelTools\Tavi400_R30.1\Tavi'
machine='HKLM\SOFTWARE\QelTools\Tavi400_R30.1\30.1'
# This prefix is a copy of the shared one: what other tests' cases left in these keys goes first.
"$WINE" reg delete "$config" /f >/dev/null 2>&1 || true
"$WINE" reg delete "$machine" /f /reg:32 >/dev/null 2>&1 || true
reg "$config\\Config" /v IpAddress /t REG_SZ /d 127.0.0.1
reg "$config\\Config" /v ManageTaviAccount /t REG_DWORD /d 0
reg "$config\\Timeouts" /v WStartServices /t REG_DWORD /d 200
reg "$machine" /v TftpPath /t REG_SZ /d "\"$(winpath "$standins/tftpdesk.exe")\" /record \"$(winpath "$root/tftp.record")\"" /reg:32
reg "$machine" /v BootpPath /t REG_SZ /d "\"$(winpath "$standins/bootpdesk.exe")\" /record \"$(winpath "$root/bootp.record")\"" /reg:32

"$WINE" "$tavi" </dev/null >/dev/null 2>&1 &
tavi_pid=$!
p() { "$WINE" "$probe" "$@" 2>/dev/null | tr -d '\r'; }
# Each message is answered: its first answer is waited for, up to a minute on a loaded machine.
board() { "$boardsim" --first 60000 --wait 1500 "$@"; }

fail=0
check() {  # check NAME COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}
is() { [ "$1" = "$2" ] || { echo "     got '$1', wanted '$2'"; return 1; }; }

check "the wizard shows" p wait
p set 1029 "$(winpath "$delivery")"
p activate 0
p select 1050 fr
p screenshot "$(winpath "$artifacts/road-main.bmp")" || true
check "Next is enabled for a readable delivery" is "$(p enabled 12324)" 1
p press next
check "version 700 goes on to the installation type" p waitpage 139
p click 1039
p press next
p answer 6 >/dev/null
check "an installation goes to the Install page" p waitpage 144
check "the target file asks for the installation" grep -q "export INSTALL=yes" "$(dirname "$tavi")/tftpboot/target.conf"
check "the TFTP server was started" grep -q "^window" "$root/tftp.record"
check "the BOOTP server was started" grep -q "^window" "$root/bootp.record"
url() { echo "nfs://127.0.0.1/$1?auto-traverse-mounts=0"; }
check "the delivery is served over NFS" is "$(nfs-ls "$(url "")" | awk '{print $NF}' | sort | tr '\n' ' ')" "boot inskrn insram "

answers=$(board CONNECT --sess 9 --text "PMR 7.0 R30" COPY_WAIT --stat 1 --text 0/250 COPY_WAIT --stat 3 --text 100/34)
check "the board's CONNECT is accepted" grep -q "<- CONNECT .*stat=1" <<<"$answers"
check "the copy bar follows the board" is "$(p bar 1055)" "0 250 98"
p screenshot "$(winpath "$artifacts/road-install.bmp")" || true
answers=$(board DISCONNECT --sess 9 --ta 10)
check "the DISCONNECT is answered" grep -q "<- DISCONNECT .*stat=1" <<<"$answers"
check "Next is enabled after the board has gone" is "$(p enabled 12324)" 1
# The servers end on their own time: each is waited for, at most a minute.
eventually() { for _ in $(seq 300); do "$@" && return 0; sleep 0.2; done; "$@"; }
check "the TFTP server was stopped" eventually grep -q "^quit" "$root/tftp.record"
gone() { [ -z "$(ss -Hlun 'sport = :2049')" ]; }
check "the NFS server was stopped" eventually gone
p press next
check "the Install page leads back to the Main page" p waitpage 107

# A multi-CPU migration: the storage folder served, the telephony saved, the board's disconnect moving on
# by itself to the Internet Access save, then the installation prepared again.
storage="$root/storage"
mkdir -p "$storage"
p press next
p waitpage 139 || true
p click 1041
p set 1048 "$(winpath "$storage")"
p press next
p answer 6 >/dev/null
check "a multi-CPU migration goes to the telephony save" p waitpage 142
bound() { [ -n "$(ss -Hlun 'sport = :2049')" ]; }
check "the storage folder is served over NFS" bound
board CONNECT --sess 11 --text "PMR 7.0 R30" SAVE_TELE_START --text 0/10 SAVE_TELE_END --text 10/10 >/dev/null
check "the telephony bar follows the board" is "$(p bar 1042)" "0 10 10"
p screenshot "$(winpath "$artifacts/road-saving-telephony.bmp")" || true
board DISCONNECT --sess 11 --ta 20 >/dev/null
check "the board's disconnect moves on to the Internet Access save" p waitpage 141
board CONNECT --sess 12 --text "PMR 7.0 R30" SAVE_IA_START --text 0/4 SAVE_IA_END --text 0/4 >/dev/null
check "the Internet Access bar follows the board" is "$(p bar 1061)" "0 4 4"
check "Next is enabled once the Internet Access is saved" is "$(p enabled 12324)" 1
board DISCONNECT --sess 12 --ta 30 >/dev/null
p press next
p answer 6 >/dev/null
check "the saved data's installation goes to the Install page" p waitpage 144
check "its target file restores the saved data" grep -q "export RESTORE_TELE=yes" "$(dirname "$tavi")/tftpboot/target.conf"
check "the delivery is served again" is "$(nfs-ls "$(url "")" | awk '{print $NF}' | sort | tr '\n' ' ')" "boot inskrn insram "

kill "$tavi_pid" 2>/dev/null || true
if [ $fail -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
