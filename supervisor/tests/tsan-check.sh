#!/usr/bin/env bash
# tsan-check.sh LOGDIR -- COMMAND [ARGS...]
#
# Runs COMMAND with ThreadSanitizer's output of every process it starts written to files in LOGDIR
# (emptied first), since the daemon's standard error is the board's console. Any such file fails the run,
# its text printed. A process whose main thread has ended (the daemon) cannot name its own frames; they
# are named here from the module's file.
set -uo pipefail
logs=$1
shift
[ "${1:-}" = "--" ] && shift
rm -rf "$logs" && mkdir -p "$logs" || exit 2
export TSAN_OPTIONS="${TSAN_OPTIONS:-} log_path=$logs/tsan stack_trace_format=\"    #%n %f %S (%m+%o)\""
"$@"
status=$?

frame='^( +#[0-9]+) <null> <null> \((/[^+]+)\+(0x[0-9a-f]+)\)$'
shopt -s nullglob
reports=("$logs"/tsan.*)
for report in "${reports[@]}"; do
  echo "---- $report"
  while IFS= read -r line; do
    if [[ $line =~ $frame ]] && where=$(addr2line -f -C -i -p -e "${BASH_REMATCH[2]}" "${BASH_REMATCH[3]}") &&
       [[ $where != "?? "* ]]; then
      line="${BASH_REMATCH[1]} $where (${BASH_REMATCH[2]}+${BASH_REMATCH[3]})"
    fi
    printf '%s\n' "$line"
  done <"$report"
done
if [ ${#reports[@]} -gt 0 ]; then
  echo "tsan-check: ThreadSanitizer wrote ${#reports[@]} file(s), above" >&2
  exit 1
fi
exit $status
