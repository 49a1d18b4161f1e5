#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent: does nothing
# (not even apt-get update) when all of them are present already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-utils
  googletest libgtest-dev libgmock-dev
  zlib1g-dev libz-mingw-w64-dev libiptc-dev iptables
  libnfs-utils libnfs-dev rpcbind nfs-ganesha nfs-ganesha-vfs
  e2fsprogs iproute2 util-linux procps psmisc
  imagemagick
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # rpcbind is wanted for rpcinfo only: keep its service from starting at install time.
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  $SUDO rm -f /usr/sbin/policy-rc.d
fi

# Never leave a portmapper running on the host: the NFS server's tests bind port 111 in their own namespaces,
# and a host rpcbind would answer rpcinfo calls meant for them.
if command -v systemctl >/dev/null 2>&1; then
  systemctl stop rpcbind.socket rpcbind.service >/dev/null 2>&1 || true
fi
pkill -x rpcbind >/dev/null 2>&1 || true

# Packet-filter tests use the legacy back end, which is what libiptc drives.
if [ -x /usr/sbin/iptables-legacy ] && command -v update-alternatives >/dev/null; then
  update-alternatives --set iptables /usr/sbin/iptables-legacy >/dev/null 2>&1 || true
fi
exit 0
