#!/usr/bin/env bash
# The throwaway PostgreSQL cluster of the tests: initdb into a temporary folder, run as the postgres
# user (PostgreSQL refuses root), listening on a unix socket in that folder and on 127.0.0.1 (a server
# reached by address, as one on another computer is).
#
#   scripts/pg_cluster.sh start   prints the environment to use (PGHOST, PGPORT, PGUSER)
#   scripts/pg_cluster.sh stop
#   scripts/pg_cluster.sh crash   stops the server at once, as a power cut would, keeping its files
#   scripts/pg_cluster.sh resume  starts a crashed server again on its files
# The folder is $VELA_PG_DIR (default /tmp/vela-pg-test).
set -euo pipefail
dir="${VELA_PG_DIR:-/tmp/vela-pg-test}"
port="${VELA_PG_PORT:-55432}"
options="-k '$dir' -p $port -c listen_addresses='127.0.0.1' -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
[ -n "$bin" ] || { echo "pg_cluster: PostgreSQL server binaries not found" >&2; exit 1; }

as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then su postgres -s /bin/sh -c "$*"; else sh -c "$*"; fi
}

case "${1:-}" in
  start)
    if [ -f "$dir/data/postmaster.pid" ] && as_postgres "'$bin/pg_ctl' -D '$dir/data' status" >/dev/null 2>&1; then
      :
    else
      rm -rf "$dir"
      mkdir -p "$dir"
      [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$dir"
      as_postgres "'$bin/initdb' -D '$dir/data' -U postgres -A trust -E UTF8 --locale=C.UTF-8 >'$dir/initdb.log' 2>&1"
      as_postgres "'$bin/pg_ctl' -D '$dir/data' -l '$dir/server.log' -w -o \"$options\" start >/dev/null"
    fi
    echo "export PGHOST='$dir' PGPORT='$port' PGUSER=postgres"
    ;;
  stop)
    if [ -d "$dir/data" ]; then
      as_postgres "'$bin/pg_ctl' -D '$dir/data' -m fast -w stop >/dev/null 2>&1" || true
    fi
    rm -rf "$dir"
    ;;
  crash)
    as_postgres "'$bin/pg_ctl' -D '$dir/data' -m immediate -w stop >/dev/null"
    ;;
  resume)
    as_postgres "'$bin/pg_ctl' -D '$dir/data' -l '$dir/server.log' -w -o \"$options\" start >/dev/null"
    ;;
  *)
    echo "usage: $0 start|stop|crash|resume" >&2
    exit 64
    ;;
esac
