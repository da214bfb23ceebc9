#!/usr/bin/env bash
# The same comparison as run.sh, counted in instructions (valgrind's callgrind) instead of seconds: the
# counts repeat exactly for the same binaries and data, whatever else the machine is doing.
#
#   bench/backup/instructions.sh [ROWS]      (default 50,000; callgrind runs about fifty times slower)
#
# Fixed costs (catalog, archive, threads) weigh more the fewer the rows: compare at 50,000 rows or more.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
rows="${1:-50000}"
bench_host
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Instructions of one command (all its threads).
count() {
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>"$work/cg.log"
  grep -E "^summary" "$work/cg.out" | cut -d' ' -f2
}

"$velabackup" sample -c "$(jet "$work/source.db")" --rows "$rows" >/dev/null
save=$(count "$velabackup" save -c "$(jet "$work/source.db")" -f backup.vbk --quiet)
dump=$(count sqlite3 source.db ".output dump.sql" ".dump")
gzip=$(count gzip -9 -k dump.sql)
restore=$(count "$velabackup" restore -c "$(jet "$work/restored.db")" -f backup.vbk --quiet)
load=$(count sqlite3 loaded.db ".read dump.sql")

printf '%s rows, instructions\n' "$rows"
printf '  save     velabackup %14d   sqlite3 .dump + gzip -9 %14d   ratio %.2f\n' "$save" \
  "$((dump + gzip))" "$(echo "$save / ($dump + $gzip)" | bc -l)"
printf '  restore  velabackup %14d   sqlite3 new.db < dump.sql %12d   ratio %.2f\n' "$restore" "$load" \
  "$(echo "$restore / $load" | bc -l)"
