// Changing the catalog of a server database: new tables with their keys and indexes, keys added to a table,
// and the properties of an existing column. Each change is one batch of statements.
#include "platform/data/postgres/ServerSchema.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/data/ServerTypeNames.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerDefaults.h"
#include "platform/data/postgres/ServerTypes.h"
#include "platform/text/Strings.h"

namespace vela::data::postgres {

namespace {

std::string RuleSql(int rule) {
  const std::string words = RuleWords(rule);
  return words.empty() ? "NO ACTION" : words;
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

// The property's value when it is set (neither Empty nor Null).
const Value* SetProperty(const Column& column, std::string_view name) {
  if (!column.properties.Has(name)) return nullptr;
  const Value& value = column.properties[name];
  return value.IsNullOrEmpty() ? nullptr : &value;
}

}  // namespace

// The names of one namespace (relations of a schema, constraints of a table) that are taken, as asked of
// the server and as given out while one statement batch is being written.
class ServerSchema::NameSpace {
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
ServerSchema::NameSpace ServerSchema::RelationNames(std::string schema) {
  return NameSpace(session_,
                   "SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
                   "c.relnamespace WHERE n.nspname = $1 AND c.relname = $2",
                   std::move(schema));
}

// The constraint names of a table.
ServerSchema::NameSpace ServerSchema::ConstraintNames(const Relation& relation) {
  return NameSpace(session_, "SELECT 1 FROM pg_catalog.pg_constraint WHERE conrelid = $1 AND conname = $2",
                   relation.oid);
}

std::string ServerSchema::ColumnSql(const std::string& table, const Column& column) {
  std::string name = Unbracket(column.name);
  CheckNameLength(name, "column");
  const bool fixed = SetProperty(column, "Fixed Length") && SetProperty(column, "Fixed Length")->AsBool();
  int type = column.type;
  if (fixed && column.definedSize > 0 && (type == adVarWChar || type == adVarChar)) type = adWChar;
  // The server's own type name the column carries makes it as it was; only names of built-in types whose
  // values travel as the ADO type's text are taken (ServerTypeNames.h), anything else the ADO type decides.
  std::optional<std::string> serverType = KnownServerType(column.serverType);
  if (!serverType)
    serverType = ServerTypeFor(type, column.definedSize, column.precision, column.numericScale);
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

std::string ServerSchema::KeySql(const std::string& tableSql, const Key& key, NameSpace& relations,
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
  std::optional<Relation> related = FindRelation(key.relatedTable);
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

std::string ServerSchema::IndexSql(const std::string& tableSql, const Index& index, NameSpace& relations,
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

// The schema a new table goes to (`schema`, or when it is empty the first of the search path that exists)
// and, in one exchange with the server, whether an index there has the table's name: nspname, whether, the
// index's comment.
ResultHandle ServerSchema::CreationSchema(const std::string& schema, const std::string& table) {
  ResultHandle result = session_.QueryPreparedServerSql(
      "SELECT s.nspname, i.oid IS NOT NULL, pg_catalog.obj_description(i.oid, 'pg_class') "
      "FROM (SELECT COALESCE(NULLIF($1, ''), pg_catalog.current_schema()) AS nspname) s "
      "LEFT JOIN LATERAL (SELECT c.oid FROM pg_catalog.pg_class c "
      "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
      "WHERE n.nspname = s.nspname AND c.relname = $2 AND c.relkind IN ('i', 'I')) i ON true",
      std::vector<std::string>{schema, table});
  if (PQntuples(result.get()) == 0 || CellIsNull(result.get(), 0, 0))
    throw Error(kCommandError, kSource, "No schema on the search path to create tables in");
  return result;
}

void ServerSchema::AppendTable(const Table& table, std::string_view tableSchema) {
  std::string name = Unbracket(table.name);
  // A table of another schema than the default one is named "schema.table" and made in its schema.
  std::string moved;
  std::string schema;
  if (!tableSchema.empty()) {
    schema = std::string(tableSchema);
    CheckNameLength(schema, "schema");
    if (name.starts_with(schema + ".")) name.erase(0, schema.size() + 1);
    moved = "CREATE SCHEMA IF NOT EXISTS " + QuoteName(schema) + "; ";
  }
  CheckNameLength(name, "table");
  if (table.columns.empty())
    throw Error(kInvalidArgument, kSource, "The table \"" + name + "\" has no columns");
  ResultHandle index = CreationSchema(schema, name);
  schema = CellText(index.get(), 0, 0);
  std::string tableSql = QuoteName(schema) + "." + QuoteName(name);
  NameSpace relations = RelationNames(schema);
  // An index made earlier under the name this table is given moves to a free name and keeps the name it
  // was given in its comment: tables keep their names, indexes are read back by theirs.
  if (CellFlag(index.get(), 0, 1)) {
    bool renamed = false;
    relations.Take(name);
    const std::string free = relations.Claim(name, renamed);
    moved +=
        "ALTER INDEX " + QuoteName(schema) + "." + QuoteName(name) + " RENAME TO " + QuoteName(free) + "; ";
    if (CellIsNull(index.get(), 0, 2) || !NameFromIndexComment(CellText(index.get(), 0, 2)))
      moved += "COMMENT ON INDEX " + QuoteName(schema) + "." + QuoteName(free) + " IS " +
               QuoteText(IndexNameComment(name)) + "; ";
  }
  relations.Take(name);
  // The new table has no constraints yet; only those this batch makes are taken.
  NameSpace constraints(session_, "", "");

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
  session_.RunServerSql(sql);
}

void ServerSchema::AppendKey(std::string_view tableName, const Key& key) {
  Relation relation = RequireRelation(tableName);
  NameSpace relations = RelationNames(relation.schema);
  NameSpace constraints = ConstraintNames(relation);
  session_.RunServerSql(KeySql(relation.Sql(), key, relations, constraints, relation.schema));
}

void ServerSchema::SetColumnProperty(std::string_view tableName, std::string_view columnName,
                                     std::string_view property, const Value& value) {
  Relation relation = RequireRelation(tableName);
  std::string wanted = Unbracket(columnName);
  std::vector<ColumnState> columns = ReadColumns(relation);
  auto found = std::find_if(columns.begin(), columns.end(),
                            [&](const ColumnState& c) { return c.column.name == wanted; });
  if (found == columns.end())
    found = std::find_if(columns.begin(), columns.end(),
                         [&](const ColumnState& c) { return NamesEqual(c.column.name, wanted); });
  if (found == columns.end()) SchemaItemNotFound("column " + wanted + " of " + relation.name);
  const ColumnState& column = *found;
  std::string alter = "ALTER TABLE " + relation.Sql() + " ALTER COLUMN " + QuoteName(column.column.name);

  if (text::EqualsNoCase(property, "Seed")) {
    if (!column.autoincrement || (!column.identity && column.sequenceOid.empty()))
      throw Error(kNotSupported, kSource,
                  "The column \"" + column.column.name + "\" of \"" + relation.name +
                      "\" has no seed: it is not an autoincrement column");
    std::string seed = std::to_string(value.AsInt());
    if (column.identity) {
      session_.RunServerSql(alter + " RESTART WITH " + seed);
    } else {
      session_.QueryServerSql("SELECT pg_catalog.setval($1::pg_catalog.oid::pg_catalog.regclass, $2, false)",
                              std::vector<std::string>{column.sequenceOid, seed});
    }
  } else if (text::EqualsNoCase(property, "Description")) {
    session_.RunServerSql("COMMENT ON COLUMN " + relation.Sql() + "." + QuoteName(column.column.name) +
                          " IS " + (value.IsNullOrEmpty() ? "NULL" : QuoteText(value.AsText())));
  } else if (text::EqualsNoCase(property, "Nullable")) {
    session_.RunServerSql(alter + (value.AsBool() ? " DROP NOT NULL" : " SET NOT NULL"));
  } else if (text::EqualsNoCase(property, "Default")) {
    if (value.IsNullOrEmpty()) {
      session_.RunServerSql(alter + " DROP DEFAULT");
      return;
    }
    std::optional<std::string> expression = ServerDefaultSql(value.AsText(), column.column.type);
    if (!expression)
      throw Error(kInvalidArgument, kSource,
                  "The default \"" + value.AsText() + "\" of column \"" + column.column.name +
                      "\" is no constant or known function");
    session_.RunServerSql(alter + " SET DEFAULT " + *expression);
  } else if (text::EqualsNoCase(property, "Autoincrement") || text::EqualsNoCase(property, "Increment") ||
             text::EqualsNoCase(property, "Fixed Length")) {
    throw Error(kNotSupported, kSource,
                "The property \"" + std::string(property) + "\" of an existing column cannot be changed");
  } else {
    SchemaItemNotFound("property " + std::string(property));
  }
}

}  // namespace vela::data::postgres
