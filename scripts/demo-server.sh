#!/usr/bin/env bash
# The main job across both engines: sets up and builds, starts a throwaway PostgreSQL cluster, makes the
# sample file database, backs it up, restores the backup onto the server, backs the server database up,
# restores that into a new file, and shows that the first and the last file databases hold the same rows.
#
# The cluster lives in $VELA_PG_DIR on port $VELA_PG_PORT (defaults: a fresh folder under /tmp, port
# 55433), so that it runs beside the test cluster of scripts/pg_cluster.sh; it is stopped on exit unless
# it was running before.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
root="$PWD"
velabackup="$root/${BUILD_DIR:-build}/velabackup"

export VELA_PG_DIR="${VELA_PG_DIR:-$(mktemp -u /tmp/vela-pg-demo-XXXXXX)}"
export VELA_PG_PORT="${VELA_PG_PORT:-55433}"
work="$(mktemp -d)"
ours=1
[ -f "$VELA_PG_DIR/data/postmaster.pid" ] && ours=0
cleanup() {
  if [ "$ours" = 1 ]; then "$root/scripts/pg_cluster.sh" stop; fi
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(scripts/pg_cluster.sh start)"
database="vela_demo"
cd "$work"

# The short forms: a path is a file database; a URL without a host is the server PGHOST and PGPORT name.
source="$work/shop.db"
server="postgresql://$PGUSER@/$database"
last="$work/last.db"

echo "== velabackup sample (file database)"
"$velabackup" sample -c "$source" --rows 100000
echo "== velabackup save (file database)"
"$velabackup" save -c "$source" -f shop.vbk --quiet
echo "== velabackup restore onto the server ($server)"
PGOPTIONS="-c client_min_messages=warning" psql -q -d postgres -c "DROP DATABASE IF EXISTS $database"
"$velabackup" restore -c "$server" -f shop.vbk --quiet
echo "== velabackup save (server database)"
"$velabackup" save -c "$server" -f server.vbk --quiet
ls -l shop.vbk server.vbk
echo "== velabackup inspect"
"$velabackup" inspect -f server.vbk
echo "== velabackup restore into a new file"
"$velabackup" restore -c "$last" -f server.vbk --quiet

# The columns of a table, one a line, as "name|declared type".
columns() { sqlite3 -bail "$1" "SELECT name || '|' || type FROM pragma_table_info('$2') ORDER BY cid"; }

echo "== comparing the rows of every table"
status=0
for table in "Customers" "Products" "Orders" "Order Details" "VelaParams" "Empty" "Measurements"; do
  # The backup leaves out the parameter that lets new connections in; everything else must be equal.
  filter=""
  [ "$table" = "VelaParams" ] && filter="WHERE ParamName<>'AllowNewConnection'"
  query="SELECT * FROM [$table] $filter ORDER BY 1, 2"
  a=$(sqlite3 -bail "$source" "$query" | sha256sum | cut -c1-16)
  b=$(sqlite3 -bail "$last" "$query" | sha256sum | cut -c1-16)
  rows=$(sqlite3 "$last" "SELECT COUNT(*) FROM [$table]")
  if [ "$a" = "$b" ]; then
    printf '  %-14s %7s rows  match (%s)\n' "$table" "$rows" "$a"
    continue
  fi
  printf '  %-14s %7s rows  DIFFER (%s / %s)\n' "$table" "$rows" "$a" "$b"
  status=1
  # Which columns differ, with the type each database declares: a type the server maps to another shows
  # here by name.
  order=$(columns "$source" "$table" | head -n 2 | cut -d'|' -f1 | sed 's/.*/[&]/' | paste -sd, -)
  while IFS='|' read -r column type; do
    newtype=$(columns "$last" "$table" | awk -F'|' -v c="$column" '$1 == c { print $2 }')
    if [ -z "$newtype" ]; then
      printf '      %s: missing from the restored table\n' "$column"
      continue
    fi
    query="SELECT [$column] FROM [$table] $filter ORDER BY $order"
    [ "$(sqlite3 -bail "$source" "$query" | sha256sum)" != "$(sqlite3 -bail "$last" "$query" | sha256sum)" ] ||
      continue
    # The first value that differs, before and after, in SQL literal form (blanks and classes show).
    query="SELECT quote([$column]) FROM [$table] $filter ORDER BY $order"
    changes=$(diff <(sqlite3 -bail "$source" "$query") <(sqlite3 -bail "$last" "$query")) || true
    before=$(grep -m 1 '^< ' <<<"$changes" | cut -c3- | cut -c1-40) || true
    after=$(grep -m 1 '^> ' <<<"$changes" | cut -c3- | cut -c1-40) || true
    if [ "$type" = "$newtype" ]; then
      printf '      %s (%s): values differ, %s came back as %s\n' "$column" "$type" "${before:-nothing}" \
        "${after:-nothing}"
    else
      printf '      %s: values differ, %s came back as %s; the type came back as %s instead of %s\n' \
        "$column" "${before:-nothing}" "${after:-nothing}" "$newtype" "$type"
    fi
  done < <(columns "$source" "$table")
done

# Types that changed on the way through the server while the values stayed equal.
for table in "Customers" "Products" "Orders" "Order Details" "VelaParams" "Empty" "Measurements"; do
  diff <(columns "$source" "$table") <(columns "$last" "$table") | awk -F'|' -v t="$table" '
    /^</ { sub(/^< /, ""); before[$1] = $2 }
    /^>/ { sub(/^> /, ""); after[$1] = $2 }
    END { for (c in before) if (c in after) printf "  note: %s.%s is %s after the round trip (was %s)\n", t, c, after[c], before[c] }' ||
    true  # diff fails where the types differ, which is what this loop is about
done

if [ $status -eq 0 ]; then
  echo "The database restored from the server matches the original."
else
  echo "The database restored from the server differs."
fi
exit $status
