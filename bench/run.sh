#!/usr/bin/env bash
# VelaBackup next to the engines' own tools, every comparison in one run, printed as one table:
#
#   bench/run.sh [--quick] [--runs N] [--rows N] [--no-server] [--dry-run]
#
#   --quick      smaller sizes, to try the command (about a minute)
#   --runs N     time each pair N times in turn and show medians (default 1; 3 for figures to keep)
#   --rows N     rows of the single-table sample (default 1,000,000; --quick: 100,000)
#   --no-server  file databases only
#   --dry-run    print what would be measured and stop, without building or starting anything
#
# Rows of the table (see bench/README.md): the single-table sample (`velabackup sample`) saved and
# restored on both engines, 200 tables of 100 rows, a shop database of 15 tables with keys, views and
# sequences, a database of 20 tables of different sizes with --jobs 1 and --jobs $(nproc) against
# pg_dump -Fd -j / pg_restore -j, one row with a 50 MiB blob and a 20 MiB text (peak memory as a multiple
# of the largest value), and the work folder at its fullest during save and restore. Time and peak
# memory come from /usr/bin/time, each pair run in turn on the same data.
#
# Server rows run on a throwaway PostgreSQL cluster in $VELA_PG_DIR on port $VELA_PG_PORT (defaults: a
# fresh folder under /tmp, port 55436), stopped at the end unless it was running before; without
# PostgreSQL they are skipped. The host is $BUILD_DIR/velabackup (default build), built in Release when it
# is missing. Everything the run makes goes at the end, also on Ctrl-C.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

quick=0
runs=1
rows=""
server=1
dry=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --runs) runs="${2:?--runs needs a number}"; shift ;;
    --rows) rows="${2:?--rows needs a number}"; shift ;;
    --no-server) server=0 ;;
    --dry-run) dry=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$root/bench/run.sh" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown option $1 (see bench/run.sh --help)" >&2; exit 64 ;;
  esac
  shift
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --runs takes a positive number" >&2; exit 64; }

# Sizes: the single-table sample's rows, the many-tables database, the 20 tables of the jobs rows (table i
# holds i * i * jobs_unit rows), the large row's blob and text in MiB.
cores="$(nproc)"
if [ "$quick" = 1 ]; then
  rows="${rows:-100000}" many=50 jobs_unit=15 blob_mib=10 text_mib=4
else
  rows="${rows:-1000000}" many=200 jobs_unit=150 blob_mib=50 text_mib=20
fi
[[ "$rows" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --rows takes a positive number" >&2; exit 64; }
jobs_rows=$((2870 * jobs_unit)) # the sum of i * i for i = 1..20, times jobs_unit
largest=$((blob_mib * 1048576))
# A number with thousands separators.
thousands() { echo "$1" | sed -e ':a' -e 's/\B[0-9]\{3\}\>/,&/' -e 'ta'; }
rows_text="$(thousands "$rows")"

plan() {
  local cluster="a cluster in ${VELA_PG_DIR:-a fresh folder} on port ${VELA_PG_PORT:-55436}"
  [ "$server" = 1 ] || cluster="skipped (--no-server)"
  cat <<EOF
host: ${BUILD_DIR:-build}/velabackup (built in Release when missing); $runs run(s) per pair
single table: the sample of $rows_text rows, file and server: save, archive size, restore, restored size
many tables: $many tables x 100 rows, file and server; the shop database (15 tables, 49,638 rows)
jobs: 20 tables, $(thousands "$jobs_rows") rows, file and server, --jobs 1 and $cores against sqlite3, pg_dump -Fd -j, pg_restore -j
large row: a $blob_mib MiB blob and a $text_mib MiB text, peak memory of save and restore, file and server
work folder: at its fullest during save and restore: the sample (file), the 20 tables (file and server)
server: $cluster
EOF
}
if [ "$dry" = 1 ]; then
  plan
  exit 0
fi

command -v sqlite3 >/dev/null || { echo "bench: the sqlite3 shell is missing (Debian package sqlite3)" >&2; exit 1; }
command -v bc >/dev/null && [ -x /usr/bin/time ] || { echo "bench: needs bc and /usr/bin/time" >&2; exit 1; }

work="$(mktemp -d /tmp/vela-bench-XXXXXX)"
export XDG_STATE_HOME="$work/state"
poller=""
pg_bin=""
[ "$server" = 1 ] && bench_pg_bin
cleanup() {
  trap - EXIT INT TERM
  [ -n "$poller" ] && kill "$poller" 2>/dev/null
  if [ -n "$pg_bin" ] && [ -n "${PGHOST:-}" ]; then
    if [ "${pg_ours:-0}" = 1 ]; then
      bench_cluster_stop
    else
      local name
      for name in $("$pg_bin/psql" -d postgres -Atc "SELECT datname FROM pg_database WHERE datname LIKE 'vela_run_%'" \
        2>/dev/null); do pg_drop "$name" 2>/dev/null || true; done
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "bench: interrupted" >&2; exit 130' INT TERM

say() { echo "bench: $*" >&2; }

# ---- the table ----------------------------------------------------------------------------------------

table=()
# row OPERATION OURS PEER RATIO GOAL: GOAL is "<= X" (or "-"); met is whether RATIO is at most X.
row() {
  local met="-" goal="${5#<= }"
  goal="${goal%x}"
  if [[ "$4" =~ ^[0-9.]+x?$ ]] && [ "$5" != "-" ]; then
    met=no
    [ "$(echo "${4%x} <= $goal" | bc -l)" = 1 ] && met=yes
  fi
  table+=("| $1 | $2 | $3 | $4 | $5 | $met |")
  say "  $1: $2 | $3 | $4"
}
section() { table+=("| **$1** | | | | | |"); say "$1"; }

mib() { echo "$((($1 + 512) / 1024)) MiB"; }
size() {
  if [ "$1" -ge 1000000 ]; then printf '%.1f MB' "$(echo "$1 / 1000000" | bc -l)"; else
    printf '%.1f kB' "$(echo "$1 / 1000" | bc -l)"; fi
}

# ---- timing pairs -------------------------------------------------------------------------------------

# A command line of its arguments, quoted for the shell.
q() { printf '%q ' "$@"; }

# pair OURS_SETUP OURS PEER_SETUP PEER: shell code; each SETUP runs untimed before its command, the two run
# in turn $runs times. Sets a_s/b_s (median seconds), a_kb/b_kb (largest peak), a_err/b_err (empty when
# every run succeeded, else the failure). An empty OURS or PEER is not run.
pair() {
  local i out as=() ak=() bs=() bk=()
  a_err="" b_err=""
  for ((i = 0; i < runs; i++)); do
    if [ -n "$2" ] && [ -z "$a_err" ]; then
      eval "$1"
      if out=$(measure bash -c "$2"); then as+=("${out% *}") ak+=("${out#* }"); else
        a_err="failed: $(grep -v '^$' "$work/measure.err" | tail -n 1 | cut -c1-80)"; fi
    fi
    if [ -n "$4" ] && [ -z "$b_err" ]; then
      eval "$3"
      if out=$(measure bash -c "$4"); then bs+=("${out% *}") bk+=("${out#* }"); else
        b_err="failed: $(grep -v '^$' "$work/measure.err" | tail -n 1 | cut -c1-80)"; fi
    fi
  done
  a_s=$(median "${as[@]}") a_kb=$(largest "${ak[@]}") b_s=$(median "${bs[@]}") b_kb=$(largest "${bk[@]}")
}
median() { [ $# -gt 0 ] && printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p" || echo 0; }
largest() { [ $# -gt 0 ] && printf '%s\n' "$@" | sort -g | tail -n 1 || echo 0; }

# time_row OPERATION PEER_NAME GOAL: a row of the last pair's times.
time_row() {
  local ours="${a_err:-$(printf '%.2f s, %s' "$a_s" "$(mib "$a_kb")")}"
  local peer="$2 ${b_err:-$(printf '%.2f s, %s' "$b_s" "$(mib "$b_kb")")}"
  local r="-"
  [ -z "$a_err$b_err" ] && [ "$(echo "$b_s > 0" | bc)" = 1 ] && r=$(ratio "$a_s" "$b_s")
  row "$1" "$ours" "$peer" "$r" "$3"
}
# size_row OPERATION OURS_FILE PEER_NAME PEER_FILE GOAL
size_row() {
  if [ -f "$2" ] && [ -e "$4" ]; then
    local a b
    a=$(stat -c %s "$2")
    b=$(du -sb "$4" | cut -f1)
    row "$1" "$(size "$a")" "$3 $(size "$b")" "$(ratio "$a" "$b")" "$5"
  else
    row "$1" "-" "-" "-" "$5"
  fi
}

vb() { q "$velabackup" "$@"; echo --quiet; }
has_jobs() { "$velabackup" "$1" --help 2>&1 | grep -q -- '--jobs'; }

# ---- the databases ------------------------------------------------------------------------------------

# The shop database: 15 tables with keys, indexes and views, 49,638 rows; in the file engine's words or
# the server's (where every key is a serial column with its sequence).
shop_sql() {
  local key dbl ts
  if [ "$1" = file ]; then
    key="INTEGER PRIMARY KEY AUTOINCREMENT" dbl="DOUBLE" ts="DATETIME"
    sql_at() { echo "datetime('2024-01-01', '+' || ($1) || ' minutes')"; }
  else
    key="serial PRIMARY KEY" dbl="double precision" ts="timestamp"
    sql_at() { echo "(timestamp '2024-01-01' + ($1) * interval '1 minute')"; }
  fi
  sql_n() { echo "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < $1)"; }
  cat <<EOF
BEGIN;
CREATE TABLE country (country_id $key, name VARCHAR(50) NOT NULL, last_update $ts NOT NULL);
CREATE TABLE city (city_id $key, name VARCHAR(50) NOT NULL,
  country_id INTEGER NOT NULL REFERENCES country (country_id), last_update $ts NOT NULL);
CREATE TABLE address (address_id $key, street VARCHAR(60) NOT NULL, district VARCHAR(30),
  city_id INTEGER NOT NULL REFERENCES city (city_id), postal_code VARCHAR(10), phone VARCHAR(20) NOT NULL);
CREATE TABLE language (language_id $key, name VARCHAR(20) NOT NULL);
CREATE TABLE category (category_id $key, name VARCHAR(25) NOT NULL);
CREATE TABLE actor (actor_id $key, first_name VARCHAR(45) NOT NULL, last_name VARCHAR(45) NOT NULL,
  last_update $ts NOT NULL);
CREATE TABLE film (film_id $key, title VARCHAR(100) NOT NULL, description TEXT, release_year INTEGER,
  language_id INTEGER NOT NULL REFERENCES language (language_id), rental_days INTEGER NOT NULL DEFAULT 3,
  rental_rate $dbl NOT NULL, length INTEGER, replacement_cost $dbl NOT NULL, rating VARCHAR(5),
  last_update $ts NOT NULL);
CREATE TABLE film_actor (actor_id INTEGER NOT NULL REFERENCES actor (actor_id),
  film_id INTEGER NOT NULL REFERENCES film (film_id), PRIMARY KEY (actor_id, film_id));
CREATE TABLE film_category (film_id INTEGER NOT NULL REFERENCES film (film_id),
  category_id INTEGER NOT NULL REFERENCES category (category_id), PRIMARY KEY (film_id, category_id));
CREATE TABLE store (store_id $key, address_id INTEGER NOT NULL REFERENCES address (address_id), opened $ts);
CREATE TABLE staff (staff_id $key, first_name VARCHAR(45) NOT NULL, last_name VARCHAR(45) NOT NULL,
  address_id INTEGER NOT NULL REFERENCES address (address_id), email VARCHAR(50),
  store_id INTEGER NOT NULL REFERENCES store (store_id), active BOOLEAN NOT NULL, username VARCHAR(16) NOT NULL);
CREATE TABLE customer (customer_id $key, store_id INTEGER NOT NULL REFERENCES store (store_id),
  first_name VARCHAR(45) NOT NULL, last_name VARCHAR(45) NOT NULL, email VARCHAR(50),
  address_id INTEGER NOT NULL REFERENCES address (address_id), active BOOLEAN NOT NULL, created $ts NOT NULL);
CREATE TABLE inventory (inventory_id $key, film_id INTEGER NOT NULL REFERENCES film (film_id),
  store_id INTEGER NOT NULL REFERENCES store (store_id), last_update $ts NOT NULL);
CREATE TABLE rental (rental_id $key, rented $ts NOT NULL,
  inventory_id INTEGER NOT NULL REFERENCES inventory (inventory_id),
  customer_id INTEGER NOT NULL REFERENCES customer (customer_id), returned $ts,
  staff_id INTEGER NOT NULL REFERENCES staff (staff_id));
CREATE TABLE payment (payment_id $key, customer_id INTEGER NOT NULL REFERENCES customer (customer_id),
  staff_id INTEGER NOT NULL REFERENCES staff (staff_id), rental_id INTEGER REFERENCES rental (rental_id),
  amount $dbl NOT NULL, paid $ts NOT NULL);
CREATE INDEX city_country ON city (country_id);
CREATE INDEX address_city ON address (city_id);
CREATE INDEX actor_last_name ON actor (last_name);
CREATE INDEX film_title ON film (title);
CREATE INDEX film_language ON film (language_id);
CREATE INDEX customer_last_name ON customer (last_name);
CREATE INDEX customer_address ON customer (address_id);
CREATE INDEX inventory_film_store ON inventory (film_id, store_id);
CREATE UNIQUE INDEX rental_when ON rental (rented, inventory_id, customer_id);
CREATE INDEX rental_customer ON rental (customer_id);
CREATE INDEX payment_customer ON payment (customer_id);
CREATE INDEX payment_rental ON payment (rental_id);
$(sql_n 100) INSERT INTO country (name, last_update) SELECT 'Country ' || x, $(sql_at x) FROM n;
$(sql_n 600) INSERT INTO city (name, country_id, last_update) SELECT 'City ' || x, 1 + x % 100, $(sql_at x) FROM n;
$(sql_n 610) INSERT INTO address (street, district, city_id, postal_code, phone)
  SELECT x || ' Main Street', 'District ' || (x % 40), 1 + x % 600, 10000 + x * 7, '555-' || (1000 + x) FROM n;
$(sql_n 6) INSERT INTO language (name) SELECT 'Language ' || x FROM n;
$(sql_n 16) INSERT INTO category (name) SELECT 'Category ' || x FROM n;
$(sql_n 200) INSERT INTO actor (first_name, last_name, last_update)
  SELECT 'First' || x, 'Last' || (x % 120), $(sql_at "x * 3") FROM n;
$(sql_n 1000) INSERT INTO film (title, description, release_year, language_id, rental_days, rental_rate, length,
    replacement_cost, rating, last_update)
  SELECT 'Film ' || x, 'A story of ' || (x % 37) || ' friends and ' || (x % 11) || ' journeys, told in ' ||
    (x % 5 + 2) || ' parts', 1990 + x % 30, 1 + x % 6, 3 + x % 5, 0.99 + (x % 3) * 2, 60 + x % 120,
    9.99 + x % 20, CASE x % 5 WHEN 0 THEN 'G' WHEN 1 THEN 'PG' WHEN 2 THEN 'PG-13' WHEN 3 THEN 'R'
    ELSE 'NC-17' END, $(sql_at x) FROM n;
$(sql_n 5000) INSERT INTO film_actor (actor_id, film_id) SELECT 1 + ((x - 1) * 37) % 200, 1 + (x - 1) / 5 FROM n;
$(sql_n 1000) INSERT INTO film_category (film_id, category_id) SELECT x, 1 + x % 16 FROM n;
$(sql_n 2) INSERT INTO store (address_id, opened) SELECT x, $(sql_at "x * 1000") FROM n;
$(sql_n 4) INSERT INTO staff (first_name, last_name, address_id, email, store_id, active, username)
  SELECT 'Staff' || x, 'Member' || x, 2 + x, 'staff' || x || '@shop.example', 1 + x % 2, x % 4 <> 0,
    'staff' || x FROM n;
$(sql_n 600) INSERT INTO customer (store_id, first_name, last_name, email, address_id, active, created)
  SELECT 1 + x % 2, 'Customer' || x, 'Family' || (x % 300), 'customer' || x || '@mail.example', 6 + x,
    x % 20 <> 0, $(sql_at "x * 11") FROM n;
$(sql_n 4500) INSERT INTO inventory (film_id, store_id, last_update) SELECT 1 + x % 1000, 1 + x % 2, $(sql_at x) FROM n;
$(sql_n 18000) INSERT INTO rental (rented, inventory_id, customer_id, returned, staff_id)
  SELECT $(sql_at "x * 7"), 1 + (x * 13) % 4500, 1 + (x * 17) % 600,
    CASE WHEN x % 50 = 0 THEN NULL ELSE $(sql_at "x * 7 + 4320") END, 1 + x % 4 FROM n;
$(sql_n 18000) INSERT INTO payment (customer_id, staff_id, rental_id, amount, paid)
  SELECT 1 + (x * 17) % 600, 1 + x % 4, x, 0.99 + x % 10, $(sql_at "x * 7 + 60") FROM n;
CREATE VIEW customer_list AS
  SELECT cu.customer_id AS id, cu.first_name || ' ' || cu.last_name AS name, a.street, a.postal_code,
    a.phone, ci.name AS city, co.name AS country
  FROM customer cu JOIN address a ON a.address_id = cu.address_id JOIN city ci ON ci.city_id = a.city_id
    JOIN country co ON co.country_id = ci.country_id;
CREATE VIEW film_list AS
  SELECT f.film_id, f.title, c.name AS category, f.rental_rate, f.length, f.rating
  FROM film f JOIN film_category fc ON fc.film_id = f.film_id JOIN category c ON c.category_id = fc.category_id;
CREATE VIEW sales_by_store AS
  SELECT st.store_id, SUM(p.amount) AS total
  FROM payment p JOIN staff st ON st.staff_id = p.staff_id GROUP BY st.store_id;
CREATE VIEW overdue AS
  SELECT r.rental_id, r.rented, cu.email FROM rental r JOIN customer cu ON cu.customer_id = r.customer_id
  WHERE r.returned IS NULL;
COMMIT;
EOF
}

# A server database made from SQL on standard input.
pg_load() {
  "$pg_bin/createdb" "$1"
  "$pg_bin/psql" -q -v ON_ERROR_STOP=1 -d "$1" >/dev/null
}

# ---- the comparisons ----------------------------------------------------------------------------------

# File and server save / restore of one database against sqlite3 and pg_dump / pg_restore:
# file_pair LABEL FILE GOAL_SAVE GOAL_RESTORE and server_pair LABEL DATABASE GOAL_SAVE GOAL_RESTORE.
# The archives stay in $work/LABEL.*; the server's restore needs the file's archive.
file_pair() {
  local d="$work/$1"
  mkdir -p "$d"
  pair "rm -f $(q "$d/backup.vbk")" "$(vb save -c "$(jet "$2")" -f "$d/backup.vbk")" \
    "rm -f $(q "$d/dump.sql.gz")" "sqlite3 $(q "$2") .dump | gzip -9 >$(q "$d/dump.sql.gz")"
  time_row "file save, $1" '`sqlite3 .dump \| gzip -9`' "$3"
  [ -n "${5:-}" ] && size_row "file backup size, $1" "$d/backup.vbk" "dump.sql.gz" "$d/dump.sql.gz" "$5"
  sqlite3 "$2" .dump >"$d/dump.sql"
  pair "rm -f $(q "$d/restored.db")" "$(vb restore -c "$(jet "$d/restored.db")" -f "$d/backup.vbk")" \
    "rm -f $(q "$d/loaded.db")" "sqlite3 $(q "$d/loaded.db") <$(q "$d/dump.sql")"
  time_row "file restore, $1" '`sqlite3 new.db < dump.sql`' "$4"
  rm -f "$d/dump.sql" "$d/loaded.db" "$d/dump.sql.gz"
}
server_pair() {
  local d="$work/server-$1" db="$2"
  mkdir -p "$d"
  pair "rm -f $(q "$d/backup.vbk")" "$(vb save -c "$(srv "$db")" -f "$d/backup.vbk")" \
    "rm -f $(q "$d/dump.pgc")" "$(q "$pg_bin/pg_dump" -Fc -d "$db" -f "$d/dump.pgc")"
  time_row "server save, $1" '`pg_dump -Fc`' "$3"
  [ -n "${5:-}" ] && size_row "server backup size, $1" "$d/backup.vbk" "pg_dump -Fc" "$d/dump.pgc" "$5"
  pair "pg_drop ${db}_vb" "$(vb restore -c "$(srv "${db}_vb")" -f "$d/backup.vbk")" \
    "pg_drop ${db}_pg" "$(q "$pg_bin/createdb" "${db}_pg") && $(q "$pg_bin/pg_restore" -d "${db}_pg" "$d/dump.pgc")"
  time_row "server restore, $1" '`createdb` + `pg_restore`' "$4"
  pg_drop "${db}_vb" "${db}_pg"
}

single_table() {
  section "single table: the sample, $rows_text rows of 8 mixed columns"
  "$velabackup" sample -c "$(jet "$work/sample.db")" --rows "$rows" >/dev/null
  file_pair sample "$work/sample.db" "<= 0.30" "<= 0.50" "<= 1.05"
  local src restored free pages
  src=$(stat -c %s "$work/sample.db")
  if [ -f "$work/sample/restored.db" ]; then
    restored=$(stat -c %s "$work/sample/restored.db")
    free=$(sqlite3 "$work/sample/restored.db" "PRAGMA freelist_count")
    pages=$(sqlite3 "$work/sample/restored.db" "PRAGMA page_count")
    row "restored file size" "$(size "$restored"), $((100 * free / pages)) % free pages" "source $(size "$src")" \
      "$(ratio "$restored" "$src")" "<= 1.02"
    rm -f "$work/sample/restored.db"
  fi
  [ -n "$pg_bin" ] || return 0
  [ -f "$work/sample/backup.vbk" ] ||
    "$velabackup" save -c "$(jet "$work/sample.db")" -f "$work/sample/backup.vbk" --quiet
  # The sample reaches the server through a restore of the file's archive: the same tables and rows, with
  # their keys, in seconds (velabackup sample on the server writes a million rows one at a time).
  "$velabackup" restore -c "$(srv vela_run_sample)" -f "$work/sample/backup.vbk" --quiet
  server_pair sample vela_run_sample "<= 0.60" "<= 1.00" "<= 1.05"
}

many_tables() {
  section "many tables"
  many_tables_sql "$many" 100 >"$work/many.sql"
  sqlite3 "$work/many.db" <"$work/many.sql"
  file_pair "$many tables x 100 rows" "$work/many.db" "<= 1.00" "<= 1.00"
  shop_sql file | sqlite3 "$work/shop.db"
  file_pair "shop, 15 tables, 50k rows" "$work/shop.db" "<= 1.00" "<= 1.00"
  rm -rf "$work/many.db" "$work/shop.db" "$work/$many tables x 100 rows" "$work/shop, 15 tables, 50k rows"
  [ -n "$pg_bin" ] || return 0
  to_server_sql <"$work/many.sql" | pg_load vela_run_many
  server_pair "$many tables x 100 rows" vela_run_many "<= 1.00" "<= 1.00"
  shop_sql server | pg_load vela_run_shop
  server_pair "shop, 15 tables, 50k rows" vela_run_shop "<= 1.00" "<= 1.00"
  pg_drop vela_run_many vela_run_shop
  rm -f "$work/many.sql"
}

# Save and restore with N jobs against pg_dump -Fd -j N and pg_restore -j N: jobs_pair LABEL DATABASE N.
jobs_pair() {
  local d="$work/jobs" db="$2" n="$3" save="" restore=""
  mkdir -p "$d"
  has_jobs save && save="$(vb save -c "$(srv "$db")" -f "$d/backup.vbk" --jobs "$n")"
  pair "rm -f $(q "$d/backup.vbk")" "$save" \
    "rm -rf $(q "$d/dump")" "$(q "$pg_bin/pg_dump" -Fd -j "$n" -d "$db" -f "$d/dump")"
  [ -n "$save" ] || a_err="n/a (no --jobs yet)"
  time_row "server save, $1, --jobs $n" "\`pg_dump -Fd -j $n\`" "<= 1.00"
  has_jobs restore && [ -f "$d/backup.vbk" ] &&
    restore="$(vb restore -c "$(srv "${db}_vb")" -f "$d/backup.vbk" --jobs "$n")"
  pair "pg_drop ${db}_vb" "$restore" \
    "pg_drop ${db}_pg" "$(q "$pg_bin/createdb" "${db}_pg") && $(q "$pg_bin/pg_restore" -j "$n" -d "${db}_pg" "$d/dump")"
  [ -n "$restore" ] || a_err="n/a (no --jobs yet)"
  time_row "server restore, $1, --jobs $n" "\`createdb\` + \`pg_restore -j $n\`" "<= 1.00"
  pg_drop "${db}_vb" "${db}_pg"
  rm -rf "$d"
}

# The same with a file database, whose peer works alone: file_jobs_pair FILE N.
file_jobs_pair() {
  local d="$work/filejobs" n="$2"
  mkdir -p "$d"
  pair "rm -f $(q "$d/backup.vbk")" "$(vb save -c "$(jet "$1")" -f "$d/backup.vbk" --jobs "$n")" \
    "rm -f $(q "$d/dump.sql.gz")" "sqlite3 $(q "$1") .dump | gzip -9 >$(q "$d/dump.sql.gz")"
  time_row "file save, 20 tables, --jobs $n" '`sqlite3 .dump \| gzip -9`' "<= 1.00"
  sqlite3 "$1" .dump >"$d/dump.sql"
  pair "rm -f $(q "$d/restored.db")" "$(vb restore -c "$(jet "$d/restored.db")" -f "$d/backup.vbk" --jobs "$n")" \
    "rm -f $(q "$d/loaded.db")" "sqlite3 $(q "$d/loaded.db") <$(q "$d/dump.sql")"
  time_row "file restore, 20 tables, --jobs $n" '`sqlite3 new.db < dump.sql`' "<= 1.00"
  rm -rf "$d"
}

jobs() {
  section "jobs: 20 tables of $(thousands "$jobs_unit") to $(thousands $((400 * jobs_unit))) rows, file"
  many_tables_sql 20 "i * i * $jobs_unit" | sqlite3 "$work/jobs.db"
  file_jobs_pair "$work/jobs.db" 1
  [ "$cores" -gt 1 ] && file_jobs_pair "$work/jobs.db" "$cores"
  rm -f "$work/jobs.db"
  [ -n "$pg_bin" ] || return 0
  section "jobs: 20 tables of $(thousands "$jobs_unit") to $(thousands $((400 * jobs_unit))) rows, server"
  many_tables_sql 20 "i * i * $jobs_unit" | to_server_sql | pg_load vela_run_jobs
  jobs_pair "20 tables" vela_run_jobs 1
  [ "$cores" -gt 1 ] && jobs_pair "20 tables" vela_run_jobs "$cores"
  jobs_pair "the sample" vela_run_sample "$cores"
}

# Peak memory of save and restore of one row holding a large blob and a long text, as a multiple of the
# largest value.
large_row() {
  section "large row: a $blob_mib MiB blob and a $text_mib MiB text"
  local d="$work/large"
  mkdir -p "$d"
  sqlite3 "$d/big.db" "CREATE TABLE big (id INTEGER PRIMARY KEY, data BLOB, body TEXT);
    INSERT INTO big VALUES (1, randomblob($largest), hex(randomblob($((text_mib * 524288)))));"
  memory_row() {
    local ours peer r="-"
    ours="${a_err:-peak $(mib "$a_kb")}"
    peer="$2 ${b_err:-peak $(mib "$b_kb")}"
    [ -z "$a_err" ] && r="$(ratio "$((a_kb * 1024))" "$largest")x"
    row "$1" "$ours" "$peer" "$r" "<= 2.00x"
  }
  pair "rm -f $(q "$d/backup.vbk")" "$(vb save -c "$(jet "$d/big.db")" -f "$d/backup.vbk")" \
    "" "sqlite3 $(q "$d/big.db") .dump | gzip -1 >$(q "$d/dump.sql.gz")"
  memory_row "large row, file save" '`sqlite3 .dump \| gzip -1`'
  sqlite3 "$d/big.db" .dump >"$d/dump.sql"
  pair "rm -f $(q "$d/restored.db")" "$(vb restore -c "$(jet "$d/restored.db")" -f "$d/backup.vbk")" \
    "rm -f $(q "$d/loaded.db")" "sqlite3 $(q "$d/loaded.db") <$(q "$d/dump.sql")"
  memory_row "large row, file restore" '`sqlite3 new.db < dump.sql`'
  rm -f "$d/big.db" "$d/dump.sql" "$d/dump.sql.gz" "$d/restored.db" "$d/loaded.db"
  if [ -n "$pg_bin" ] && [ -f "$d/backup.vbk" ]; then
    pair "pg_drop vela_run_big" "$(vb restore -c "$(srv vela_run_big)" -f "$d/backup.vbk")" "" ""
    local restore_err="$a_err" restore_kb="$a_kb"
    pair "rm -f $(q "$d/server.vbk")" "$(vb save -c "$(srv vela_run_big)" -f "$d/server.vbk")" \
      "rm -f $(q "$d/dump.pgc")" "$(q "$pg_bin/pg_dump" -Fc -d vela_run_big -f "$d/dump.pgc")"
    memory_row "large row, server save" '`pg_dump -Fc`'
    pair "" "" "pg_drop vela_run_big_pg" \
      "$(q "$pg_bin/createdb" vela_run_big_pg) && $(q "$pg_bin/pg_restore" -d vela_run_big_pg "$d/dump.pgc")"
    a_err="$restore_err" a_kb="$restore_kb"
    memory_row "large row, server restore" '`createdb` + `pg_restore`'
    pg_drop vela_run_big vela_run_big_pg
  fi
  rm -rf "$d"
}

# fullest COMMAND...: runs it with TMPDIR an empty folder of its own, whose size du polls every 50 ms;
# prints the most the folder held, in bytes.
fullest() {
  local dir="$work/tmpdir" status=0
  rm -rf "$dir" "$work/fullest"
  mkdir -p "$dir"
  echo 0 >"$work/fullest"
  (
    set +e +o pipefail
    empty=$(du -sb "$dir" | cut -f1) most=0
    while :; do
      s=$(($(du -sb "$dir" 2>/dev/null | cut -f1) - empty))
      [ "$s" -gt "$most" ] && most=$s && echo "$most" >"$work/fullest"
      sleep 0.05
    done
  ) &
  poller=$!
  TMPDIR="$dir" "$@" >/dev/null 2>&1 || status=$?
  kill "$poller" 2>/dev/null
  wait "$poller" 2>/dev/null || true
  poller=""
  rm -rf "$dir"
  cat "$work/fullest"
  return "$status"
}

# The largest table data file of an archive, in bytes.
largest_data_file() {
  "$velabackup" inspect -f "$1" --json | awk '/"role":/ { role = $2 } /"size":/ { size = $2 + 0 }
    /}/ { if (role ~ /"tableData"/ && size > most) most = size; role = ""; size = 0 } END { print most + 0 }'
}

# The work folder at its fullest during save and restore: in the sample, one table holds nearly all the
# data; in the 20 tables of the jobs rows, the largest holds a seventh of it.
work_folder() {
  section "work folder at its fullest"
  # work_rows ENGINE DATABASE SAVE_CONNECTION RESTORE_CONNECTION TARGET_CLEANUP
  work_rows() {
    local vbk="$work/wf.vbk" peak archive data what
    for what in save restore; do
      if [ "$what" = save ]; then
        rm -f "$vbk"
        peak=$(fullest "$velabackup" save -c "$3" -f "$vbk" --quiet) || peak=""
      else
        eval "$5"
        peak=$(fullest "$velabackup" restore -c "$4" -f "$vbk" --quiet) || peak=""
        eval "$5"
      fi
      if [ -z "$peak" ] || [ ! -f "$vbk" ]; then
        row "work folder, $1 $what, $2" "failed" "-" "-" "<= 1.00"
        continue
      fi
      archive=$(stat -c %s "$vbk")
      data=$(largest_data_file "$vbk")
      row "work folder, $1 $what, $2" "$(size "$peak"), $(ratio "$peak" "$archive")x the archive ($(size "$archive"))" \
        "largest table's data file $(size "$data")" "$(ratio "$peak" "$data")" "<= 1.00"
    done
    rm -f "$vbk"
  }
  local wf="rm -f $(q "$work/wf.db")"
  work_rows file "the sample" "$(jet "$work/sample.db")" "$(jet "$work/wf.db")" "$wf"
  many_tables_sql 20 "i * i * $jobs_unit" | sqlite3 "$work/jobs.db"
  work_rows file "20 tables" "$(jet "$work/jobs.db")" "$(jet "$work/wf.db")" "$wf"
  rm -f "$work/jobs.db"
  [ -n "$pg_bin" ] || return 0
  work_rows server "20 tables" "$(srv vela_run_jobs)" "$(srv vela_run_wf)" "pg_drop vela_run_wf"
  pg_drop vela_run_jobs
}

# ---- the run ------------------------------------------------------------------------------------------

# The whole run is one function, read in full before it starts (an edit of this file while it runs does
# not change it).
run_all() {
  bench_host
  if [ "$server" = 1 ] && [ -n "$pg_bin" ]; then
    bench_cluster_start 55436
    "$pg_bin/psql" -d postgres -Atc "SELECT datname FROM pg_database WHERE datname LIKE 'vela_run_%'" |
      while read -r name; do pg_drop "$name"; done
  fi

  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$velabackup")/CMakeCache.txt" 2>/dev/null ||
    true)
  commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  git -C "$root" diff --quiet HEAD 2>/dev/null || commit="$commit with local changes"
  cpu="$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
  memory="$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  started=$(date +%s)

  single_table
  many_tables
  jobs
  large_row
  work_folder

  echo "VelaBackup $commit ($build_type build), $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: $cores cores ($cpu), $memory memory, load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  local peers="sqlite3 $(sqlite3 --version | cut -d' ' -f1)"
  [ -n "$pg_bin" ] && peers="$peers, $("$pg_bin/pg_dump" --version)"
  echo "peers: $peers"
  if [ "$runs" -gt 1 ]; then
    echo "$runs runs per pair, each pair in turn; times are medians, memory the largest peak"
  else
    echo "one run per pair, each pair in turn"
  fi
  if [ "$server" = 0 ]; then
    echo "server rows skipped (--no-server)"
  elif [ -z "$pg_bin" ]; then
    echo "server rows skipped: PostgreSQL is not installed (no /usr/lib/postgresql/*/bin)"
  fi
  echo
  echo "| Operation | VelaBackup | Peer | Ratio | Goal | met? |"
  echo "|---|---|---|---|---|---|"
  printf '%s\n' "${table[@]}"
  echo
  echo "Ratios below 1 favour VelaBackup. Run time: $(($(date +%s) - started)) s."
}

run_all; exit
