#!/usr/bin/env bash
# Two builds of velabackup timed against each other on the same data, each pair run in turn, so that a
# change can be checked for what it costs:
#
#   bench/compare/run.sh BEFORE AFTER [ROWS] [RUNS]
#
# BEFORE and AFTER are velabackup executables. Data: the sample database with ROWS rows (default
# 1,000,000) and a database of 200 tables of 100 rows, as a file and, when the server's tools are here,
# on a throwaway PostgreSQL cluster ($VELA_PG_DIR, port $VELA_PG_PORT, default 55435). For each operation
# prints the median of RUNS runs (default 3) of each build and their ratio AFTER / BEFORE.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"
before="$(realpath "$1")"
after="$(realpath "$2")"
rows="${3:-1000000}"
runs="${4:-3}"
work="$(mktemp -d)"
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
server=0
if [ -x "$bin/pg_ctl" ]; then
  server=1
  export VELA_PG_DIR="${VELA_PG_DIR:-$(mktemp -u /tmp/vela-pg-compare-XXXXXX)}"
  export VELA_PG_PORT="${VELA_PG_PORT:-55435}"
fi
ours=0
cleanup() {
  if [ "$ours" = 1 ]; then "$root/scripts/pg_cluster.sh" stop; fi
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$server" = 1 ]; then
  [ -f "$VELA_PG_DIR/data/postmaster.pid" ] || ours=1
  eval "$("$root/scripts/pg_cluster.sh" start)"
fi

file() { echo "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=$work/$1"; }
srv() { echo "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=$1;UserID=$PGUSER"; }
drop() { PGOPTIONS="-c client_min_messages=warning" "$bin/dropdb" --if-exists "$1"; }

# Seconds of one run of a command.
seconds() {
  /usr/bin/time -f "%e" -o "$work/time" "$@" >/dev/null
  cat "$work/time"
}
median() { sort -g | sed -n "$(((runs + 1) / 2))p"; }

# compare LABEL SETUP COMMAND...: SETUP runs before every run (untimed); {} in the command is the build.
compare() {
  local label="$1" setup="$2"
  shift 2
  local b=() a=() i
  for ((i = 0; i < runs; i++)); do
    for which in before after; do
      eval "$setup"
      local exe="$before"
      [ "$which" = after ] && exe="$after"
      local args=("${@//\{\}/$exe}")
      local s
      s=$(seconds "${args[@]}")
      if [ "$which" = before ]; then b+=("$s"); else a+=("$s"); fi
    done
  done
  local mb ma
  mb=$(printf '%s\n' "${b[@]}" | median)
  ma=$(printf '%s\n' "${a[@]}" | median)
  printf '  %-34s before %7.2f s   after %7.2f s   ratio %.2f\n' "$label" "$mb" "$ma" \
    "$(echo "$ma / $mb" | bc -l)"
}

"$before" sample -c "$(file sample.db)" --rows "$rows" >/dev/null
{
  echo "BEGIN;"
  for i in $(seq 1 200); do
    echo "CREATE TABLE t$i (id INTEGER PRIMARY KEY, name VARCHAR(40), amount DOUBLE, made DATETIME);"
    echo "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 100)"
    echo "INSERT INTO t$i SELECT x, 'name ' || x, x * 1.5, '2024-01-01 10:00:00' FROM n;"
  done
  echo "COMMIT;"
} >"$work/small.sql"
sqlite3 "$work/small.db" <"$work/small.sql"
"$before" save -c "$(file sample.db)" -f "$work/sample.vbk" --quiet
"$before" save -c "$(file small.db)" -f "$work/small.vbk" --quiet

echo "machine: $(nproc) cores; $rows rows; medians of $runs runs, each pair in turn"
echo "file database"
compare "save, $rows rows" "rm -f $work/out.vbk" {} save -c "$(file sample.db)" -f "$work/out.vbk" --quiet
compare "restore, $rows rows" "rm -f $work/new.db" {} restore -c "$(file new.db)" -f "$work/sample.vbk" --quiet
compare "save, 200 tables x 100 rows" "rm -f $work/out.vbk" {} save -c "$(file small.db)" -f "$work/out.vbk" \
  --quiet
compare "restore, 200 tables x 100 rows" "rm -f $work/new.db" {} restore -c "$(file new.db)" \
  -f "$work/small.vbk" --quiet

if [ "$server" = 1 ]; then
  echo "server database"
  drop vela_cmp_sample
  drop vela_cmp_small
  "$before" restore -c "$(srv vela_cmp_sample)" -f "$work/sample.vbk" --quiet
  "$bin/createdb" vela_cmp_small
  sed -e 's/DOUBLE/double precision/; s/DATETIME/timestamp/' "$work/small.sql" |
    "$bin/psql" -q -d vela_cmp_small >/dev/null
  "$before" save -c "$(srv vela_cmp_sample)" -f "$work/ssample.vbk" --quiet
  "$before" save -c "$(srv vela_cmp_small)" -f "$work/ssmall.vbk" --quiet
  compare "save, $rows rows" "rm -f $work/out.vbk" {} save -c "$(srv vela_cmp_sample)" -f "$work/out.vbk" \
    --quiet
  compare "restore, $rows rows" "drop vela_cmp_new" {} restore -c "$(srv vela_cmp_new)" -f "$work/ssample.vbk" \
    --quiet
  compare "save, 200 tables x 100 rows" "rm -f $work/out.vbk" {} save -c "$(srv vela_cmp_small)" \
    -f "$work/out.vbk" --quiet
  compare "restore, 200 tables x 100 rows" "drop vela_cmp_new" {} restore -c "$(srv vela_cmp_new)" \
    -f "$work/ssmall.vbk" --quiet
  drop vela_cmp_new
  drop vela_cmp_sample
  drop vela_cmp_small
fi
