#include "platform/data/postgres/ServerObjects.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerEngineSql.h"
#include "platform/data/postgres/ServerSchema.h"
#include "platform/text/Strings.h"

namespace vela::data::postgres {

namespace {

// Schemas of the database's own objects, of pg_namespace n.
constexpr const char* kUserSchema = "n.nspname !~ '^pg_' AND n.nspname <> 'information_schema'";

// Whether an extension made the object `oid` of the catalog table `catalog`.
std::string NotOfExtension(const std::string& catalog, const std::string& oid) {
  return "NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend e WHERE e.classid = 'pg_catalog." + catalog +
         "'::pg_catalog.regclass AND e.objid = " + oid + " AND e.deptype = 'e')";
}

// A table (pg_class c) whose columns the catalog cannot name as they are, or that is partitioned or a
// partition: its own CREATE TABLE makes it. The catalog names booleans, whole and floating numbers, bytea,
// text, date, uuid, numerics with a precision, sized characters, and times without time zone of the
// default precision, in the database's collation, without identity ALWAYS or generated values, and no
// default that takes numbers from a sequence of another column or of none (a sequence several share).
std::string OwnStatement(const std::string& c = "c") {
  return "(" + c + ".relkind = 'p' OR " + c +
         ".relispartition OR EXISTS (SELECT 1 FROM pg_catalog.pg_attribute a "
         "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid WHERE a.attrelid = " +
         c +
         ".oid AND a.attnum > 0 AND "
         "NOT a.attisdropped AND (NOT (a.atttypid IN (16, 17, 20, 21, 23, 25, 700, 701, 1082, 2950) OR "
         "(a.atttypid IN (1042, 1043, 1700) AND a.atttypmod >= 0) OR (a.atttypid IN (1083, 1114) AND "
         "a.atttypmod < 0)) OR a.attgenerated <> '' OR a.attidentity = 'a' OR "
         "(a.attcollation <> 0 AND a.attcollation <> t.typcollation))) OR EXISTS (SELECT 1 FROM "
         "pg_catalog.pg_attrdef ad JOIN pg_catalog.pg_depend dd ON dd.classid = "
         "'pg_catalog.pg_attrdef'::pg_catalog.regclass AND dd.objid = ad.oid AND dd.refclassid = "
         "'pg_catalog.pg_class'::pg_catalog.regclass JOIN pg_catalog.pg_class sq ON sq.oid = dd.refobjid AND "
         "sq.relkind = 'S' WHERE ad.adrelid = " +
         c +
         ".oid AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend od WHERE od.classid = "
         "'pg_catalog.pg_class'::pg_catalog.regclass AND od.objid = sq.oid AND od.refobjid = ad.adrelid AND "
         "od.refobjsubid = ad.adnum AND od.deptype = 'a')))";
}

// A table's name as the catalog gives it: "schema.table" outside the default schema.
std::string CatalogName(const std::string& schema, const std::string& name) {
  return schema == kDefaultSchema ? name : schema + "." + name;
}

std::string Qualified(const std::string& schema, const std::string& name) {
  return QuoteName(schema) + "." + QuoteName(name);
}

// A catalog-name "schema.table" (or "table" of the default schema) quoted for SQL.
std::string QualifiedCatalogName(const std::string& name) {
  const std::size_t dot = name.find('.');
  return dot == std::string::npos ? Qualified(kDefaultSchema, name)
                                  : Qualified(name.substr(0, dot), name.substr(dot + 1));
}

// The session reads with an empty search path while the objects are read, so that every name the server
// writes into a statement carries its schema; what the session had is put back after.
class EmptySearchPath {
 public:
  explicit EmptySearchPath(ServerSession& session) : session_(session) {
    ResultHandle result = session_.QueryServerSql(
        "SELECT pg_catalog.current_setting('search_path'), pg_catalog.set_config('search_path', '', false)");
    old_ = CellText(result.get(), 0, 0);
  }
  ~EmptySearchPath() {
    try {
      const std::vector<std::string> parameters{old_};
      session_.QueryServerSql("SELECT pg_catalog.set_config('search_path', $1, false)", parameters);
    } catch (const Error&) {
      // A session lost meanwhile has no search path left to put back.
    }
  }
  EmptySearchPath(const EmptySearchPath&) = delete;
  EmptySearchPath& operator=(const EmptySearchPath&) = delete;

 private:
  ServerSession& session_;
  std::string old_;
};

int ServerVersion(ServerSession& session) {
  ResultHandle result =
      session.QueryServerSql("SELECT pg_catalog.current_setting('server_version_num')::int");
  return static_cast<int>(CellNumber(result.get(), 0, 0));
}

class ObjectReader {
 public:
  explicit ObjectReader(ServerSession& session) : session_(session), version_(ServerVersion(session)) {}

  std::vector<EngineObject> Read() {
    Schemas();
    Extensions();
    Types();
    Functions(true);
    Aggregates();
    Sequences();
    Tables();
    Functions(false);
    Constraints();
    Views();
    Indexes();
    Triggers();
    Policies();
    return std::move(objects_);
  }

 private:
  ResultHandle Query(const std::string& sql) { return session_.QueryServerSql(sql); }

  void Add(std::string kind, std::string name, std::string table, std::string detail, std::string sql,
           bool beforeRows) {
    objects_.push_back(EngineObject{std::move(kind), std::move(name), std::move(table), std::move(detail),
                                    std::move(sql), beforeRows});
  }

  void Schemas() {
    ResultHandle r = Query(std::string("SELECT n.nspname FROM pg_catalog.pg_namespace n WHERE ") +
                           kUserSchema + " AND n.nspname <> 'public' AND " +
                           NotOfExtension("pg_namespace", "n.oid") + " ORDER BY n.nspname COLLATE \"C\"");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      std::string name = CellText(r.get(), row, 0);
      Add("schema", name, {}, {}, "CREATE SCHEMA IF NOT EXISTS " + QuoteName(name), true);
    }
  }

  void Extensions() {
    ResultHandle r = Query(
        "SELECT x.extname, n.nspname FROM pg_catalog.pg_extension x JOIN pg_catalog.pg_namespace n ON "
        "n.oid = x.extnamespace WHERE x.extname <> 'plpgsql' ORDER BY x.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      std::string name = CellText(r.get(), row, 0);
      Add("extension", name, {}, {},
          "CREATE EXTENSION IF NOT EXISTS " + QuoteName(name) + " WITH SCHEMA " +
              QuoteName(CellText(r.get(), row, 1)),
          true);
    }
  }

  // Enums, domains with their checks, composite and range types, in that order; domains over domains and
  // composites of composites in the order they were made.
  void Types() {
    const std::string from = std::string(
                                 " FROM pg_catalog.pg_type t JOIN pg_catalog.pg_namespace n ON n.oid = "
                                 "t.typnamespace WHERE ") +
                             kUserSchema + " AND " + NotOfExtension("pg_type", "t.oid");
    ResultHandle r = Query(
        "SELECT n.nspname, t.typname, (SELECT pg_catalog.string_agg(pg_catalog.quote_literal(e.enumlabel), "
        "', ' ORDER BY e.enumsortorder) FROM pg_catalog.pg_enum e WHERE e.enumtypid = t.oid)" +
        from + " AND t.typtype = 'e' ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      Add("type", CatalogName(CellText(r.get(), row, 0), CellText(r.get(), row, 1)), {}, "enum",
          "CREATE TYPE " + Qualified(CellText(r.get(), row, 0), CellText(r.get(), row, 1)) + " AS ENUM (" +
              CellText(r.get(), row, 2) + ")",
          true);
    r = Query(
        "SELECT n.nspname, t.typname, pg_catalog.format_type(t.typbasetype, t.typtypmod), "
        "CASE WHEN t.typcollation <> 0 AND t.typcollation <> b.typcollation THEN ' COLLATE ' || "
        "t.typcollation::pg_catalog.regcollation::text ELSE '' END || "
        "CASE WHEN t.typdefault IS NOT NULL THEN ' DEFAULT ' || t.typdefault ELSE '' END || "
        "CASE WHEN t.typnotnull THEN ' NOT NULL' ELSE '' END || "
        "COALESCE((SELECT pg_catalog.string_agg(' CONSTRAINT ' || pg_catalog.quote_ident(c.conname) || ' ' "
        "|| "
        "pg_catalog.pg_get_constraintdef(c.oid), '' ORDER BY c.conname) FROM pg_catalog.pg_constraint c "
        "WHERE c.contypid = t.oid AND c.contype = 'c'), '')" +
        from.substr(0, from.find(" WHERE ")) + " JOIN pg_catalog.pg_type b ON b.oid = t.typbasetype" +
        from.substr(from.find(" WHERE ")) + " AND t.typtype = 'd' ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      Add("domain", CatalogName(CellText(r.get(), row, 0), CellText(r.get(), row, 1)), {}, {},
          "CREATE DOMAIN " + Qualified(CellText(r.get(), row, 0), CellText(r.get(), row, 1)) + " AS " +
              CellText(r.get(), row, 2) + CellText(r.get(), row, 3),
          true);
    r = Query(
        "SELECT n.nspname, t.typname, (SELECT pg_catalog.string_agg(pg_catalog.quote_ident(a.attname) || ' ' "
        "|| pg_catalog.format_type(a.atttypid, a.atttypmod), ', ' ORDER BY a.attnum) FROM "
        "pg_catalog.pg_attribute a WHERE a.attrelid = t.typrelid AND a.attnum > 0 AND NOT a.attisdropped)" +
        from +
        " AND t.typtype = 'c' AND (SELECT r.relkind FROM pg_catalog.pg_class r WHERE r.oid = t.typrelid) = "
        "'c' ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      Add("type", CatalogName(CellText(r.get(), row, 0), CellText(r.get(), row, 1)), {}, "composite",
          "CREATE TYPE " + Qualified(CellText(r.get(), row, 0), CellText(r.get(), row, 1)) + " AS (" +
              CellText(r.get(), row, 2) + ")",
          true);
    r = Query(
        "SELECT n.nspname, t.typname, pg_catalog.format_type(g.rngsubtype, NULL), CASE WHEN g.rngsubdiff <> "
        "0 "
        "THEN ', SUBTYPE_DIFF = ' || g.rngsubdiff::pg_catalog.regproc::text ELSE '' END" +
        from.substr(0, from.find(" WHERE ")) + " JOIN pg_catalog.pg_range g ON g.rngtypid = t.oid" +
        from.substr(from.find(" WHERE ")) + " AND t.typtype = 'r' ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      Add("type", CatalogName(CellText(r.get(), row, 0), CellText(r.get(), row, 1)), {}, "range",
          "CREATE TYPE " + Qualified(CellText(r.get(), row, 0), CellText(r.get(), row, 1)) +
              " AS RANGE (SUBTYPE = " + CellText(r.get(), row, 2) + CellText(r.get(), row, 3) + ")",
          true);
  }

  // Functions and procedures, those in other languages than SQL and PL/pgSQL too (the restore names them as
  // left out). One whose signature names a table's
  // row type, or whose body the server reads as it makes it, waits for the tables (`beforeRows` false).
  void Functions(bool beforeRows) {
    const std::string needsTables =
        std::string(version_ >= 140000 ? "p.prosqlbody IS NOT NULL OR " : "") +
        "EXISTS (SELECT 1 FROM pg_catalog.pg_depend d JOIN pg_catalog.pg_type t ON t.oid = d.refobjid JOIN "
        "pg_catalog.pg_class r ON r.oid = t.typrelid WHERE d.classid = "
        "'pg_catalog.pg_proc'::pg_catalog.regclass "
        "AND d.objid = p.oid AND d.refclassid = 'pg_catalog.pg_type'::pg_catalog.regclass AND r.relkind <> "
        "'c')";
    ResultHandle r = Query(
        std::string(
            "SELECT n.nspname, p.proname, p.prokind, pg_catalog.pg_get_function_identity_arguments(p.oid), "
            "pg_catalog.pg_get_functiondef(p.oid) FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n "
            "ON n.oid = p.pronamespace JOIN pg_catalog.pg_language l ON l.oid = p.prolang WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_proc", "p.oid") + " AND p.prokind IN ('f', 'p') AND " +
        (beforeRows ? "NOT " : "") + "(" + needsTables + ") ORDER BY p.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      Add(CellText(r.get(), row, 2) == "p" ? "procedure" : "function",
          CatalogName(CellText(r.get(), row, 0), CellText(r.get(), row, 1)), {}, CellText(r.get(), row, 3),
          CellText(r.get(), row, 4), beforeRows);
  }

  void Aggregates() {
    ResultHandle r = Query(
        std::string("SELECT n.nspname, p.proname, pg_catalog.pg_get_function_identity_arguments(p.oid), "
                    "'SFUNC = ' || g.aggtransfn::pg_catalog.regproc::text || ', STYPE = ' || "
                    "pg_catalog.format_type(g.aggtranstype, NULL) || CASE WHEN g.aggfinalfn <> 0 THEN "
                    "', FINALFUNC = ' || g.aggfinalfn::pg_catalog.regproc::text ELSE '' END || CASE WHEN "
                    "g.aggcombinefn <> 0 THEN ', COMBINEFUNC = ' || g.aggcombinefn::pg_catalog.regproc::text "
                    "ELSE '' END || CASE WHEN g.agginitval IS NOT NULL THEN ', INITCOND = ' || "
                    "pg_catalog.quote_literal(g.agginitval) ELSE '' END FROM pg_catalog.pg_aggregate g JOIN "
                    "pg_catalog.pg_proc p ON p.oid = g.aggfnoid JOIN pg_catalog.pg_namespace n ON n.oid = "
                    "p.pronamespace WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_proc", "p.oid") + " AND g.aggkind = 'n' ORDER BY p.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      std::string arguments = CellText(r.get(), row, 2);
      Add("aggregate", CatalogName(CellText(r.get(), row, 0), CellText(r.get(), row, 1)), {}, arguments,
          "CREATE AGGREGATE " + Qualified(CellText(r.get(), row, 0), CellText(r.get(), row, 1)) + "(" +
              (arguments.empty() ? "*" : arguments) + ") (" + CellText(r.get(), row, 3) + ")",
          true);
    }
  }

  // Sequences of no column, and those of the columns of tables their own statement makes (their
  // defaults name them); the catalog's autoincrement columns and identity columns make their own.
  void Sequences() {
    ResultHandle r = Query(
        std::string(
            "SELECT n.nspname, c.relname, pg_catalog.format_type(s.seqtypid, NULL), s.seqstart, "
            "s.seqincrement, s.seqmin, s.seqmax, s.seqcache, s.seqcycle FROM pg_catalog.pg_sequence s "
            "JOIN pg_catalog.pg_class c ON c.oid = s.seqrelid JOIN pg_catalog.pg_namespace n ON n.oid = "
            "c.relnamespace WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_class", "c.oid") +
        " AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_depend d JOIN pg_catalog.pg_class c ON c.oid = "
        "d.refobjid WHERE d.classid = 'pg_catalog.pg_class'::pg_catalog.regclass AND d.objid = s.seqrelid "
        "AND "
        "d.refclassid = 'pg_catalog.pg_class'::pg_catalog.regclass AND (d.deptype = 'i' OR (d.deptype = 'a' "
        "AND NOT " +
        OwnStatement() + "))) ORDER BY c.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      Add("sequence", CatalogName(CellText(p, row, 0), CellText(p, row, 1)), {}, {},
          "CREATE SEQUENCE " + Qualified(CellText(p, row, 0), CellText(p, row, 1)) + " AS " +
              CellText(p, row, 2) + " INCREMENT BY " + CellText(p, row, 4) + " MINVALUE " +
              CellText(p, row, 5) + " MAXVALUE " + CellText(p, row, 6) + " START WITH " +
              CellText(p, row, 3) + " CACHE " + CellText(p, row, 7) +
              (CellFlag(p, row, 8) ? " CYCLE" : " NO CYCLE"),
          true);
    }
  }

  // Tables made by their own statement: parents before their partitions.
  void Tables() {
    ResultHandle r = Query(
        std::string("SELECT c.oid, n.nspname, c.relname, c.relkind, c.relispartition, c.relpersistence, "
                    "CASE WHEN c.relkind = 'p' THEN pg_catalog.pg_get_partkeydef(c.oid) END, "
                    "pg_catalog.pg_get_expr(c.relpartbound, c.oid), pn.nspname, pc.relname "
                    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                    "LEFT JOIN pg_catalog.pg_inherits i ON i.inhrelid = c.oid AND c.relispartition "
                    "LEFT JOIN pg_catalog.pg_class pc ON pc.oid = i.inhparent "
                    "LEFT JOIN pg_catalog.pg_namespace pn ON pn.oid = pc.relnamespace WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_class", "c.oid") + " AND c.relkind IN ('r', 'p') AND " +
        OwnStatement() +
        " ORDER BY (SELECT pg_catalog.count(*) FROM pg_catalog.pg_partition_ancestors(c.oid)), c.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      const std::string schema = CellText(p, row, 1), name = CellText(p, row, 2);
      std::string sql = std::string("CREATE ") + (CellText(p, row, 5) == "u" ? "UNLOGGED " : "") + "TABLE " +
                        Qualified(schema, name);
      std::string detail;
      if (CellFlag(p, row, 4)) {
        sql += " PARTITION OF " + Qualified(CellText(p, row, 8), CellText(p, row, 9)) + " " +
               CellText(p, row, 7);
        detail = "partition of " + CatalogName(CellText(p, row, 8), CellText(p, row, 9));
      } else {
        sql += " (" + ColumnsSql(CellText(p, row, 0)) + ")";
      }
      if (CellText(p, row, 3) == "p") {
        sql += " PARTITION BY " + CellText(p, row, 6);
        detail += std::string(detail.empty() ? "" : ", ") + "partitioned";
      }
      // What the document cannot say of the table, for people: another engine names it as left out.
      if (detail.empty()) detail = "column types";
      Add("table", CatalogName(schema, name), {}, detail, sql, true);
    }
  }

  std::string ColumnsSql(const std::string& oid) {
    ResultHandle r = session_.QueryServerSql(
        "SELECT pg_catalog.quote_ident(a.attname) || ' ' || pg_catalog.format_type(a.atttypid, a.atttypmod) "
        "|| "
        "CASE WHEN a.attcollation <> 0 AND a.attcollation <> t.typcollation THEN ' COLLATE ' || "
        "a.attcollation::pg_catalog.regcollation::text ELSE '' END || "
        "CASE WHEN a.attgenerated = 's' THEN ' GENERATED ALWAYS AS (' || pg_catalog.pg_get_expr(d.adbin, "
        "d.adrelid) || ') STORED' WHEN d.adbin IS NOT NULL THEN ' DEFAULT ' || "
        "pg_catalog.pg_get_expr(d.adbin, "
        "d.adrelid) ELSE '' END || CASE a.attidentity WHEN 'a' THEN ' GENERATED ALWAYS AS IDENTITY' WHEN 'd' "
        "THEN ' GENERATED BY DEFAULT AS IDENTITY' ELSE '' END || CASE WHEN a.attnotnull THEN ' NOT NULL' "
        "ELSE "
        "'' END FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = a.atttypid LEFT JOIN "
        "pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum WHERE a.attrelid = $1 AND "
        "a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
        std::vector<std::string>{oid});
    std::string columns;
    for (int row = 0; row < PQntuples(r.get()); ++row)
      columns += (row == 0 ? "" : ", ") + CellText(r.get(), row, 0);
    return columns;
  }

  // The relations (pg_class c) whose constraints, indexes, triggers and policies are saved: a partition's
  // come from its partitioned table.
  static std::string OwnRelations() {
    return std::string(kUserSchema) + " AND NOT c.relispartition AND " + NotOfExtension("pg_class", "c.oid");
  }

  void Constraints() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, x.conname, pg_catalog.pg_get_constraintdef(x.oid), x.contype FROM "
        "pg_catalog.pg_constraint x JOIN pg_catalog.pg_class c ON c.oid = x.conrelid JOIN "
        "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE " +
        OwnRelations() + " AND x.contype IN ('c', 'x') AND x.conislocal ORDER BY x.contype, x.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      Add("constraint", CellText(p, row, 2), CatalogName(CellText(p, row, 0), CellText(p, row, 1)),
          CellText(p, row, 4) == "x" ? "EXCLUDE" : "CHECK",
          "ALTER TABLE " + Qualified(CellText(p, row, 0), CellText(p, row, 1)) + " ADD CONSTRAINT " +
              QuoteName(CellText(p, row, 2)) + " " + CellText(p, row, 3),
          false);
    }
  }

  // Views and materialized views, each after those it reads.
  void Views() {
    ResultHandle r = Query(
        "SELECT c.oid, n.nspname, c.relname, c.relkind, pg_catalog.pg_get_viewdef(c.oid), "
        "pg_catalog.array_to_string(c.reloptions, ', ') FROM pg_catalog.pg_class c JOIN "
        "pg_catalog.pg_namespace "
        "n ON n.oid = c.relnamespace WHERE " +
        OwnRelations() + " AND c.relkind IN ('v', 'm') ORDER BY c.oid");
    ResultHandle uses = Query(
        "SELECT DISTINCT w.ev_class, d.refobjid FROM pg_catalog.pg_rewrite w JOIN pg_catalog.pg_depend d ON "
        "d.classid = 'pg_catalog.pg_rewrite'::pg_catalog.regclass AND d.objid = w.oid AND d.refclassid = "
        "'pg_catalog.pg_class'::pg_catalog.regclass AND d.refobjid <> w.ev_class");
    std::map<std::string, int> rowOf;
    for (int row = 0; row < PQntuples(r.get()); ++row) rowOf[CellText(r.get(), row, 0)] = row;
    std::multimap<std::string, std::string> reads;
    for (int row = 0; row < PQntuples(uses.get()); ++row)
      reads.emplace(CellText(uses.get(), row, 0), CellText(uses.get(), row, 1));
    std::set<std::string> done;
    std::function<void(const std::string&)> add = [&](const std::string& oid) {
      if (!done.insert(oid).second) return;
      auto [from, to] = reads.equal_range(oid);
      for (auto it = from; it != to; ++it)
        if (rowOf.contains(it->second)) add(it->second);
      const PGresult* p = r.get();
      const int row = rowOf[oid];
      const bool materialized = CellText(p, row, 3) == "m";
      std::string query = CellText(p, row, 4);
      while (!query.empty() && (query.back() == ';' || query.back() == ' ' || query.back() == '\n'))
        query.pop_back();
      const std::string options = CellText(p, row, 5);
      Add(materialized ? "materialized view" : "view", CatalogName(CellText(p, row, 1), CellText(p, row, 2)),
          {}, {},
          std::string(materialized ? "CREATE MATERIALIZED VIEW " : "CREATE VIEW ") +
              Qualified(CellText(p, row, 1), CellText(p, row, 2)) +
              (options.empty() ? "" : " WITH (" + options + ")") + " AS" + query +
              (materialized ? " WITH NO DATA" : ""),
          false);
    };
    for (int row = 0; row < PQntuples(r.get()); ++row) add(CellText(r.get(), row, 0));
  }

  // Indexes the catalog's Index cannot say: over expressions or part of the rows, of another method than a
  // B-tree, with INCLUDE columns, and every index of a materialized view; never a key's or constraint's.
  void Indexes() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, ic.relname, pg_catalog.pg_get_indexdef(i.indexrelid), c.relkind, "
        "pg_catalog.quote_ident(n.nspname) || '.' || pg_catalog.quote_ident(c.relname), "
        "CASE WHEN i.indexprs IS NOT NULL THEN 'expressions ' ELSE '' END || CASE WHEN i.indpred IS NOT NULL "
        "THEN 'part of the rows ' ELSE '' END || CASE WHEN am.amname <> 'btree' THEN am.amname || ' ' ELSE "
        "'' END || CASE WHEN i.indnatts <> i.indnkeyatts THEN 'INCLUDE' ELSE '' END "
        "FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class ic ON ic.oid = i.indexrelid "
        "JOIN pg_catalog.pg_am am ON am.oid = ic.relam JOIN pg_catalog.pg_class c ON c.oid = i.indrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE " +
        OwnRelations() +
        " AND c.relkind IN ('r', 'p', 'm') AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_constraint x WHERE "
        "x.conindid = i.indexrelid AND x.conrelid = i.indrelid AND x.contype IN ('p', 'u', 'x')) AND "
        "(c.relkind = 'm' OR i.indexprs IS NOT NULL OR i.indpred IS NOT NULL OR am.amname <> 'btree' OR "
        "i.indnatts <> i.indnkeyatts) ORDER BY i.indexrelid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      std::string sql = CellText(p, row, 3);
      // The server writes a partitioned table's index as one of that table ONLY, which pg_dump then
      // attaches its partitions' to; made anew, it is made on the partitions too.
      const std::string table = CellText(p, row, 5);
      if (CellText(p, row, 4) == "p") {
        const std::string only = " ON ONLY " + table + " USING ";
        if (std::size_t at = sql.find(only); at != std::string::npos)
          sql.replace(at, only.size(), " ON " + table + " USING ");
      }
      std::string detail = CellText(p, row, 6);
      while (!detail.empty() && detail.back() == ' ') detail.pop_back();
      Add("index", CellText(p, row, 2), CatalogName(CellText(p, row, 0), CellText(p, row, 1)), detail, sql,
          false);
    }
  }

  void Triggers() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, t.tgname, pg_catalog.pg_get_triggerdef(t.oid) FROM "
        "pg_catalog.pg_trigger t "
        "JOIN pg_catalog.pg_class c ON c.oid = t.tgrelid JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace WHERE " +
        OwnRelations() + " AND NOT t.tgisinternal" + (version_ >= 130000 ? " AND t.tgparentid = 0" : "") +
        " ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      Add("trigger", CellText(p, row, 2), CatalogName(CellText(p, row, 0), CellText(p, row, 1)), {},
          CellText(p, row, 3), false);
    }
  }

  void Policies() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, o.polname, CASE WHEN o.polpermissive THEN 'PERMISSIVE' ELSE "
        "'RESTRICTIVE' END, CASE o.polcmd WHEN 'r' THEN 'SELECT' WHEN 'a' THEN 'INSERT' WHEN 'w' THEN "
        "'UPDATE' WHEN 'd' THEN 'DELETE' ELSE 'ALL' END, CASE WHEN o.polroles = '{0}' THEN 'PUBLIC' ELSE "
        "(SELECT pg_catalog.string_agg(pg_catalog.quote_ident(a.rolname), ', ' ORDER BY a.rolname) FROM "
        "pg_catalog.pg_roles a WHERE a.oid = ANY (o.polroles)) END, pg_catalog.pg_get_expr(o.polqual, "
        "o.polrelid), pg_catalog.pg_get_expr(o.polwithcheck, o.polrelid) FROM pg_catalog.pg_policy o JOIN "
        "pg_catalog.pg_class c ON c.oid = o.polrelid JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace "
        "WHERE " +
        OwnRelations() + " ORDER BY o.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      std::string sql = "CREATE POLICY " + QuoteName(CellText(p, row, 2)) + " ON " +
                        Qualified(CellText(p, row, 0), CellText(p, row, 1)) + " AS " + CellText(p, row, 3) +
                        " FOR " + CellText(p, row, 4) + " TO " + CellText(p, row, 5);
      if (!CellIsNull(p, row, 6)) sql += " USING (" + CellText(p, row, 6) + ")";
      if (!CellIsNull(p, row, 7)) sql += " WITH CHECK (" + CellText(p, row, 7) + ")";
      Add("policy", CellText(p, row, 2), CatalogName(CellText(p, row, 0), CellText(p, row, 1)), {}, sql,
          false);
    }
  }

  ServerSession& session_;
  int version_;
  std::vector<EngineObject> objects_;
};

EngineState State(std::string kind, std::string schema, std::string name, std::string on = {},
                  std::string value = {}) {
  EngineState state;
  state.kind = std::move(kind);
  // The default schema goes unsaid, as in the names of tables.
  state.schema = schema == kDefaultSchema ? std::string() : std::move(schema);
  state.name = std::move(name);
  state.on = std::move(on);
  state.value = std::move(value);
  return state;
}

class StateReader {
 public:
  explicit StateReader(ServerSession& session) : session_(session) {}

  std::vector<EngineState> Read() {
    Sequences();
    Comments();
    RowSecurity();
    TriggerFiring();
    Deferral();
    Refresh();
    return std::move(states_);
  }

 private:
  ResultHandle Query(const std::string& sql) { return session_.QueryServerSql(sql); }

  // Every sequence's position, with the column it numbers when it numbers one; and which column a sequence
  // a table's own statement names belongs to.
  void Sequences() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, tn.nspname, tc.relname, a.attname, d.deptype, CASE WHEN tc.oid IS NOT "
        "NULL THEN " +
        OwnStatement("tc") + " END" +
        " FROM pg_catalog.pg_sequence s JOIN pg_catalog.pg_class c ON c.oid = s.seqrelid JOIN "
        "pg_catalog.pg_namespace n ON n.oid = c.relnamespace LEFT JOIN pg_catalog.pg_depend d ON d.classid = "
        "'pg_catalog.pg_class'::pg_catalog.regclass AND d.objid = c.oid AND d.refclassid = "
        "'pg_catalog.pg_class'::pg_catalog.regclass AND d.deptype IN ('a', 'i') LEFT JOIN "
        "pg_catalog.pg_class "
        "tc ON tc.oid = d.refobjid LEFT JOIN pg_catalog.pg_namespace tn ON tn.oid = tc.relnamespace LEFT "
        "JOIN "
        "pg_catalog.pg_attribute a ON a.attrelid = d.refobjid AND a.attnum = d.refobjsubid WHERE " +
        kUserSchema + " AND " + NotOfExtension("pg_class", "c.oid") +
        " AND CASE WHEN c.relkind = 'S' THEN pg_catalog.has_sequence_privilege(c.oid, 'SELECT') END ORDER BY "
        "c.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      EngineState state = State("sequence", CellText(p, row, 0), CellText(p, row, 1));
      if (!CellIsNull(p, row, 3)) {
        state.table = CatalogName(CellText(p, row, 2), CellText(p, row, 3));
        state.column = CellText(p, row, 4);
      }
      ResultHandle position =
          Query("SELECT last_value, is_called FROM " + Qualified(CellText(p, row, 0), state.name));
      state.value = CellText(position.get(), 0, 0);
      state.called = CellFlag(position.get(), 0, 1);
      if (!state.table.empty() && CellText(p, row, 5) == "a" && CellFlag(p, row, 6)) {
        EngineState owned = state;
        owned.kind = "owned";
        owned.value.clear();
        owned.called = false;
        states_.push_back(std::move(owned));
      }
      states_.push_back(std::move(state));
    }
  }

  void Comments() {
    // Relations and their columns (a table's column comments travel in its columns too), types, routines
    // and schemas.
    ResultHandle r = Query(
        std::string(
            "SELECT n.nspname, c.relname, CASE c.relkind WHEN 'v' THEN 'view' WHEN 'm' THEN "
            "'materialized view' WHEN 'S' THEN 'sequence' WHEN 'f' THEN 'foreign table' ELSE 'table' END, "
            "a.attname, pg_catalog.col_description(c.oid, COALESCE(a.attnum, 0)) FROM pg_catalog.pg_class c "
            "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace LEFT JOIN pg_catalog.pg_attribute a ON "
            "a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped AND EXISTS (SELECT 1 FROM "
            "pg_catalog.pg_description e WHERE e.objoid = c.oid AND e.objsubid = a.attnum) WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_class", "c.oid") +
        " AND c.relkind IN ('r', 'p', 'v', 'm', 'S', 'f') AND pg_catalog.col_description(c.oid, "
        "COALESCE(a.attnum, "
        "0)) IS NOT NULL ORDER BY c.oid, a.attnum NULLS FIRST");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      EngineState state = State("comment", CellText(p, row, 0), CellText(p, row, 1), CellText(p, row, 2));
      if (!CellIsNull(p, row, 3)) {
        state.on = "column";
        state.column = CellText(p, row, 3);
      }
      state.value = CellText(p, row, 4);
      states_.push_back(std::move(state));
    }
    r = Query(
        std::string("SELECT n.nspname, t.typname, CASE t.typtype WHEN 'd' THEN 'domain' ELSE 'type' END, "
                    "pg_catalog.obj_description(t.oid, 'pg_type') FROM pg_catalog.pg_type t JOIN "
                    "pg_catalog.pg_namespace n ON n.oid = t.typnamespace WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_type", "t.oid") +
        " AND t.typtype IN ('e', 'd', 'c', 'r') AND (t.typrelid = 0 OR (SELECT r.relkind FROM "
        "pg_catalog.pg_class r WHERE r.oid = t.typrelid) = 'c') AND pg_catalog.obj_description(t.oid, "
        "'pg_type') IS NOT NULL ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      states_.push_back(State("comment", CellText(p, row, 0), CellText(p, row, 1), CellText(p, row, 2),
                              CellText(p, row, 3)));
    }
    r = Query(
        std::string("SELECT n.nspname, p.proname, CASE p.prokind WHEN 'p' THEN 'procedure' WHEN 'a' THEN "
                    "'aggregate' ELSE 'function' END, pg_catalog.pg_get_function_identity_arguments(p.oid), "
                    "pg_catalog.obj_description(p.oid, 'pg_proc') FROM pg_catalog.pg_proc p JOIN "
                    "pg_catalog.pg_namespace n ON n.oid = p.pronamespace WHERE ") +
        kUserSchema + " AND " + NotOfExtension("pg_proc", "p.oid") +
        " AND pg_catalog.obj_description(p.oid, 'pg_proc') IS NOT NULL ORDER BY p.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      const PGresult* p = r.get();
      EngineState state = State("comment", CellText(p, row, 0), CellText(p, row, 1), CellText(p, row, 2),
                                CellText(p, row, 4));
      state.arguments = CellText(p, row, 3);
      states_.push_back(std::move(state));
    }
    r = Query(std::string("SELECT n.nspname, pg_catalog.obj_description(n.oid, 'pg_namespace') FROM "
                          "pg_catalog.pg_namespace n WHERE ") +
              kUserSchema + " AND n.nspname <> 'public' AND " + NotOfExtension("pg_namespace", "n.oid") +
              " AND pg_catalog.obj_description(n.oid, 'pg_namespace') IS NOT NULL ORDER BY n.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      states_.push_back(State("comment", {}, CellText(r.get(), row, 0), "schema", CellText(r.get(), row, 1)));
  }

  void RowSecurity() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, c.relforcerowsecurity FROM pg_catalog.pg_class c JOIN "
        "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE " +
        std::string(kUserSchema) + " AND c.relrowsecurity ORDER BY c.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      states_.push_back(State("row security", CellText(r.get(), row, 0), CellText(r.get(), row, 1), {},
                              CellFlag(r.get(), row, 2) ? "forced" : "enabled"));
  }

  // Triggers that do not fire as a new trigger does: disabled, or firing only on a replica or always.
  void TriggerFiring() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, t.tgname, CASE t.tgenabled WHEN 'D' THEN 'disabled' WHEN 'R' THEN "
        "'replica' ELSE 'always' END FROM pg_catalog.pg_trigger t JOIN pg_catalog.pg_class c ON c.oid = "
        "t.tgrelid JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE " +
        std::string(kUserSchema) +
        " AND NOT c.relispartition AND NOT t.tgisinternal AND t.tgenabled <> 'O' AND " +
        NotOfExtension("pg_class", "c.oid") + " ORDER BY t.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      states_.push_back(State("trigger", CellText(r.get(), row, 0), CellText(r.get(), row, 1),
                              CellText(r.get(), row, 2), CellText(r.get(), row, 3)));
  }

  // Foreign keys checked at the end of the transaction (the catalog's keys carry their rules, not this).
  void Deferral() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname, x.conname, x.condeferred FROM pg_catalog.pg_constraint x JOIN "
        "pg_catalog.pg_class c ON c.oid = x.conrelid JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace "
        "WHERE " +
        std::string(kUserSchema) + " AND NOT c.relispartition AND x.contype = 'f' AND x.condeferrable AND " +
        NotOfExtension("pg_class", "c.oid") + " ORDER BY x.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      states_.push_back(State("deferrable", CellText(r.get(), row, 0), CellText(r.get(), row, 1),
                              CellText(r.get(), row, 2),
                              CellFlag(r.get(), row, 3) ? "deferred" : "immediate"));
  }

  void Refresh() {
    ResultHandle r = Query(
        "SELECT n.nspname, c.relname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
        "c.relnamespace WHERE " +
        std::string(kUserSchema) + " AND c.relkind = 'm' AND c.relispopulated AND " +
        NotOfExtension("pg_class", "c.oid") + " ORDER BY c.oid");
    for (int row = 0; row < PQntuples(r.get()); ++row)
      states_.push_back(State("refresh", CellText(r.get(), row, 0), CellText(r.get(), row, 1)));
  }

  ServerSession& session_;
  std::vector<EngineState> states_;
};

// Runs `run` in a savepoint of its own when the session is in a transaction, so that a statement the
// server refuses spoils nothing else.
template <class Run>
void InSavepoint(ServerSession& session, const Run& run) {
  const bool savepoint = session.InTransaction();
  if (savepoint) session.RunServerSql("SAVEPOINT vela_engine_object");
  try {
    run();
  } catch (const Error&) {
    if (savepoint) session.RunServerSql("ROLLBACK TO SAVEPOINT vela_engine_object");
    throw;
  }
  if (savepoint) session.RunServerSql("RELEASE SAVEPOINT vela_engine_object");
}

// The kinds of object a comment may be on, as COMMENT ON names them.
const std::set<std::string, std::less<>>& CommentTargets() {
  static const std::set<std::string, std::less<>> targets{"table",    "view",          "materialized view",
                                                          "sequence", "foreign table", "column",
                                                          "type",     "domain",        "schema"};
  return targets;
}

[[noreturn]] void StateNotFound(const EngineState& state) {
  throw Error(kItemNotFound, kSource,
              "Item cannot be found in the collection: " + state.kind + " " +
                  (state.schema.empty() ? state.name : state.schema + "." + state.name));
}

}  // namespace

std::vector<EngineObject> ListServerObjects(ServerSession& session) {
  EmptySearchPath path(session);
  return ObjectReader(session).Read();
}

std::vector<EngineState> ListServerStates(ServerSession& session) {
  EmptySearchPath path(session);
  return StateReader(session).Read();
}

void ApplyServerObject(ServerSession& session, const EngineObject& object) {
  if (std::string why = CheckServerEngineSql(object); !why.empty())
    throw Error(
        kCommandError, kSource,
        "The SQL of the " + object.kind + " \"" + object.name + "\" in the backup was not run: " + why);
  // A routine's body is read when it runs, as pg_restore has it: what it names may come later.
  if (object.kind == "function" || object.kind == "procedure")
    session.RunServerSql("SET check_function_bodies = false");
  // One statement only: the protocol with parameters takes no more.
  InSavepoint(session, [&] { session.QueryServerSql(object.sql); });
}

void ApplyServerState(ServerSession& session, const EngineState& state) {
  const std::string schema = state.schema.empty() ? std::string(kDefaultSchema) : state.schema;
  const std::string name = Qualified(schema, state.name);
  std::string sql;
  if (state.kind == "sequence") {
    std::vector<std::string> parameters{
        state.table.empty() ? std::string() : QualifiedCatalogName(state.table), state.column, name,
        state.value, state.called ? "true" : "false"};
    InSavepoint(session, [&] {
      ResultHandle r = session.QueryServerSql(
          "SELECT pg_catalog.setval(COALESCE(CASE WHEN $1::text <> '' THEN "
          "pg_catalog.pg_get_serial_sequence($1, "
          "$2)::pg_catalog.regclass END, pg_catalog.to_regclass($3::text)), $4::bigint, $5::boolean)",
          parameters);
      if (CellIsNull(r.get(), 0, 0)) StateNotFound(state);
    });
    return;
  }
  if (state.kind == "owned") {
    sql = "ALTER SEQUENCE " + name + " OWNED BY " + QualifiedCatalogName(state.table) + "." +
          QuoteName(state.column);
  } else if (state.kind == "comment") {
    std::string target;
    if (!CommentTargets().contains(state.on) && state.on != "function" && state.on != "procedure" &&
        state.on != "aggregate")
      throw Error(kNotSupported, kSource, "This provider keeps no comment on a " + state.on);
    if (state.on == "schema") {
      target = "SCHEMA " + QuoteName(state.name);
    } else if (state.on == "column") {
      target = "COLUMN " + name + "." + QuoteName(state.column);
    } else if (CommentTargets().contains(state.on)) {
      target = text::ToUpper(state.on) + " " + name;
    } else {
      // A routine is found by its arguments as the server writes them, and named as the server names it.
      EmptySearchPath path(session);
      const std::vector<std::string> parameters{schema, state.name, state.arguments};
      ResultHandle r = session.QueryServerSql(
          "SELECT p.oid::pg_catalog.regprocedure::text FROM pg_catalog.pg_proc p JOIN "
          "pg_catalog.pg_namespace n "
          "ON n.oid = p.pronamespace WHERE n.nspname = $1 AND p.proname = $2 AND "
          "pg_catalog.pg_get_function_identity_arguments(p.oid) = $3",
          parameters);
      if (PQntuples(r.get()) != 1) StateNotFound(state);
      target = (state.on == "procedure"   ? "PROCEDURE "
                : state.on == "aggregate" ? "AGGREGATE "
                                          : "FUNCTION ") +
               CellText(r.get(), 0, 0);
      if (state.on == "aggregate" && target.ends_with("()")) target.replace(target.size() - 2, 2, "(*)");
      sql = "COMMENT ON " + target + " IS " + QuoteText(state.value);
      InSavepoint(session, [&] { session.RunServerSql(sql); });
      return;
    }
    sql = "COMMENT ON " + target + " IS " + QuoteText(state.value);
  } else if (state.kind == "row security") {
    sql = "ALTER TABLE " + name + " ENABLE ROW LEVEL SECURITY";
    if (state.value == "forced") sql += ", FORCE ROW LEVEL SECURITY";
  } else if (state.kind == "deferrable") {
    sql = "ALTER TABLE " + name + " ALTER CONSTRAINT " + QuoteName(state.on) + " DEFERRABLE INITIALLY " +
          (state.value == "deferred" ? "DEFERRED" : "IMMEDIATE");
  } else if (state.kind == "trigger") {
    const char* firing = state.value == "disabled"  ? " DISABLE TRIGGER "
                         : state.value == "replica" ? " ENABLE REPLICA TRIGGER "
                                                    : " ENABLE ALWAYS TRIGGER ";
    sql = "ALTER TABLE " + name + firing + QuoteName(state.on);
  } else if (state.kind == "refresh") {
    sql = "REFRESH MATERIALIZED VIEW " + name;
  } else {
    throw Error(kNotSupported, kSource, "This provider keeps no " + state.kind + " of " + state.name);
  }
  InSavepoint(session, [&] { session.RunServerSql(sql); });
}

}  // namespace vela::data::postgres
