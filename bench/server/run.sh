#!/usr/bin/env bash
# Save and restore of a server database against pg_dump and pg_restore, in one run.
#
#   bench/server/run.sh [ROWS] [SMALL_ROWS]
#
# On a throwaway PostgreSQL cluster, makes the sample database with ROWS rows (default 1,000,000) in its
# table of eight mixed columns, directly on the server, then times, with peak memory from /usr/bin/time:
#   save     velabackup save (compressed)            vs  pg_dump -Fc
#   restore  velabackup restore into a new database  vs  createdb + pg_restore -d
#   direct   velabackup save --mode direct           vs  pg_dump -Fc
#            velabackup restore of that direct copy  vs  createdb + pg_restore -d with the options the
#                                                        component gives it (--no-owner --no-privileges
#                                                        --exit-on-error)
# and runs the same with SMALL_ROWS (default ROWS/10) to show that memory does not grow with the rows.
#
# The cluster lives in $VELA_PG_DIR on port $VELA_PG_PORT (defaults: a fresh folder under /tmp, port
# 55434), beside the test cluster; it is stopped on exit unless it was running before.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
rows="${1:-1000000}"
small="${2:-$((rows / 10))}"
bench_host
bench_pg_bin
[ -n "$pg_bin" ] || { echo "bench: PostgreSQL not found; run scripts/setup.sh" >&2; exit 1; }
work="$(mktemp -d)"
# The server's backup folder of the direct copies goes with the rest.
export XDG_STATE_HOME="$work/state"
cleanup() {
  bench_cluster_stop
  rm -rf "$work"
}
trap cleanup EXIT
bench_cluster_start 55434


# The sample database on the server: made there directly, or, where the server cannot make it yet,
# made as a file and restored onto the server.
sample() {
  local n="$1" db="$2" dir="$3"
  if "$velabackup" sample -c "$(srv "$db")" --rows "$n" >/dev/null 2>"$dir/sample.err"; then
    return
  fi
  echo "  (velabackup sample on the server failed: $(head -n 1 "$dir/sample.err"); restoring a file sample)"
  pg_drop "$db"
  "$velabackup" sample -c "$dir/sample.db" --rows "$n" >/dev/null
  "$velabackup" save -c "$dir/sample.db" -f "$dir/sample.vbk" --quiet
  "$velabackup" restore -c "$(srv "$db")" -f "$dir/sample.vbk" --quiet
  rm -f "$dir/sample.db" "$dir/sample.vbk"
}

run() {
  local n="$1" dir="$work/$1"
  local db="vela_bench_$n" vb="vela_bench_${n}_vb" pg="vela_bench_${n}_pg"
  mkdir -p "$dir"
  pg_drop "$db" "$vb" "$pg"
  sample "$n" "$db" "$dir"
  read -r save_s save_kb < <(measure "$velabackup" save -c "$(srv "$db")" -f "$dir/backup.vbk" --quiet)
  read -r dump_s dump_kb < <(measure "$pg_bin/pg_dump" -Fc -d "$db" -f "$dir/dump.pgc")
  read -r restore_s restore_kb < <(measure "$velabackup" restore -c "$(srv "$vb")" -f "$dir/backup.vbk" \
    --quiet)
  read -r load_s load_kb < <(measure sh -c "'$pg_bin/createdb' '$pg' && '$pg_bin/pg_restore' -d '$pg' '$dir/dump.pgc'")
  pg_drop "$vb" "$pg"
  read -r direct_s direct_kb < <(measure "$velabackup" save -c "$(srv "$db")" -f "$dir/direct.vbk" \
    --mode direct --quiet)
  read -r direct_restore_s direct_restore_kb < <(measure "$velabackup" restore -c "$(srv "$vb")" \
    -f "$dir/direct.vbk" --quiet)
  read -r load2_s load2_kb < <(measure sh -c "'$pg_bin/createdb' -T template0 '$pg' && '$pg_bin/pg_restore' \
    --no-owner --no-privileges --exit-on-error -d '$pg' '$dir/dump.pgc'")
  local vbk pgc
  vbk=$(stat -c %s "$dir/backup.vbk")
  pgc=$(stat -c %s "$dir/dump.pgc")
  printf '%s rows\n' "$n"
  printf '  save     velabackup %7.2f s %8d kB peak   pg_dump -Fc %7.2f s %8d kB peak   ratio %.2f\n' \
    "$save_s" "$save_kb" "$dump_s" "$dump_kb" "$(echo "$save_s / $dump_s" | bc -l)"
  printf '           archive %d bytes   dump %d bytes   size ratio %.2f\n' "$vbk" "$pgc" \
    "$(echo "$vbk / $pgc" | bc -l)"
  printf '  restore  velabackup %7.2f s %8d kB peak   pg_restore  %7.2f s %8d kB peak   ratio %.2f\n' \
    "$restore_s" "$restore_kb" "$load_s" "$load_kb" "$(echo "$restore_s / $load_s" | bc -l)"
  printf '  direct   save %7.2f s %8d kB peak   pg_dump -Fc %7.2f s   ratio %.2f\n' \
    "$direct_s" "$direct_kb" "$dump_s" "$(echo "$direct_s / $dump_s" | bc -l)"
  printf '           restore %7.2f s %8d kB peak   pg_restore  %7.2f s   ratio %.2f   archive %d bytes\n' \
    "$direct_restore_s" "$direct_restore_kb" "$load2_s" "$(echo "$direct_restore_s / $load2_s" | bc -l)" \
    "$(stat -c %s "$dir/direct.vbk")"
  pg_drop "$db" "$vb" "$pg"
  rm -rf "$dir"
}

echo "machine: $(nproc) cores; $("$pg_bin/postgres" --version)"
run "$small"
run "$rows"
