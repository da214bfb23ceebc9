#!/usr/bin/env bash
# Save and restore of the many-tables file database against the sqlite3 shell, each pair timed in turn.
#
#   bench/filetables/run.sh [TABLES] [ROWS] [RUNS]
#
# Makes TABLES tables of ROWS rows (default 200 x 100) as another program writes them and, with --own
# declarations, as the provider writes them (make_many.py), then prints per database the median of RUNS
# (default 3) runs of
#   save     velabackup save (compressed)         vs  sqlite3 db .dump | gzip -9
#   restore  velabackup restore into a new file   vs  sqlite3 new.db < dump.sql
# with the ratios, the syncs and lock calls of one restore (strace -c, where installed) and the restored
# file's size against the source's. VELABACKUP names another build of the host to measure.
set -euo pipefail
cd "$(dirname "$0")/../.."
tables="${1:-200}"
rows="${2:-100}"
runs="${3:-3}"
velabackup="${VELABACKUP:-$PWD/${BUILD_DIR:-build}/velabackup}"
here="$PWD/bench/filetables"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
file() { echo "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=$1"; }
seconds() { /usr/bin/time -f "%e" -o "$work/time" "$@" >/dev/null 2>&1; cat "$work/time"; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

run() {
  local kind="$1" db="$work/$1.db"
  python3 "$here/make_many.py" "$db" "$tables" "$rows" ${2:-}
  sqlite3 "$db" .dump > "$work/dump.sql"
  local s v r l
  for _ in $(seq "$runs"); do
    rm -f "$work/b.vbk" "$work/r.db" "$work/l.db"
    s=$(seconds "$velabackup" save -c "$(file "$db")" -f "$work/b.vbk" --quiet)
    v=$(seconds sh -c "sqlite3 '$db' .dump | gzip -9 > '$work/dump.sql.gz'")
    r=$(seconds "$velabackup" restore -c "$(file "$work/r.db")" -f "$work/b.vbk" --quiet)
    l=$(seconds sh -c "sqlite3 '$work/l.db' < '$work/dump.sql'")
    echo "$s $v $r $l"
  done > "$work/times"
  s=$(cut -d' ' -f1 "$work/times" | median); v=$(cut -d' ' -f2 "$work/times" | median)
  r=$(cut -d' ' -f3 "$work/times" | median); l=$(cut -d' ' -f4 "$work/times" | median)
  printf '%s: %s tables x %s rows\n' "$kind" "$tables" "$rows"
  printf '  save     velabackup %5.2f s   sqlite3 .dump | gzip -9   %5.2f s   ratio %.2f\n' "$s" "$v" \
    "$(echo "$s / $v" | bc -l)"
  printf '  restore  velabackup %5.2f s   sqlite3 new.db < dump.sql %5.2f s   ratio %.2f\n' "$r" "$l" \
    "$(echo "$r / $l" | bc -l)"
  printf '  restored file %d bytes, source %d bytes: %.3f\n' "$(stat -c %s "$work/r.db")" \
    "$(stat -c %s "$db")" "$(echo "$(stat -c %s "$work/r.db") / $(stat -c %s "$db")" | bc -l)"
  if command -v strace >/dev/null; then
    rm -f "$work/r.db"
    strace -f -c -o "$work/strace" "$velabackup" restore -c "$(file "$work/r.db")" -f "$work/b.vbk" --quiet
    printf '  one restore: %s fsync, %s fcntl calls\n' \
      "$(awk '$NF == "fsync" {print $4}' "$work/strace" | head -1)" \
      "$(awk '$NF == "fcntl" {print $4}' "$work/strace" | head -1)"
  fi
}

echo "machine: $(nproc) cores; sqlite3 $(sqlite3 --version | cut -d' ' -f1)"
run other
run own --own
