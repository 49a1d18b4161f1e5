#!/usr/bin/env bash
# full_disk_test.sh WIN_BUILD TEST_EXE
# The wizard's copy into a full boot folder: the boot folder beside the test program becomes a 64 KiB file
# system in a mount namespace of this test's own. Wine's server opens the files, so the test runs with a
# wineserver of its own inside that namespace (wine-netns.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${FULL_DISK_INSIDE:-}" != 1 ]; then
  export FULL_DISK_INSIDE=1
  exec unshare --mount --propagation private -- "$0" "$@"
fi
build=$1 test=$2
boot="$(dirname "$test")/tftpboot"
mkdir -p "$boot"
mount -t tmpfs -o size=64k tavi-full-boot-folder "$boot"
exec "$here/../../tools/wine/wine-netns.sh" "$build" \
  bash -c '"$WINE" "$0" --gtest_filter="WizardTest.ACopyIntoAFullBootFolder*"' "$test"
