#!/usr/bin/env bash
# make-delivery.sh FOLDER [PAYLOAD_KIB]: writes a small new-style delivery into FOLDER, laid out as the
# installation media hold one and as the loader's Main page accepts it: "DownloadingItems" with the
# release, kernel and countries in "boot/config.rc", the board type in "boot/hw_req.xml", the boot files
# and their boot list ("pemrocom") in "inskrn" and "insram", and packages for the board to copy.
# PAYLOAD_KIB (default 2048) is the size of the packages together; the boot files add about 1.5 MiB.
set -euo pipefail
folder=${1:?usage: make-delivery.sh FOLDER [PAYLOAD_KIB]}
payload_kib=${2:-2048}
release=${DEMO_RELEASE:-PMR_R800.001 | Demo release 8.0 | generated}
board=${DEMO_BOARD:-TOLMA}
items="$folder/DownloadingItems"
marker=dasig; [ "$board" = VUSKO ] && marker=dacm
rm -rf "$items"
mkdir -p "$items/boot" "$items/inskrn" "$items/insram" "$items/packages" "$items/countries"

# Random bytes of a given size: the board cannot tell them from real images, and a copy that loses or
# changes any of them shows.
bytes() { head -c "$2" /dev/urandom >"$1"; }

{
  printf '# Delivery description (generated)\r\n\r\n'
  printf '%s\r\n' "$release"
  printf 'kernel100_031_smp\r\n'
  # A VUSKO board's countries are its "dacm_" packages, the others' their "dasig_" ones.
  for c in fr de gb it; do printf '%s_%s.tgz\r\n' "$marker" "$c"; done
} >"$items/boot/config.rc"
printf '<?xml version="1.0"?>\n<hardware>\n  <cpu count="1"/>\n  <board type="%s" rev="2"/>\n</hardware>\n' \
  "$board" >"$items/boot/hw_req.xml"

bytes "$items/inskrn/vmlinuz" 524288
bytes "$items/insram/ramdisk.gz" 1048576
printf 'vmlinuz;%d;BIN;1046016;1046016\nramdisk.gz;%d;RAMDISK;5242880;0;boot;0;BOOT;0;1046016\n' \
  "$(stat -c %s "$items/inskrn/vmlinuz")" "$(stat -c %s "$items/insram/ramdisk.gz")" >"$items/inskrn/pemrocom"

for c in fr de gb it; do bytes "$items/countries/${marker}_$c.tgz" 16384; done
# Packages of uneven sizes, so that the copy crosses transfer boundaries.
n=0 left=$((payload_kib * 1024))
while [ "$left" -gt 0 ]; do
  n=$((n + 1))
  size=$(( (n * 389 % 7 + 1) * 65536 + n * 4093 ))
  [ "$size" -gt "$left" ] && size=$left
  bytes "$items/packages/pkg$(printf %02d "$n").tgz" "$size"
  left=$((left - size))
done
echo "$folder"
