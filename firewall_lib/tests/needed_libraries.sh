#!/usr/bin/env bash
# needed_libraries.sh LIBRARY: the library names only the C and C++ runtime as needed libraries, leaves
# the table library's functions and globals and the board application's pieces undefined, and can be
# unloaded.
set -euo pipefail
lib=$1
status=0
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
  case $n in
    libc.so.*|libstdc++.so.*|libm.so.*|libgcc_s.so.*) ;;
    *) echo "unexpected needed library: $n"; status=1 ;;
  esac
done
undefined=$(nm -D --undefined-only "$lib" | awk '{print $NF}')
for symbol in iptc_init iptc_is_chain iptc_append_entry iptc_delete_entry iptc_commit iptc_strerror \
              iptc_free program_name program_version pmrnetconf_getdevice; do
  grep -qx "$symbol" <<<"$undefined" || { echo "$symbol is not left to the program"; status=1; }
done
grep -q 'getAddress' <<<"$(nm -DC --undefined-only "$lib")" || { echo "getAddress is not left to the program"; status=1; }
# A unique (STB_GNU_UNIQUE) symbol keeps the library mapped after the last dlclose.
unique=$(nm -D --defined-only "$lib" | awk '$2 == "u" {print $3}')
[ -z "$unique" ] || { echo "exported unique symbols: $unique"; status=1; }
[ $status -eq 0 ] && echo "needed: $needed"
exit $status
