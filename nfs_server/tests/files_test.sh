#!/usr/bin/env bash
# files_test.sh WIN_BUILD SELDRIX_EXE FILES_TEST [OBJECTS]
# Seldrix.exe under Wine in a network namespace of its own, serving (by a linked path) a folder that
# holds links leading in and out of it and a folder of OBJECTS files (default 30000), against the native
# raw-RPC client FILES_TEST, which restarts the server through $SELDRIX_RESTART.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win_build=$1 exe=$2 client=$3 objects=${4:-30000}
if [ "${FILES_TEST_INSIDE:-}" != 1 ]; then
  export FILES_TEST_INSIDE=1
  exec "$here/../../tools/wine/wine-netns.sh" "$win_build" "$0" "$@"
fi
# The client's restart: the server ends, its ports come free, it starts again on the same folder.
if [ -n "${FILES_TEST_RESTART:-}" ]; then
  kill "$(cat "$SELDRIX_PID_FILE")"
  free() { [ -z "$(ss -Hlun 'sport = :2049')$(ss -Hltn 'sport = :111')" ]; }
  for _ in $(seq 600); do free && break; sleep 0.1; done
  exec "$here/start_seldrix.sh" "$exe" "$FILES_TEST_RESTART" ""
fi
root=$(mktemp -d /tmp/seldrix-files.XXXXXX)
outside=$(mktemp -d /tmp/seldrix-outside.XXXXXX)
export SELDRIX_PID_FILE=$root.pid
trap 'rm -rf "$root" "$root.link" "$outside" "$SELDRIX_PID_FILE"' EXIT
mkdir -p "$root/in" "$outside/dir/empty" "$root/many"
echo inside >"$root/in/f.txt"
echo secret >"$outside/secret.txt"
echo kept >"$outside/dir/kept.txt"
ln -s "$outside/dir" "$root/outdir"
ln -s "$outside/secret.txt" "$root/outfile"
ln -s "$outside/dir/empty" "$root/outempty"
ln -s ../in "$root/in/up"
ln -s in "$root/indir"
ln -s in/f.txt "$root/infile"
(cd "$root/many" && seq -f 'f-%05g' 1 "$objects" | xargs touch)
# A relative link that leads inside until a rename moves its folder one level up, and the short name of
# the folder whose place it takes.
mkdir -p "$root/longdirectory-a/data" "$root/deep/stage" "$root/${outside##*/}/dir"
echo inside >"$root/longdirectory-a/data/kept.txt"
echo inside >"$root/${outside##*/}/dir/kept.txt"
ln -s "../../${outside##*/}/dir" "$root/deep/stage/data"
short=$("$WINE" winepath -s "$root/longdirectory-a")
# A folder reached through a link, and one holding a link out that a rename can put in its place.
mkdir -p "$root/linked" "$root/staged"
echo inside >"$root/linked/g.txt"
ln -s linked "$root/tolinked"
ln -s "$outside/secret.txt" "$root/staged/g.txt"
# Links to a file and to a folder inside, for renames.
mkdir -p "$root/target"
echo inside >"$root/target/t.txt"
ln -s target/t.txt "$root/tofile"
ln -s target "$root/tofolder"
mkdir -p "$root/emptytarget"
ln -s emptytarget "$root/toempty"
export SELDRIX_SHORT_NAME=${short##*/}

# Served by a path that is itself a link, as a root under a linked "Documents" folder is.
ln -s "$root" "$root.link"
"$here/start_seldrix.sh" "$exe" "$root.link" ""
SELDRIX_OUTSIDE=$outside SELDRIX_OBJECTS=$objects \
  SELDRIX_RESTART="FILES_TEST_RESTART=$root.link $0 $win_build $exe $client" "$client"
