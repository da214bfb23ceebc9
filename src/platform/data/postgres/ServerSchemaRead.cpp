// The catalog of a server database, read from pg_catalog. It shows the tables and views of the schemas on
// the search path (never pg_catalog, information_schema, TOAST or temporary schemas, nor the partitions
// of a partitioned table, whose rows the parent shows); it keeps nothing between calls, so it always
// reads the schema as it is now.
#include "platform/data/SchemaColumns.h"
#include "platform/data/postgres/ServerSchema.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/data/BufferedRecordset.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerDefaults.h"
#include "platform/data/postgres/ServerTypes.h"
#include "platform/text/Strings.h"

namespace vela::data::postgres {

namespace {

// The longest name PostgreSQL keeps (NAMEDATALEN - 1 bytes); a longer one it would cut short silently.

// The relations the catalog shows, of pg_class c in pg_namespace n.
constexpr const char* kShownRelations =
    "c.relkind IN ('r', 'p', 'v', 'm', 'f') AND NOT c.relispartition AND n.nspname !~ '^pg_' AND "
    "n.nspname <> 'information_schema' AND pg_catalog.pg_table_is_visible(c.oid)";

std::string Text(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}
bool IsNull(const PGresult* result, int row, int column) {
  return PQgetisnull(result, row, column) != 0;
}
bool Flag(const PGresult* result, int row, int column) {
  return Text(result, row, column) == "t";
}
std::int64_t Number(const PGresult* result, int row, int column) {
  return std::stoll(Text(result, row, column));
}

[[noreturn]] void NotFound(std::string what) {
  throw Error(kItemNotFound, kSource, "Item cannot be found in the collection: " + what);
}

// A relation the catalog shows.
struct Relation {
  std::string oid;
  std::string schema;
  std::string name;
  bool view = false;

  std::string Sql() const { return QuoteName(schema) + "." + QuoteName(name); }
};

// The relation of that name (brackets allowed): the one spelt so, else one whose name differs only in
// case; nullopt when there is none.
std::optional<Relation> FindRelation(ServerSession& session, std::string_view bracketed) {
  std::string name = Unbracket(bracketed);
  ResultHandle result = session.QueryServerSql(
      std::string("SELECT c.oid, n.nspname, c.relname, c.relkind FROM pg_catalog.pg_class c JOIN "
                  "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE ") +
          kShownRelations + " AND lower(c.relname) = lower($1) ORDER BY c.relname COLLATE \"C\"",
      std::vector<std::string>{name});
  const PGresult* r = result.get();
  int chosen = -1;
  for (int row = 0; row < PQntuples(r); ++row) {
    if (Text(r, row, 2) == name) {
      chosen = row;
      break;
    }
    if (chosen < 0 && NamesEqual(Text(r, row, 2), name)) chosen = row;
  }
  if (chosen < 0) return std::nullopt;
  char kind = Text(r, chosen, 3)[0];
  return Relation{Text(r, chosen, 0), Text(r, chosen, 1), Text(r, chosen, 2), kind == 'v' || kind == 'm'};
}

Relation RequireRelation(ServerSession& session, std::string_view name) {
  std::optional<Relation> relation = FindRelation(session, name);
  if (!relation) NotFound("table " + Unbracket(name));
  return *relation;
}

// A column as the catalog and the COLUMNS rowset report it.
struct ColumnState {
  Column column;
  int typeModifier = -1;  // of the base type
  bool nullable = true;
  bool autoincrement = false;
  bool writable = true;  // not GENERATED ALWAYS, not computed
  std::optional<std::string> defaultText;
  std::optional<std::string> description;
  std::int64_t seed = 1;
  std::int64_t increment = 1;
  std::string sequenceOid;  // the sequence behind an autoincrement column, when it has one
  bool identity = false;
};

// The base type and modifier of a domain, followed down through domains over domains.
std::pair<Oid, int> BaseType(ServerSession& session, Oid type, int modifier) {
  for (int depth = 0; depth < 32; ++depth) {
    ResultHandle result = session.QueryServerSql(
        "SELECT typtype, typbasetype, typtypmod FROM pg_catalog.pg_type WHERE oid = $1",
        std::vector<std::string>{std::to_string(type)});
    if (PQntuples(result.get()) == 0 || Text(result.get(), 0, 0) != "d") break;
    type = static_cast<Oid>(Number(result.get(), 0, 1));
    if (modifier < 0) modifier = static_cast<int>(Number(result.get(), 0, 2));
  }
  return {type, modifier};
}

std::vector<ColumnState> ReadColumns(ServerSession& session, const Relation& relation) {
  ResultHandle result = session.QueryServerSql(
      "SELECT a.attnum, a.attname, a.atttypid, a.atttypmod, a.attnotnull, a.attidentity, a.attgenerated, "
      "t.typtype, t.typnotnull, pg_catalog.pg_get_expr(d.adbin, d.adrelid), "
      "pg_catalog.col_description(a.attrelid, a.attnum) "
      "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
      "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
      "WHERE a.attrelid = $1 AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum",
      std::vector<std::string>{relation.oid});
  const PGresult* r = result.get();

  // The sequences behind identity and serial columns, by column number.
  ResultHandle sequences = session.QueryServerSql(
      "SELECT d.refobjsubid, s.seqrelid, s.seqincrement, sn.nspname, sc.relname FROM pg_catalog.pg_depend d "
      "JOIN pg_catalog.pg_sequence s ON s.seqrelid = d.objid "
      "JOIN pg_catalog.pg_class sc ON sc.oid = s.seqrelid "
      "JOIN pg_catalog.pg_namespace sn ON sn.oid = sc.relnamespace "
      "WHERE d.classid = 'pg_catalog.pg_class'::pg_catalog.regclass "
      "AND d.refclassid = 'pg_catalog.pg_class'::pg_catalog.regclass AND d.refobjid = $1 "
      "AND d.deptype IN ('a', 'i')",
      std::vector<std::string>{relation.oid});
  std::map<std::string, int> sequenceOf;  // column number -> row
  for (int row = 0; row < PQntuples(sequences.get()); ++row) sequenceOf[Text(sequences.get(), row, 0)] = row;

  std::vector<ColumnState> columns;
  for (int row = 0; row < PQntuples(r); ++row) {
    ColumnState state;
    Oid type = static_cast<Oid>(Number(r, row, 2));
    int modifier = static_cast<int>(Number(r, row, 3));
    bool domainNotNull = false;
    if (Text(r, row, 7) == "d") {
      domainNotNull = Flag(r, row, 8);
      std::tie(type, modifier) = BaseType(session, type, modifier);
    }
    AdoType ado = AdoTypeFor(type, modifier);
    state.typeModifier = modifier;
    state.column.name = Text(r, row, 1);
    state.column.type = ado.type;
    state.column.definedSize = ado.definedSize;
    state.column.precision = ado.precision;
    state.column.numericScale = ado.numericScale;

    std::string identity = Text(r, row, 5);
    bool generated = !Text(r, row, 6).empty();
    state.identity = !identity.empty();
    state.writable = identity != "a" && !generated;
    state.nullable = !Flag(r, row, 4) && !domainNotNull;
    if (!IsNull(r, row, 9) && !generated) {
      std::string expression = Text(r, row, 9);
      if (expression.starts_with("nextval("))
        state.autoincrement = true;
      else
        state.defaultText = DefaultFromServer(expression);
    }
    state.autoincrement |= state.identity;
    if (!IsNull(r, row, 10)) state.description = Text(r, row, 10);
    if (auto found = sequenceOf.find(Text(r, row, 0)); state.autoincrement && found != sequenceOf.end()) {
      const PGresult* s = sequences.get();
      int at = found->second;
      state.sequenceOid = Text(s, at, 1);
      state.increment = Number(s, at, 2);
      // The seed is the value the next row gets: the sequence's last value, or the one after it once
      // it has been given out.
      ResultHandle position = session.QueryServerSql(
          "SELECT last_value, is_called FROM " + QuoteName(Text(s, at, 3)) + "." + QuoteName(Text(s, at, 4)));
      if (PQntuples(position.get()) > 0)
        state.seed = Number(position.get(), 0, 0) + (Flag(position.get(), 0, 1) ? state.increment : 0);
    }

    auto optional = [](const std::optional<std::string>& text) { return text ? Value(*text) : Value(); };
    state.column.properties = Properties({
        {"Autoincrement", Value(state.autoincrement)},
        {"Default", optional(state.defaultText)},
        {"Description", optional(state.description)},
        {"Fixed Length", Value(ado.type == adWChar)},
        {"Increment", Value(static_cast<long long>(state.increment))},
        {"Nullable", Value(state.nullable)},
        {"Seed", Value(static_cast<long long>(state.seed))},
    });
    columns.push_back(std::move(state));
  }
  return columns;
}

Column NamedColumn(std::string name, std::string related = {}) {
  Column column;
  column.name = std::move(name);
  column.relatedColumn = std::move(related);
  return column;
}

// The indexes over plain columns (an index over expressions or part of the rows is none the catalog can
// describe); a primary key's first.
std::vector<Index> ReadIndexes(ServerSession& session, const Relation& relation) {
  ResultHandle result = session.QueryServerSql(
      "SELECT i.indexrelid, ic.relname, i.indisunique, i.indisprimary, i.indisclustered, "
      "pg_catalog.obj_description(i.indexrelid, 'pg_class'), a.attname "
      "FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class ic ON ic.oid = i.indexrelid "
      "CROSS JOIN LATERAL unnest(i.indkey::pg_catalog.int2[]) WITH ORDINALITY AS k(attnum, n) "
      "JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
      "WHERE i.indrelid = $1 AND i.indexprs IS NULL AND i.indpred IS NULL AND k.n <= i.indnkeyatts "
      "ORDER BY i.indisprimary DESC, ic.relname COLLATE \"C\", i.indexrelid, k.n",
      std::vector<std::string>{relation.oid});
  const PGresult* r = result.get();
  std::vector<Index> indexes;
  std::string current;
  for (int row = 0; row < PQntuples(r); ++row) {
    if (Text(r, row, 0) != current) {
      current = Text(r, row, 0);
      Index index;
      std::optional<std::string> given;
      if (!IsNull(r, row, 5)) given = NameFromIndexComment(Text(r, row, 5));
      index.name = given ? *given : Text(r, row, 1);
      index.unique = Flag(r, row, 2);
      index.primaryKey = Flag(r, row, 3);
      index.clustered = Flag(r, row, 4);
      index.indexNulls = index.primaryKey ? adIndexNullsDisallow : adIndexNullsAllow;
      indexes.push_back(std::move(index));
    }
    indexes.back().columns.push_back(NamedColumn(Text(r, row, 6)));
  }
  return indexes;
}

int RuleFromServer(std::string_view action) {
  if (action == "c") return adRICascade;
  if (action == "n") return adRISetNull;
  if (action == "d") return adRISetDefault;
  return adRINone;
}

std::string RuleSql(int rule) {
  switch (rule) {
    case adRICascade:
      return "CASCADE";
    case adRISetNull:
      return "SET NULL";
    case adRISetDefault:
      return "SET DEFAULT";
    default:
      return "NO ACTION";
  }
}

// Primary, unique and foreign keys. A name the server could not keep is read from the comment of the
// key's index (primary and unique keys) or of the constraint (foreign keys).
std::vector<Key> ReadKeys(ServerSession& session, const Relation& relation) {
  ResultHandle result = session.QueryServerSql(
      "SELECT con.oid, con.conname, con.contype, fr.relname, con.confdeltype, con.confupdtype, "
      "CASE WHEN con.contype = 'f' THEN pg_catalog.obj_description(con.oid, 'pg_constraint') "
      "ELSE pg_catalog.obj_description(con.conindid, 'pg_class') END, a.attname, fa.attname "
      "FROM pg_catalog.pg_constraint con "
      "CROSS JOIN LATERAL unnest(con.conkey) WITH ORDINALITY AS k(attnum, n) "
      "JOIN pg_catalog.pg_attribute a ON a.attrelid = con.conrelid AND a.attnum = k.attnum "
      "LEFT JOIN pg_catalog.pg_class fr ON fr.oid = con.confrelid "
      "LEFT JOIN pg_catalog.pg_attribute fa ON fa.attrelid = con.confrelid AND fa.attnum = con.confkey[k.n] "
      "WHERE con.conrelid = $1 AND con.contype IN ('p', 'u', 'f') "
      "ORDER BY con.contype = 'p' DESC, con.contype = 'u' DESC, con.conname COLLATE \"C\", con.oid, k.n",
      std::vector<std::string>{relation.oid});
  const PGresult* r = result.get();
  std::vector<Key> keys;
  std::string current;
  for (int row = 0; row < PQntuples(r); ++row) {
    if (Text(r, row, 0) != current) {
      current = Text(r, row, 0);
      Key key;
      std::optional<std::string> given;
      if (!IsNull(r, row, 6)) given = NameFromIndexComment(Text(r, row, 6));
      key.name = given ? *given : Text(r, row, 1);
      std::string type = Text(r, row, 2);
      key.type = type == "p" ? adKeyPrimary : type == "u" ? adKeyUnique : adKeyForeign;
      if (key.type == adKeyForeign) {
        key.relatedTable = Text(r, row, 3);
        key.deleteRule = RuleFromServer(Text(r, row, 4));
        key.updateRule = RuleFromServer(Text(r, row, 5));
      }
      keys.push_back(std::move(key));
    }
    Key& key = keys.back();
    key.columns.push_back(
        NamedColumn(Text(r, row, 7), key.type == adKeyForeign && !IsNull(r, row, 8) ? Text(r, row, 8) : ""));
  }
  return keys;
}

std::string ColumnList(const std::vector<Column>& columns, bool related = false) {
  std::string list;
  for (const Column& column : columns) {
    if (!list.empty()) list += ", ";
    list += QuoteName(Unbracket(related ? column.relatedColumn : column.name));
  }
  return list;
}

// Names the server would cut short are refused rather than changed.
void CheckNameLength(std::string_view name, std::string_view what) {
  if (name.size() > kMaxNameBytes)
    throw Error(kInvalidArgument, kSource,
                "The " + std::string(what) + " name \"" + std::string(name) + "\" is longer than the " +
                    std::to_string(kMaxNameBytes) + " bytes the server keeps");
}

// The names of one namespace (relations of a schema, constraints of a table) that are taken, as asked of
// the server and as given out while one statement batch is being written.
class NameSpace {
 public:
  // `query` finds a name ($2) in the scope ($1); an empty one finds none.
  NameSpace(ServerSession& session, std::string query, std::string scope)
      : session_(&session), query_(std::move(query)), scope_(std::move(scope)) {}

  void Take(std::string name) { given_.insert(std::move(name)); }

  // The given name when it is free and fits, else a free one made from it, which `comment` then gets.
  std::string Claim(std::string_view given, bool& renamed) {
    std::string candidate = std::string(given);
    renamed = false;
    for (int n = 1; given.size() > kMaxNameBytes || Taken(candidate); ++n) {
      renamed = true;
      std::string suffix = "_" + std::to_string(n + 1);
      candidate = NameWithSuffix(given, suffix);
      if (!Taken(candidate)) break;
    }
    given_.insert(candidate);
    return candidate;
  }

 private:
  bool Taken(const std::string& name) {
    if (given_.count(name) > 0) return true;
    if (query_.empty()) return false;
    ResultHandle found = session_->QueryServerSql(query_, std::vector<std::string>{scope_, name});
    return PQntuples(found.get()) > 0;
  }

  ServerSession* session_;
  std::string query_;
  std::string scope_;
  std::set<std::string> given_;
};

// The relation names of the schema a table is in (tables, indexes, sequences, views share them).
NameSpace RelationNames(ServerSession& session, std::string schema) {
  return NameSpace(session,
                   "SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
                   "c.relnamespace WHERE n.nspname = $1 AND c.relname = $2",
                   std::move(schema));
}

// The constraint names of a table.
NameSpace ConstraintNames(ServerSession& session, const Relation& relation) {
  return NameSpace(session, "SELECT 1 FROM pg_catalog.pg_constraint WHERE conrelid = $1 AND conname = $2",
                   relation.oid);
}

class ServerCatalog final : public Catalog {
 public:
  explicit ServerCatalog(ServerSession& session) : session_(&session) {}

  std::vector<Entry> ListTables() override {
    ResultHandle result = session_->QueryServerSql(
        std::string("SELECT c.relname, c.relkind FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                    "ON n.oid = c.relnamespace WHERE ") +
        kShownRelations + " ORDER BY c.relname COLLATE \"C\", n.nspname");
    std::vector<Entry> entries;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
      char kind = Text(result.get(), row, 1)[0];
      entries.push_back(Entry{Text(result.get(), row, 0), kind == 'v' || kind == 'm' ? "VIEW" : "TABLE"});
    }
    return entries;
  }

  Table GetTable(std::string_view name) override {
    Relation relation = RequireRelation(*session_, name);
    Table table;
    table.name = relation.name;
    table.type = relation.view ? "VIEW" : "TABLE";
    for (ColumnState& state : ReadColumns(*session_, relation))
      table.columns.push_back(std::move(state.column));
    if (!relation.view) {
      table.indexes = ReadIndexes(*session_, relation);
      table.keys = ReadKeys(*session_, relation);
    }
    return table;
  }

  void AppendTable(const Table& table) override;
  void AppendKey(std::string_view tableName, const Key& key) override;
  void SetColumnProperty(std::string_view tableName, std::string_view columnName, std::string_view property,
                         const Value& value) override;
  void Refresh() override {}

  Properties NewColumnProperties() const override {
    return Properties({
        {"Autoincrement", Value(false)},
        {"Default", Value()},
        {"Description", Value()},
        {"Fixed Length", Value(false)},
        {"Increment", Value(1)},
        {"Nullable", Value(true)},
        {"Seed", Value(1)},
    });
  }

 private:
  std::string ColumnSql(const std::string& table, const Column& column);
  std::string KeySql(const std::string& tableSql, const Key& key, NameSpace& relations,
                     NameSpace& constraints, std::string_view schema);
  std::string IndexSql(const std::string& tableSql, const Index& index, NameSpace& relations,
                       std::string_view schema);

  ServerSession* session_;
};

// The property's value when it is set (neither Empty nor Null).
const Value* SetProperty(const Column& column, std::string_view name) {
  if (!column.properties.Has(name)) return nullptr;
  const Value& value = column.properties[name];
  return value.IsNullOrEmpty() ? nullptr : &value;
}

std::string ServerCatalog::ColumnSql(const std::string& table, const Column& column) {
  std::string name = Unbracket(column.name);
  CheckNameLength(name, "column");
  const bool fixed = SetProperty(column, "Fixed Length") && SetProperty(column, "Fixed Length")->AsBool();
  int type = column.type;
  if (fixed && column.definedSize > 0 && (type == adVarWChar || type == adVarChar)) type = adWChar;
  std::optional<std::string> serverType =
      ServerTypeFor(type, column.definedSize, column.precision, column.numericScale);
  if (!serverType)
    throw Error(kInvalidArgument, kSource,
                "The column \"" + name + "\" of table \"" + table + "\" has the data type " +
                    std::to_string(column.type) + ", which this provider cannot make");
  std::string sql = QuoteName(name) + " " + *serverType;

  const Value* autoincrement = SetProperty(column, "Autoincrement");
  bool automatic = autoincrement != nullptr && autoincrement->AsBool();
  if (automatic && IsIntegerType(type)) {
    std::int64_t seed = SetProperty(column, "Seed") ? SetProperty(column, "Seed")->AsInt() : 1;
    std::int64_t increment = SetProperty(column, "Increment") ? SetProperty(column, "Increment")->AsInt() : 1;
    if (increment == 0) increment = 1;
    sql += " GENERATED BY DEFAULT AS IDENTITY (START WITH " + std::to_string(seed) + " INCREMENT BY " +
           std::to_string(increment);
    // The sequence's bounds default to 1 .. and .. -1; a seed beyond them widens them.
    if (increment > 0 && seed < 1) sql += " MINVALUE " + std::to_string(seed);
    if (increment < 0 && seed > -1) sql += " MAXVALUE " + std::to_string(seed);
    sql += ")";
  } else if (automatic && type == adGUID) {
    sql += " DEFAULT gen_random_uuid()";
  } else if (const Value* given = SetProperty(column, "Default")) {
    if (std::optional<std::string> expression = ServerDefaultSql(given->AsText(), column.type))
      sql += " DEFAULT " + *expression;
  }
  const Value* nullable = SetProperty(column, "Nullable");
  if (nullable != nullptr && !nullable->AsBool()) sql += " NOT NULL";
  return sql;
}

std::string ServerCatalog::KeySql(const std::string& tableSql, const Key& key, NameSpace& relations,
                                  NameSpace& constraints, std::string_view schema) {
  if (key.columns.empty())
    throw Error(kInvalidArgument, kSource, "The key \"" + key.name + "\" names no columns");
  std::string given = Unbracket(key.name);
  bool renamed = false;
  std::string sql;
  if (key.type == adKeyPrimary || key.type == adKeyUnique) {
    // The constraint's index takes the constraint's name, in the schema's namespace.
    std::string name = relations.Claim(given, renamed);
    constraints.Take(name);
    sql = "ALTER TABLE " + tableSql + " ADD CONSTRAINT " + QuoteName(name) +
          (key.type == adKeyPrimary ? " PRIMARY KEY (" : " UNIQUE (") + ColumnList(key.columns) + ")";
    if (renamed)
      sql += "; COMMENT ON INDEX " + QuoteName(std::string(schema)) + "." + QuoteName(name) + " IS " +
             QuoteText(IndexNameComment(given));
    return sql;
  }
  if (key.type != adKeyForeign)
    throw Error(
        kInvalidArgument, kSource,
        "The key \"" + given + "\" has the type " + std::to_string(key.type) + ", which is no key type");
  std::string name = constraints.Claim(given, renamed);
  std::optional<Relation> related = FindRelation(*session_, key.relatedTable);
  std::string relatedSql = related ? related->Sql() : QuoteName(Unbracket(key.relatedTable));
  bool namesColumns = std::all_of(key.columns.begin(), key.columns.end(),
                                  [](const Column& c) { return !c.relatedColumn.empty(); });
  sql = "ALTER TABLE " + tableSql + " ADD CONSTRAINT " + QuoteName(name) + " FOREIGN KEY (" +
        ColumnList(key.columns) + ") REFERENCES " + relatedSql +
        (namesColumns ? " (" + ColumnList(key.columns, true) + ")" : "") + " ON DELETE " +
        RuleSql(key.deleteRule) + " ON UPDATE " + RuleSql(key.updateRule);
  if (renamed)
    sql += "; COMMENT ON CONSTRAINT " + QuoteName(name) + " ON " + tableSql + " IS " +
           QuoteText(IndexNameComment(given));
  return sql;
}

std::string ServerCatalog::IndexSql(const std::string& tableSql, const Index& index, NameSpace& relations,
                                    std::string_view schema) {
  if (index.columns.empty())
    throw Error(kInvalidArgument, kSource, "The index \"" + index.name + "\" names no columns");
  std::string given = Unbracket(index.name);
  bool renamed = false;
  std::string name = relations.Claim(given, renamed);
  std::string indexSql = QuoteName(std::string(schema)) + "." + QuoteName(name);
  std::string sql = std::string("CREATE ") + (index.unique ? "UNIQUE " : "") + "INDEX " + QuoteName(name) +
                    " ON " + tableSql + " (" + ColumnList(index.columns) + ")";
  if (renamed) sql += "; COMMENT ON INDEX " + indexSql + " IS " + QuoteText(IndexNameComment(given));
  if (index.clustered) sql += "; ALTER TABLE " + tableSql + " CLUSTER ON " + QuoteName(name);
  return sql;
}

// The schema new tables go to: the first of the search path that exists.
std::string CreationSchema(ServerSession& session) {
  ResultHandle result = session.QueryServerSql("SELECT current_schema()");
  if (PQntuples(result.get()) == 0 || IsNull(result.get(), 0, 0))
    throw Error(kCommandError, kSource, "No schema on the search path to create tables in");
  return Text(result.get(), 0, 0);
}

void ServerCatalog::AppendTable(const Table& table) {
  std::string name = Unbracket(table.name);
  CheckNameLength(name, "table");
  if (table.columns.empty())
    throw Error(kInvalidArgument, kSource, "The table \"" + name + "\" has no columns");
  std::string schema = CreationSchema(*session_);
  std::string tableSql = QuoteName(schema) + "." + QuoteName(name);
  NameSpace relations = RelationNames(*session_, schema);
  // An index made earlier under the name this table is given moves to a free name and keeps the name it
  // was given in its comment: tables keep their names, indexes are read back by theirs.
  std::string moved;
  ResultHandle index = session_->QueryServerSql(
      "SELECT pg_catalog.obj_description(c.oid, 'pg_class') FROM pg_catalog.pg_class c "
      "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
      "WHERE n.nspname = $1 AND c.relname = $2 AND c.relkind IN ('i', 'I')",
      std::vector<std::string>{schema, name});
  if (PQntuples(index.get()) > 0) {
    bool renamed = false;
    relations.Take(name);
    const std::string free = relations.Claim(name, renamed);
    moved =
        "ALTER INDEX " + QuoteName(schema) + "." + QuoteName(name) + " RENAME TO " + QuoteName(free) + "; ";
    if (PQgetisnull(index.get(), 0, 0) || !NameFromIndexComment(PQgetvalue(index.get(), 0, 0)))
      moved += "COMMENT ON INDEX " + QuoteName(schema) + "." + QuoteName(free) + " IS " +
               QuoteText(IndexNameComment(name)) + "; ";
  }
  relations.Take(name);
  // The new table has no constraints yet; only those this batch makes are taken.
  NameSpace constraints(*session_, "", "");

  std::string columns;
  std::string comments;
  for (const Column& column : table.columns) {
    if (!columns.empty()) columns += ",\n  ";
    columns += ColumnSql(name, column);
    if (const Value* description = SetProperty(column, "Description"))
      comments += "; COMMENT ON COLUMN " + tableSql + "." + QuoteName(Unbracket(column.name)) + " IS " +
                  QuoteText(description->AsText());
  }
  std::string sql = moved + "CREATE TABLE " + tableSql + " (\n  " + columns + "\n)" + comments;
  for (const Key& key : table.keys)
    if (key.type != adKeyForeign) sql += "; " + KeySql(tableSql, key, relations, constraints, schema);
  for (const Index& index : table.indexes) {
    // A key's index is made with its key.
    bool ofKey = index.primaryKey || std::any_of(table.keys.begin(), table.keys.end(), [&](const Key& key) {
                   return key.type != adKeyForeign && NamesEqual(Unbracket(key.name), Unbracket(index.name));
                 });
    if (!ofKey) sql += "; " + IndexSql(tableSql, index, relations, schema);
  }
  for (const Key& key : table.keys)
    if (key.type == adKeyForeign) sql += "; " + KeySql(tableSql, key, relations, constraints, schema);
  // A primary index without a primary key among the keys still makes the table's primary key.
  for (const Index& index : table.indexes) {
    bool keyed = std::any_of(table.keys.begin(), table.keys.end(),
                             [](const Key& key) { return key.type == adKeyPrimary; });
    if (index.primaryKey && !keyed) {
      Key key{index.name, adKeyPrimary, {}, adRINone, adRINone, index.columns};
      sql += "; " + KeySql(tableSql, key, relations, constraints, schema);
    }
  }
  session_->RunServerSql(sql);
}

void ServerCatalog::AppendKey(std::string_view tableName, const Key& key) {
  Relation relation = RequireRelation(*session_, tableName);
  NameSpace relations = RelationNames(*session_, relation.schema);
  NameSpace constraints = ConstraintNames(*session_, relation);
  session_->RunServerSql(KeySql(relation.Sql(), key, relations, constraints, relation.schema));
}

void ServerCatalog::SetColumnProperty(std::string_view tableName, std::string_view columnName,
                                      std::string_view property, const Value& value) {
  Relation relation = RequireRelation(*session_, tableName);
  std::string wanted = Unbracket(columnName);
  std::vector<ColumnState> columns = ReadColumns(*session_, relation);
  auto found = std::find_if(columns.begin(), columns.end(),
                            [&](const ColumnState& c) { return c.column.name == wanted; });
  if (found == columns.end())
    found = std::find_if(columns.begin(), columns.end(),
                         [&](const ColumnState& c) { return NamesEqual(c.column.name, wanted); });
  if (found == columns.end()) NotFound("column " + wanted + " of " + relation.name);
  const ColumnState& column = *found;
  std::string alter = "ALTER TABLE " + relation.Sql() + " ALTER COLUMN " + QuoteName(column.column.name);

  if (text::EqualsNoCase(property, "Seed")) {
    if (!column.autoincrement || (!column.identity && column.sequenceOid.empty()))
      throw Error(kNotSupported, kSource,
                  "The column \"" + column.column.name + "\" of \"" + relation.name +
                      "\" has no seed: it is not an autoincrement column");
    std::string seed = std::to_string(value.AsInt());
    if (column.identity) {
      session_->RunServerSql(alter + " RESTART WITH " + seed);
    } else {
      session_->QueryServerSql("SELECT pg_catalog.setval($1::pg_catalog.oid::pg_catalog.regclass, $2, false)",
                               std::vector<std::string>{column.sequenceOid, seed});
    }
  } else if (text::EqualsNoCase(property, "Description")) {
    session_->RunServerSql("COMMENT ON COLUMN " + relation.Sql() + "." + QuoteName(column.column.name) +
                           " IS " + (value.IsNullOrEmpty() ? "NULL" : QuoteText(value.AsText())));
  } else if (text::EqualsNoCase(property, "Nullable")) {
    session_->RunServerSql(alter + (value.AsBool() ? " DROP NOT NULL" : " SET NOT NULL"));
  } else if (text::EqualsNoCase(property, "Default")) {
    if (value.IsNullOrEmpty()) {
      session_->RunServerSql(alter + " DROP DEFAULT");
      return;
    }
    std::optional<std::string> expression = ServerDefaultSql(value.AsText(), column.column.type);
    if (!expression)
      throw Error(kInvalidArgument, kSource,
                  "The default \"" + value.AsText() + "\" of column \"" + column.column.name +
                      "\" is no constant or known function");
    session_->RunServerSql(alter + " SET DEFAULT " + *expression);
  } else if (text::EqualsNoCase(property, "Autoincrement") || text::EqualsNoCase(property, "Increment") ||
             text::EqualsNoCase(property, "Fixed Length")) {
    throw Error(kNotSupported, kSource,
                "The property \"" + std::string(property) + "\" of an existing column cannot be changed");
  } else {
    NotFound("property " + std::string(property));
  }
}

}  // namespace

std::unique_ptr<Catalog> OpenServerCatalog(ServerSession& session) {
  return std::make_unique<ServerCatalog>(session);
}

std::unique_ptr<Recordset> OpenServerSchemaColumns(ServerSession& session, std::string_view tableName) {
  std::vector<FieldInfo> fields = SchemaColumnsFields();

  std::vector<std::vector<Value>> rows;
  if (std::optional<Relation> relation = FindRelation(session, tableName)) {
    int ordinal = 0;
    for (const ColumnState& c : ReadColumns(session, *relation)) {
      const int type = c.column.type;
      const bool text = IsTextType(type), binary = IsBinaryType(type), isLong = IsLongType(type);
      Value maxLength = Value::Null(), octets = Value::Null();
      if (text || binary) {
        // Long columns report the limits the file provider reports for its own.
        std::int64_t length = isLong ? (text ? 536870910 : 1073741823) : c.column.definedSize;
        maxLength = Value(static_cast<long long>(length));
        octets = Value(static_cast<long long>(text && !isLong ? length * 2 : length));
      }
      int flags = c.writable ? DBCOLUMNFLAGS_WRITEUNKNOWN : 0;
      if (c.nullable) flags |= DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL;
      if (isLong)
        flags |= DBCOLUMNFLAGS_ISLONG;
      else if (type != adVarWChar)
        flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
      const bool numeric = type == adNumeric || FixedPrecision(type) > 0;
      Value datetime = Value::Null();
      if (type == adDBDate) datetime = Value(0);
      if (type == adDBTimeStamp || type == adDBTime)
        datetime = Value(c.typeModifier >= 0 ? c.typeModifier : 6);
      rows.push_back({
          Value(relation->name),
          Value(c.column.name),
          Value(++ordinal),
          Value(c.defaultText.has_value()),
          c.defaultText ? Value(*c.defaultText) : Value::Null(),
          Value(flags),
          Value(c.nullable),
          Value(type),
          maxLength,
          octets,
          numeric ? Value(c.column.precision) : Value::Null(),
          type == adNumeric ? Value(c.column.numericScale) : Value::Null(),
          datetime,
          c.description ? Value(*c.description) : Value::Null(),
      });
    }
  }
  return std::make_unique<BufferedRecordset>(std::move(fields), std::move(rows), kSource);
}

}  // namespace vela::data::postgres
