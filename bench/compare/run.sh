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
before="$(realpath "$1")"
after="$(realpath "$2")"
source "$(dirname "$0")/../lib.sh"
rows="${3:-1000000}"
runs="${4:-3}"
work="$(mktemp -d)"
bench_pg_bin
cleanup() {
  bench_cluster_stop
  rm -rf "$work"
}
trap cleanup EXIT
if [ -n "$pg_bin" ]; then bench_cluster_start 55435; fi

file() { jet "$work/$1"; }

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
many_tables_sql 200 100 >"$work/small.sql"
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

if [ -n "$pg_bin" ]; then
  echo "server database"
  pg_drop vela_cmp_sample
  pg_drop vela_cmp_small
  "$before" restore -c "$(srv vela_cmp_sample)" -f "$work/sample.vbk" --quiet
  "$pg_bin/createdb" vela_cmp_small
  to_server_sql <"$work/small.sql" | "$pg_bin/psql" -q -d vela_cmp_small >/dev/null
  "$before" save -c "$(srv vela_cmp_sample)" -f "$work/ssample.vbk" --quiet
  "$before" save -c "$(srv vela_cmp_small)" -f "$work/ssmall.vbk" --quiet
  compare "save, $rows rows" "rm -f $work/out.vbk" {} save -c "$(srv vela_cmp_sample)" -f "$work/out.vbk" \
    --quiet
  compare "restore, $rows rows" "pg_drop vela_cmp_new" {} restore -c "$(srv vela_cmp_new)" -f "$work/ssample.vbk" \
    --quiet
  compare "save, 200 tables x 100 rows" "rm -f $work/out.vbk" {} save -c "$(srv vela_cmp_small)" \
    -f "$work/out.vbk" --quiet
  compare "restore, 200 tables x 100 rows" "pg_drop vela_cmp_new" {} restore -c "$(srv vela_cmp_new)" \
    -f "$work/ssmall.vbk" --quiet
  pg_drop vela_cmp_new
  pg_drop vela_cmp_sample
  pg_drop vela_cmp_small
fi
