#include "platform/data/postgres/ServerInPlace.h"

#include <set>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/PgApi.h"
#include "platform/data/postgres/ServerAddress.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerSchema.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

// The array literal of texts, quoted for SQL.
std::string TextArray(const std::vector<std::string>& items) {
  std::string list;
  for (const std::string& item : items) list += (list.empty() ? "" : ", ") + QuoteText(item);
  return "ARRAY[" + list + "]::pg_catalog.text[]";
}

// Whether the object `oid` is none of an extension's, which stays with its extension.
std::string NotOfExtension(const std::string& oid) {
  return "NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend e WHERE e.objid = " + oid + " AND e.deptype = 'e')";
}

// Everything of the database's own schemas that stays standing: tables, views and their columns, keys,
// checks, defaults, triggers, rules and policies of those tables, and the routines and types outside the
// schemas being cleared. Each as a line that names it for people.
std::set<std::string> Standing(ServerSession& session, const std::string& schemas,
                               const std::string& tables) {
  const std::string keptSchema =
      "n.nspname !~ '^pg_' AND n.nspname <> 'information_schema' AND n.nspname <> ALL(" + schemas + ")";
  const std::string keptRelation =
      "SELECT c.oid, pg_catalog.format('%I.%I', n.nspname, c.relname) AS name, "
      "c.relkind FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON "
      "n.oid = c.relnamespace WHERE c.relkind IN ('r', 'p', 'v', 'm', 'f') AND " +
      keptSchema + " AND c.oid <> ALL(" + tables + ")";
  const std::string sql =
      "WITH kept AS (" + keptRelation +
      ") SELECT CASE k.relkind WHEN 'v' THEN 'view ' WHEN 'm' THEN 'materialized view ' ELSE 'table ' END || "
      "k.name FROM kept k "
      "UNION ALL SELECT 'column ' || pg_catalog.quote_ident(a.attname) || ' of ' || k.name FROM kept k JOIN "
      "pg_catalog.pg_attribute a ON a.attrelid = k.oid AND a.attnum > 0 AND NOT a.attisdropped "
      "UNION ALL SELECT 'default of column ' || pg_catalog.quote_ident(a.attname) || ' of ' || k.name FROM "
      "kept k JOIN pg_catalog.pg_attrdef d ON d.adrelid = k.oid JOIN pg_catalog.pg_attribute a ON a.attrelid "
      "= k.oid AND a.attnum = d.adnum "
      "UNION ALL SELECT CASE x.contype WHEN 'f' THEN 'foreign key ' ELSE 'constraint ' END || "
      "pg_catalog.quote_ident(x.conname) || ' of ' || k.name FROM kept k JOIN pg_catalog.pg_constraint x ON "
      "x.conrelid = k.oid "
      "UNION ALL SELECT 'trigger ' || pg_catalog.quote_ident(t.tgname) || ' of ' || k.name FROM kept k JOIN "
      "pg_catalog.pg_trigger t ON t.tgrelid = k.oid AND NOT t.tgisinternal "
      "UNION ALL SELECT 'rule ' || pg_catalog.quote_ident(r.rulename) || ' of ' || k.name FROM kept k JOIN "
      "pg_catalog.pg_rewrite r ON r.ev_class = k.oid AND r.rulename <> '_RETURN' "
      "UNION ALL SELECT 'policy ' || pg_catalog.quote_ident(p.polname) || ' of ' || k.name FROM kept k JOIN "
      "pg_catalog.pg_policy p ON p.polrelid = k.oid "
      "UNION ALL SELECT 'routine ' || p.oid::pg_catalog.regprocedure::text FROM pg_catalog.pg_proc p JOIN "
      "pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE " +
      keptSchema +
      " UNION ALL SELECT 'type ' || pg_catalog.format('%I.%I', n.nspname, t.typname) FROM pg_catalog.pg_type "
      "t JOIN pg_catalog.pg_namespace n ON n.oid = t.typnamespace WHERE t.typtype IN ('d', 'e', 'r') AND " +
      keptSchema;
  ResultHandle result = session.QueryServerSql(sql);
  std::set<std::string> standing;
  for (int row = 0; row < PQntuples(result.get()); ++row) standing.insert(CellText(result.get(), row, 0));
  return standing;
}

// The oids of the named tables that exist ("schema.table", or "table" of the default schema).
std::string TableOids(ServerSession& session, const std::vector<std::string>& tables) {
  std::string oids;
  for (const std::string& table : tables) {
    const std::size_t dot = table.find('.');
    const std::vector<std::string> name{dot == std::string::npos ? kDefaultSchema : table.substr(0, dot),
                                        dot == std::string::npos ? table : table.substr(dot + 1)};
    ResultHandle found = session.QueryServerSql(
        "SELECT c.oid FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = $1 AND c.relname = $2 AND c.relkind IN ('r', 'p', 'f')",
        name);
    if (PQntuples(found.get()) == 1) oids += (oids.empty() ? "" : ", ") + CellText(found.get(), 0, 0);
  }
  return "ARRAY[" + oids + "]::pg_catalog.oid[]";
}

// The statements that drop what the restore replaces, relations first; objects the login does not own
// are named in `foreign`.
std::vector<std::string> Drops(ServerSession& session, const std::string& schemas, const std::string& tables,
                               std::string& foreign) {
  const std::string sql =
      "SELECT 1, CASE c.relkind WHEN 'v' THEN 'VIEW' WHEN 'm' THEN 'MATERIALIZED VIEW' WHEN 'S' THEN "
      "'SEQUENCE' WHEN 'f' THEN 'FOREIGN TABLE' ELSE 'TABLE' END, n.nspname, c.relname, '', "
      "pg_catalog.pg_has_role(c.relowner, 'USAGE') FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
      "ON n.oid = c.relnamespace WHERE c.relkind IN ('r', 'p', 'v', 'm', 'S', 'f') AND (n.nspname = ANY(" +
      schemas + ") OR c.oid = ANY(" + tables + ")) AND " + NotOfExtension("c.oid") +
      " UNION ALL SELECT 2, CASE p.prokind WHEN 'p' THEN 'PROCEDURE' WHEN 'a' THEN 'AGGREGATE' ELSE "
      "'FUNCTION' END, n.nspname, p.proname, pg_catalog.pg_get_function_identity_arguments(p.oid), "
      "pg_catalog.pg_has_role(p.proowner, 'USAGE') FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n "
      "ON n.oid = p.pronamespace WHERE n.nspname = ANY(" +
      schemas + ") AND " + NotOfExtension("p.oid") +
      " UNION ALL SELECT 3, CASE t.typtype WHEN 'd' THEN 'DOMAIN' ELSE 'TYPE' END, n.nspname, t.typname, '', "
      "pg_catalog.pg_has_role(t.typowner, 'USAGE') FROM pg_catalog.pg_type t JOIN pg_catalog.pg_namespace n "
      "ON n.oid = t.typnamespace WHERE n.nspname = ANY(" +
      schemas +
      ") AND (t.typtype IN ('d', 'e', 'r') OR (t.typtype = 'c' AND EXISTS (SELECT 1 FROM "
      "pg_catalog.pg_class r WHERE r.oid = t.typrelid AND r.relkind = 'c'))) AND " +
      NotOfExtension("t.oid") + " ORDER BY 1";
  ResultHandle result = session.QueryServerSql(sql);
  std::vector<std::string> drops;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    const std::string kind = CellText(result.get(), row, 1);
    std::string name =
        QuoteName(CellText(result.get(), row, 2)) + "." + QuoteName(CellText(result.get(), row, 3));
    if (CellText(result.get(), row, 0) == "2") name += "(" + CellText(result.get(), row, 4) + ")";
    if (!CellFlag(result.get(), row, 5)) foreign += "\n" + kind + " " + name;
    drops.push_back("DROP " + kind + " IF EXISTS " + name + " CASCADE");
  }
  return drops;
}

}  // namespace

DatabaseRights ReadServerDatabaseRights(std::string_view connectionString) {
  const ServerAddress address = ReadServerAddress(connectionString);
  // Asked of the database itself where the login may connect to it (a hosted login may reach no other),
  // else of the maintenance database.
  std::unique_ptr<Connection> master;
  try {
    master = OpenServerConnection(utils::RemoveKey(connectionString, "Role", ";"));
  } catch (const Error&) {
    master = OpenServerConnection(MaintenanceConnectionString(connectionString));
  }
  const std::vector<std::string> name{address.database};
  ResultHandle result = dynamic_cast<ServerSession&>(*master).QueryServerSql(
      "SELECT r.rolcreatedb OR r.rolsuper, d.oid IS NOT NULL, d.oid IS NOT NULL AND "
      "pg_catalog.pg_has_role(d.datdba, 'USAGE') FROM pg_catalog.pg_roles r LEFT JOIN pg_catalog.pg_database "
      "d ON d.datname = $1 WHERE r.rolname = session_user",
      name);
  DatabaseRights rights;
  if (PQntuples(result.get()) != 1) return rights;
  rights.mayCreate = CellFlag(result.get(), 0, 0);
  rights.exists = CellFlag(result.get(), 0, 1);
  rights.owns = CellFlag(result.get(), 0, 2);
  return rights;
}

void RemoveServerObjectsForRestore(ServerSession& session, const std::vector<std::string>& tables,
                                   const std::vector<std::string>& schemas) {
  const bool own = !session.InTransaction();
  session.RunServerSql(own ? "BEGIN" : "SAVEPOINT vela_remove");
  try {
    std::vector<std::string> cleared;
    if (tables.empty())
      for (const std::string& schema : schemas) cleared.push_back(schema.empty() ? kDefaultSchema : schema);
    const std::string schemaArray = TextArray(cleared);
    const std::string tableArray = TableOids(session, tables);
    std::string foreign;
    const std::vector<std::string> drops = Drops(session, schemaArray, tableArray, foreign);
    if (!foreign.empty())
      throw Error(kCommandError, kSource,
                  "These objects are in the way and the login does not own them:" + foreign);
    const std::set<std::string> before = Standing(session, schemaArray, tableArray);
    for (const std::string& drop : drops) session.RunServerSql(drop);
    const std::set<std::string> after = Standing(session, schemaArray, tableArray);
    std::string gone;
    for (const std::string& item : before)
      if (!after.contains(item)) gone += "\n" + item;
    if (!gone.empty())
      throw Error(kCommandError, kSource, "These objects depend on what the restore replaces:" + gone);
  } catch (const Error&) {
    session.RunServerSql(own ? "ROLLBACK"
                             : "ROLLBACK TO SAVEPOINT vela_remove; RELEASE SAVEPOINT vela_remove");
    throw;
  }
  session.RunServerSql(own ? "COMMIT" : "RELEASE SAVEPOINT vela_remove");
}

}  // namespace vela::data::postgres
