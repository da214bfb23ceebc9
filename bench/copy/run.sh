#!/usr/bin/env bash
# The server's row reading and row loading alone, for working on them: one sample database of ROWS rows
# (default 1,000,000), then RUNS rounds (default 3) of, in turn,
#   save     velabackup save          vs  pg_dump -Fc
#   restore  velabackup restore       vs  createdb + pg_restore
# each printed as it comes, seconds of wall time and of the client's CPU. PROFILE=save or PROFILE=restore
# records one more run of that side under perf into $PWD/perf-<side>.data.
#
# Uses the running cluster that PGHOST / PGPORT / PGUSER name (scripts/pg_cluster.sh start).
set -euo pipefail
cd "$(dirname "$0")/../.."
rows="${1:-1000000}"
runs="${RUNS:-3}"
velabackup="$PWD/${BUILD_DIR:-build}/velabackup"
bin="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
server() { echo "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=$1;UserID=$PGUSER"; }
drop() { for name in "$@"; do PGOPTIONS="-c client_min_messages=warning" "$bin/dropdb" --if-exists "$name"; done; }
timed() { /usr/bin/time -f "%e s wall %U+%S s cpu %M kB" -o "$work/time" "$@" >/dev/null; cat "$work/time"; }

db=vela_copy_$rows
if ! "$bin/psql" -Atc "select 1" "$db" >/dev/null 2>&1; then
  "$velabackup" sample -c "$(server "$db")" --rows "$rows" >/dev/null
fi
"$bin/pg_dump" -Fc -d "$db" -f "$work/dump.pgc"
for ((i = 1; i <= runs; ++i)); do
  rm -f "$work/backup.vbk"
  echo "save     velabackup $(timed "$velabackup" save -c "$(server "$db")" -f "$work/backup.vbk" --quiet)"
  echo "         pg_dump    $(timed "$bin/pg_dump" -Fc -d "$db" -f "$work/dump2.pgc")"
  drop vela_copy_vb vela_copy_pg
  echo "restore  velabackup $(timed "$velabackup" restore -c "$(server vela_copy_vb)" -f "$work/backup.vbk" --quiet)"
  echo "         pg_restore $(timed sh -c "'$bin/createdb' vela_copy_pg && '$bin/pg_restore' -d vela_copy_pg '$work/dump.pgc'")"
done
case "${PROFILE:-}" in
  save)
    rm -f "$work/backup.vbk"
    perf record -g -o "$PWD/perf-save.data" "$velabackup" save -c "$(server "$db")" -f "$work/backup.vbk" --quiet ;;
  restore)
    drop vela_copy_vb
    perf record -g -o "$PWD/perf-restore.data" "$velabackup" restore -c "$(server vela_copy_vb)" \
      -f "$work/backup.vbk" --quiet ;;
esac
drop vela_copy_vb vela_copy_pg
