# shellcheck shell=bash
# Pieces the benchmark scripts under bench/ share. Source it from a script's own folder:
#
#   source "$(dirname "$0")/../lib.sh"      (bench/run.sh: "$(dirname "$0")/lib.sh")
#
# It moves to the repository's top folder and sets $root. The functions that time or write files use
# $work, the script's own temporary folder, which the script makes and removes.

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
root="$PWD"

# The host, built in Release in $BUILD_DIR (default build) when it is not there yet; sets $velabackup.
bench_host() {
  local build="${BUILD_DIR:-build}"
  if [ ! -x "$build/velabackup" ]; then
    echo "bench: building velabackup (Release) in $build" >&2
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target velabackup_cli -j "$(nproc)" >/dev/null
  fi
  velabackup="$(realpath "$build/velabackup")"
}

# The newest installed PostgreSQL's programs; sets $pg_bin, empty when PostgreSQL is not installed.
bench_pg_bin() {
  pg_bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
  [ -x "$pg_bin/pg_ctl" ] && [ -x "$pg_bin/pg_dump" ] || pg_bin=""
}

# Starts the benchmark's throwaway cluster in $VELA_PG_DIR on $VELA_PG_PORT (defaults: a fresh folder
# under /tmp and port DEFAULT_PORT) and exports PGHOST, PGPORT and PGUSER. Sets $pg_ours to 1 when this
# run started it, so that bench_cluster_stop leaves a cluster that was running before alone.
bench_cluster_start() {
  export VELA_PG_DIR="${VELA_PG_DIR:-$(mktemp -u /tmp/vela-pg-bench-XXXXXX)}"
  export VELA_PG_PORT="${VELA_PG_PORT:-$1}"
  pg_ours=1
  [ -f "$VELA_PG_DIR/data/postmaster.pid" ] && pg_ours=0
  eval "$("$root/scripts/pg_cluster.sh" start)"
}
bench_cluster_stop() {
  if [ "${pg_ours:-0}" = 1 ]; then "$root/scripts/pg_cluster.sh" stop; fi
  pg_ours=0
}

# Connection strings: a file database at PATH, a server database named NAME on the cluster.
jet() { echo "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=$1"; }
srv() { echo "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=$1;UserID=$PGUSER"; }

# Drops server databases, quietly when they are not there.
pg_drop() {
  local name
  for name in "$@"; do PGOPTIONS="-c client_min_messages=warning" "$pg_bin/dropdb" --if-exists "$name"; done
}

# Runs a command with its output discarded; prints "seconds peak_kB" (wall time to the millisecond, the
# peak resident memory of the command or, for a pipeline under sh -c, of its largest process). Returns
# the command's exit status.
measure() {
  local start end status=0
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$work/time" "$@" >/dev/null 2>"$work/measure.err" || status=$?
  end=$(date +%s%N)
  printf '%d.%03d %s\n' $(((end - start) / 1000000000)) $((((end - start) / 1000000) % 1000)) \
    "$(tail -n 1 "$work/time" | grep -Eo '^[0-9]+$' || echo 0)"
  return "$status"
}

# A / B with two decimals.
ratio() { echo "scale=4; $1 / $2" | bc -l | xargs printf '%.2f'; }

# SQL for COUNT tables t1..tCOUNT of four columns (integer key, text, double, date and time), in the file
# engine's words; table i gets ROWS rows, where ROWS is an arithmetic expression of i (for example 100,
# or "i * i * 150"). Pipe it through to_server_sql for the server.
many_tables_sql() {
  local count="$1" rows="$2" i
  echo "BEGIN;"
  for ((i = 1; i <= count; i++)); do
    echo "CREATE TABLE t$i (id INTEGER PRIMARY KEY, name VARCHAR(40), amount DOUBLE, made DATETIME);"
    echo "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < $((rows)))"
    echo "INSERT INTO t$i SELECT x, 'name ' || x, x * 1.5, '2024-01-01 10:00:00' FROM n;"
  done
  echo "COMMIT;"
}
to_server_sql() { sed -e 's/DOUBLE/double precision/; s/DATETIME/timestamp/'; }
