#!/usr/bin/env bash
# run-tests.sh HOST_BUILD WIN_BUILD: runs both toolchains' suites, prints each summary, and fails when
# either has a failure. The Wine session of the Windows tree is started first and ended last.
set -u
host=$1 win=$2
jobs=$(nproc)
here=$(cd "$(dirname "$0")" && pwd)
status=0

echo "== host tests"
ctest --test-dir "$host" -j "$jobs" --output-on-failure --timeout 600 || status=1

echo "== Windows tests (Wine)"
if "$here/wine/wine-session.sh" ensure "$win"; then
  ctest --test-dir "$win" -j "$jobs" --output-on-failure --timeout 600 || status=1
else
  echo "the Wine session did not start"
  status=1
fi
"$here/wine/wine-session.sh" stop "$win"

if [ $status -eq 0 ]; then echo "== all suites passed"; else echo "== FAILURES above"; fi
exit $status
