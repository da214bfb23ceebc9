#!/usr/bin/env bash
# Peak memory of one row holding long values: a 50 MB random blob and a 20 MB text (sizes in MB as
# arguments), saved and restored on the file engine and, when VELA_PG_DIR and VELA_PG_PORT name a cluster
# of your own, on the server too. Beside each figure it prints the peak of the same operation on an empty
# table, the fixed cost the long values come on top of.
#
#   bench/bigvalue/run.sh [BLOB_MB] [TEXT_MB]
#
# Prints "engine operation seconds peak_MiB baseline_MiB extra_MiB".
set -euo pipefail
cd "$(dirname "$0")/../.."
blob="${1:-50}"
text="${2:-20}"
root="$PWD"
velabackup="$root/${BUILD_DIR:-build}/velabackup"
work="$(mktemp -d)"
cleanup() {
  if [ -n "${VELA_PG_DIR:-}" ] && [ "${ours:-0}" = 1 ]; then "$root/scripts/pg_cluster.sh" stop >/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

python3 - "$work" "$blob" "$text" <<'PY'
import os, random, sqlite3, sys
work, blob, text = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(23)
letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 "
for name, rows in (("big.db", [(1, os.urandom(blob * 1000000),
                                 "".join(random.choices(letters, k=text * 1000000)))]),
                   ("empty.db", [])):
    db = sqlite3.connect(os.path.join(work, name))
    db.execute("CREATE TABLE Big (ID INTEGER PRIMARY KEY, Data BLOB, Body TEXT)")
    db.executemany("INSERT INTO Big VALUES (?, ?, ?)", rows)
    db.commit()
    db.close()
PY

# Runs a command; prints "seconds peak_MiB".
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
  awk '{ printf "%s %.0f\n", $1, $2 / 1024 }' "$work/time"
}

report() {
  local engine="$1" operation="$2" big="$3" empty="$4"
  read -r seconds peak <<<"$big"
  read -r _ base <<<"$empty"
  echo "$engine $operation $seconds $peak $base $((peak - base))"
}

echo "engine operation seconds peak_MiB baseline_MiB extra_MiB"
declare -A took
for db in big empty; do
  took[$db.save]="$(measure "$velabackup" save -c "$work/$db.db" -f "$work/$db.vbk" --quiet)"
  took[$db.restore]="$(measure "$velabackup" restore -c "$work/$db-new.db" -f "$work/$db.vbk" --quiet)"
done
report file save "${took[big.save]}" "${took[empty.save]}"
report file restore "${took[big.restore]}" "${took[empty.restore]}"
cmp <(sqlite3 "$work/big.db" "SELECT hex(Data), Body FROM Big" | sha1sum) \
    <(sqlite3 "$work/big-new.db" "SELECT hex(Data), Body FROM Big" | sha1sum) >/dev/null ||
  echo "file: the restored row differs"

[ -n "${VELA_PG_DIR:-}" ] || exit 0
ours=1
[ -f "$VELA_PG_DIR/data/postmaster.pid" ] && ours=0
eval "$(scripts/pg_cluster.sh start)"
bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
server() { echo "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=$1;UserID=$PGUSER"; }
for db in big empty; do
  PGOPTIONS="-c client_min_messages=warning" "$bin/dropdb" --if-exists "vela_$db"
  PGOPTIONS="-c client_min_messages=warning" "$bin/dropdb" --if-exists "vela_${db}_new"
  "$velabackup" restore -c "$(server "vela_$db")" -f "$work/$db.vbk" --quiet
  took[$db.save]="$(measure "$velabackup" save -c "$(server "vela_$db")" -f "$work/$db-pg.vbk" --quiet)"
  took[$db.restore]="$(measure "$velabackup" restore -c "$(server "vela_${db}_new")" -f "$work/$db-pg.vbk" \
    --quiet)"
done
report server save "${took[big.save]}" "${took[empty.save]}"
report server restore "${took[big.restore]}" "${took[empty.restore]}"
q="SELECT md5(\"Data\"), md5(\"Body\") FROM \"Big\""
[ "$("$bin/psql" -qAt -d vela_big -c "$q")" = "$("$bin/psql" -qAt -d vela_big_new -c "$q")" ] ||
  echo "server: the restored row differs"
for db in big empty; do
  PGOPTIONS="-c client_min_messages=warning" "$bin/dropdb" --if-exists "vela_$db"
  PGOPTIONS="-c client_min_messages=warning" "$bin/dropdb" --if-exists "vela_${db}_new"
done
