#!/usr/bin/env bash
# Save and restore of a file database against the sqlite3 shell, in one run.
#
#   bench/backup/run.sh [ROWS] [SMALL_ROWS]
#
# Makes the sample database with ROWS rows (default 1,000,000) in its table of eight mixed columns, then
# times, with peak memory from /usr/bin/time:
#   save     velabackup save (compressed)        vs  sqlite3 db .dump | gzip -9
#   restore  velabackup restore into a new file  vs  sqlite3 new.db < dump.sql
# and runs the same with SMALL_ROWS (default 100,000) to show that memory does not grow with the rows.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
rows="${1:-1000000}"
small="${2:-100000}"
bench_host
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

run() {
  local n="$1" dir="$work/$1"
  mkdir -p "$dir"
  local db="$dir/source.db"
  "$velabackup" sample -c "$(jet "$db")" --rows "$n" >/dev/null
  read -r save_s save_kb < <(measure "$velabackup" save -c "$(jet "$db")" -f "$dir/backup.vbk" --quiet)
  read -r dump_s dump_kb < <(measure sh -c "sqlite3 '$db' .dump | gzip -9 > '$dir/dump.sql.gz'")
  read -r restore_s restore_kb < <(measure "$velabackup" restore -c "$(jet "$dir/restored.db")" \
    -f "$dir/backup.vbk" --quiet)
  sqlite3 "$db" .dump > "$dir/dump.sql"
  read -r load_s load_kb < <(measure sh -c "sqlite3 '$dir/loaded.db' < '$dir/dump.sql'")
  local vbk gz
  vbk=$(stat -c %s "$dir/backup.vbk")
  gz=$(stat -c %s "$dir/dump.sql.gz")
  printf '%s rows\n' "$n"
  printf '  save     velabackup %6.2f s %7d kB peak   sqlite3 .dump | gzip -9 %6.2f s   ratio %.2f\n' \
    "$save_s" "$save_kb" "$dump_s" "$(echo "$save_s / $dump_s" | bc -l)"
  printf '           archive %d bytes   dump.sql.gz %d bytes   size ratio %.2f\n' "$vbk" "$gz" \
    "$(echo "$vbk / $gz" | bc -l)"
  printf '  restore  velabackup %6.2f s %7d kB peak   sqlite3 new.db < dump.sql %6.2f s   ratio %.2f\n' \
    "$restore_s" "$restore_kb" "$load_s" "$(echo "$restore_s / $load_s" | bc -l)"
  rm -rf "$dir"
}

echo "machine: $(nproc) cores; sqlite3 $(sqlite3 --version | cut -d' ' -f1)"
run "$small"
run "$rows"
