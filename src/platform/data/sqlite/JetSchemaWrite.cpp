// Changing the catalog: new tables, keys and indexes, and the table rebuild the engine needs for any
// constraint added to a table that exists (it cannot add one in place).
#include <algorithm>
#include <limits>

#include "platform/data/SqlText.h"
#include "platform/data/sqlite/EngineSql.h"
#include "platform/data/sqlite/JetConnection.h"
#include "platform/data/sqlite/JetDefaults.h"
#include "platform/data/sqlite/JetSchema.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"

namespace vela::data::sqlite {
namespace {

std::string NameList(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + QuoteName(n);
  return out;
}

std::vector<std::string> ColumnNames(const std::vector<Column>& columns) {
  std::vector<std::string> names;
  for (const Column& c : columns) names.push_back(c.name);
  return names;
}

std::string RuleClause(const char* on, int rule) {
  const std::string words = RuleWords(rule);
  return words.empty() ? words : on + words;
}

[[noreturn]] void Refuse(std::int32_t number, std::string message) {
  throw Error(number, kSource, std::move(message));
}

// Runs `work` in a transaction of its own, rolled back when it fails.
template <class Work>
void InTransaction(sqlite3* db, Work&& work) {
  if (!sqlite3_get_autocommit(db))
    Refuse(kCommandError, "The schema cannot be changed inside an open transaction");
  ExecAll(db, "BEGIN IMMEDIATE");
  try {
    work();
    ExecAll(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace

void JetSchema::EnsurePropertiesTable() {
  ExecAll(Db(),
          std::string("CREATE TABLE IF NOT EXISTS ") + QuoteName(kPropertiesTable) +
              " (\"TableName\" TEXT NOT NULL COLLATE NOCASE, \"ObjectName\" TEXT NOT NULL COLLATE NOCASE,"
              " \"Property\" TEXT NOT NULL COLLATE NOCASE, \"Value\","
              " PRIMARY KEY (\"TableName\", \"ObjectName\", \"Property\")) WITHOUT ROWID");
}

void JetSchema::WriteProperty(std::string_view table, std::string_view object, std::string_view property,
                              const Value& value) {
  EnsurePropertiesTable();
  if (value.IsNullOrEmpty()) {
    Statement del(Db(), "DELETE FROM " + QuoteName(kPropertiesTable) +
                            " WHERE TableName=?1 AND ObjectName=?2 AND Property=?3");
    del.BindText(1, table);
    del.BindText(2, object);
    del.BindText(3, property);
    del.Step();
  } else {
    Statement put(Db(), "INSERT OR REPLACE INTO " + QuoteName(kPropertiesTable) +
                            " (TableName, ObjectName, Property, Value) VALUES (?1, ?2, ?3, ?4)");
    put.BindText(1, table);
    put.BindText(2, object);
    put.BindText(3, property);
    if (value.GetKind() == Value::Kind::Integer || value.GetKind() == Value::Kind::Boolean)
      put.BindInt(4, value.AsInt());
    else
      put.BindText(4, value.AsText());
    put.Step();
  }
  propertiesLoaded_ = false;
  properties_.clear();
  tables_.clear();
}

const TableInfo& JetSchema::InfoForStatement(std::string_view name) {
  if (const TableInfo* info = FindTable(name)) return *info;
  Refuse(kNoSuchTable, "The Microsoft Jet database engine cannot find the input table or query '" +
                           std::string(name) + "'");
}

std::string JetSchema::ForeignKeyClause(const Key& key) {
  const TableInfo* parent = FindTable(key.relatedTable);
  if (!parent || parent->isView)
    Refuse(kNoSuchTable, "The relationship '" + key.name + "' refers to the table '" + key.relatedTable +
                             "', which does not exist");
  std::vector<std::string> related;
  for (const Column& c : key.columns)
    if (!c.relatedColumn.empty()) related.push_back(c.relatedColumn);
  if (related.empty()) {
    std::vector<std::pair<int, std::string>> pk;
    for (const ColumnInfo& c : parent->columns)
      if (c.primaryKeyPosition > 0) pk.emplace_back(c.primaryKeyPosition, c.name);
    std::sort(pk.begin(), pk.end());
    for (auto& [position, name] : pk) related.push_back(name);
  }
  if (related.size() != key.columns.size())
    Refuse(kCommandError, "The relationship '" + key.name + "' pairs its columns with no related columns");
  for (const std::string& r : related)
    if (!parent->Find(r))
      Refuse(kCommandError, "The relationship '" + key.name + "' refers to the column '" + r + "', which '" +
                                key.relatedTable + "' does not have");
  // As with Jet, the related columns must be the primary key or carry a unique index.
  TableInfo parentCopy = *parent;
  bool keyed = false;
  for (const Index& ix : ReadIndexes(parentCopy))
    if (ix.unique && SameNames(ColumnNames(ix.columns), related)) keyed = true;
  if (!keyed)
    Refuse(kCommandError, "No unique index found for the referenced field of the primary table '" +
                              key.relatedTable + "' (relationship '" + key.name + "')");
  std::string clause = "CONSTRAINT " + QuoteName(key.name) + " FOREIGN KEY (" +
                       NameList(ColumnNames(key.columns)) + ") REFERENCES " + QuoteName(parentCopy.name) +
                       " (" + NameList(related) + ")";
  std::string onDelete = RuleClause(" ON DELETE ", key.deleteRule);
  std::string onUpdate = RuleClause(" ON UPDATE ", key.updateRule);
  return clause + onDelete + onUpdate;
}

void JetSchema::AppendTableInSchema(const data::Table& table, std::string_view schema) {
  AppendTable(table);
  if (table.name.size() > schema.size() && table.name.compare(0, schema.size(), schema) == 0 &&
      table.name[schema.size()] == '.')
    WriteProperty(table.name, "", "Schema", Value(std::string(schema)));
}

void JetSchema::AppendTable(const data::Table& table) {
  connection_.CommitBatch();
  if (table.name.empty()) Refuse(kInvalidArgument, "A table needs a name");
  if (table.columns.empty()) Refuse(kInvalidArgument, "The table '" + table.name + "' has no columns");
  if (FindTable(table.name)) Refuse(kCommandError, "Table '" + table.name + "' already exists.");

  // The primary key, from an index or a key of the table value.
  std::string pkName;
  std::vector<std::string> pkColumns;
  for (const Index& ix : table.indexes)
    if (ix.primaryKey) pkName = ix.name, pkColumns = ColumnNames(ix.columns);
  for (const Key& k : table.keys)
    if (k.type == adKeyPrimary && pkName.empty()) pkName = k.name, pkColumns = ColumnNames(k.columns);
  if (!pkColumns.empty() && pkName.empty()) pkName = "PrimaryKey";
  auto inKey = [&](const std::string& column) {
    return std::any_of(pkColumns.begin(), pkColumns.end(),
                       [&](const std::string& k) { return NamesEqual(k, column); });
  };

  struct Planned {
    const Column* column;
    ColumnType type;
    bool autoincrement;
    std::string jetDefault;
    std::optional<std::string> engineDefault;
    Value description;
    std::int64_t seed;
  };
  std::vector<Planned> planned;
  const Column* autoColumn = nullptr;
  for (const Column& c : table.columns) {
    if (c.name.empty()) Refuse(kInvalidArgument, "A column of '" + table.name + "' has no name");
    const Properties& p = c.properties;
    Planned plan{&c, EngineType(c.type, c.definedSize, c.precision, c.numericScale), false, {}, {}, Value(),
                 1};
    plan.autoincrement =
        p.Has("Autoincrement") && !p["Autoincrement"].IsNullOrEmpty() && p["Autoincrement"].AsBool();
    if (plan.autoincrement) {
      if (autoColumn)
        Refuse(kNotSupported, "The table '" + table.name + "' can have only one autoincrement column");
      int t = plan.type.type;
      bool whole = t == adInteger || t == adSmallInt || t == adBigInt || t == adUnsignedTinyInt ||
                   (t == adNumeric && plan.type.numericScale == 0);  // another engine's identity column
      if (!whole)
        Refuse(kNotSupported, "The autoincrement column '" + c.name + "' must be an integer column");
      autoColumn = &c;
      if (p.Has("Seed") && !p["Seed"].IsNullOrEmpty()) plan.seed = p["Seed"].AsInt();
    } else if (p.Has("Default") && !p["Default"].IsNullOrEmpty()) {
      plan.jetDefault = p["Default"].AsText();
      plan.engineDefault = EngineDefault(plan.jetDefault, plan.type.type);
    }
    if (p.Has("Description") && !p["Description"].IsNullOrEmpty())
      plan.description = Value(p["Description"].AsText());
    planned.push_back(std::move(plan));
  }
  for (const std::string& k : pkColumns)
    if (!FindByName(table.columns, k))
      Refuse(kCommandError, "The primary key of '" + table.name + "' names the unknown column '" + k + "'");

  bool keyOnAuto = autoColumn && pkColumns.size() == 1 && NamesEqual(pkColumns[0], autoColumn->name);
  std::vector<std::string> items;
  for (const Planned& plan : planned) {
    const Column& c = *plan.column;
    if (plan.autoincrement) {
      // The engine generates values only for its row id: an INTEGER PRIMARY KEY. Until the table is given
      // another primary key, this column is it.
      items.push_back(QuoteName(c.name) + " INTEGER" +
                      (keyOnAuto ? " CONSTRAINT " + QuoteName(pkName) : std::string()) +
                      " PRIMARY KEY AUTOINCREMENT");
      continue;
    }
    bool nullable = !c.properties.Has("Nullable") || c.properties["Nullable"].IsNullOrEmpty() ||
                    c.properties["Nullable"].AsBool();
    std::string item = QuoteName(c.name) + " " + DeclarationFor(plan.type, c.serverType);
    // A server's boolean column may hold Null; it keeps its nullability and default as the server made them.
    if (plan.type.type == adBoolean && (c.serverType.empty() || !nullable)) {
      // A Jet Yes/No column holds no Null: a row without a value, or with Null, gets the default or No.
      item += " NOT NULL ON CONFLICT REPLACE DEFAULT " + plan.engineDefault.value_or("0");
      items.push_back(std::move(item));
      continue;
    }
    if (!nullable || inKey(c.name)) item += " NOT NULL";
    if (plan.engineDefault) item += " DEFAULT " + *plan.engineDefault;
    items.push_back(std::move(item));
  }
  std::string declaredPrimaryKey;
  if (!pkColumns.empty() && !keyOnAuto) {
    if (autoColumn) {
      items.push_back("CONSTRAINT " + QuoteName(pkName) + " UNIQUE (" + NameList(pkColumns) + ")");
      declaredPrimaryKey = pkName;
    } else {
      items.push_back("CONSTRAINT " + QuoteName(pkName) + " PRIMARY KEY (" + NameList(pkColumns) + ")");
    }
  }
  for (const Key& k : table.keys) {
    if (k.type == adKeyUnique)
      items.push_back("CONSTRAINT " + QuoteName(k.name) + " UNIQUE (" + NameList(ColumnNames(k.columns)) +
                      ")");
    else if (k.type == adKeyForeign)
      items.push_back(ForeignKeyClause(k));
  }
  std::string create = "CREATE TABLE " + QuoteName(table.name) + " (";
  for (std::size_t i = 0; i < items.size(); ++i) create += (i ? ", " : "") + items[i];
  create += ")";

  InTransaction(Db(), [&] {
    EnsurePropertiesTable();
    Statement stale(Db(), "DELETE FROM " + QuoteName(kPropertiesTable) + " WHERE TableName=?1");
    stale.BindText(1, table.name);
    stale.Step();
    ExecAll(Db(), create, "table " + table.name);
    for (const Index& ix : table.indexes) {
      if (ix.primaryKey) continue;
      if (std::any_of(table.keys.begin(), table.keys.end(),
                      [&](const Key& k) { return NamesEqual(k.name, ix.name); }))
        continue;
      ExecAll(Db(),
              std::string("CREATE ") + (ix.unique ? "UNIQUE " : "") + "INDEX " +
                  QuoteName(table.name + "." + ix.name) + " ON " + QuoteName(table.name) + " (" +
                  NameList(ColumnNames(ix.columns)) + ")",
              "index " + ix.name + " of " + table.name);
    }
    // The engine reports defaults as it parsed them; that text is what later reads compare against.
    std::map<std::string, std::string> reported;
    Statement info(Db(), "PRAGMA table_info(" + QuoteName(table.name) + ")");
    while (info.Step())
      if (!info.IsNull(4)) reported[text::ToLower(info.Text(1))] = info.Text(4);
    for (const Planned& plan : planned) {
      const std::string& name = plan.column->name;
      if (plan.autoincrement && plan.type.type != adInteger)
        WriteProperty(table.name, name, "Type", Value(plan.type.type));
      // An empty Jet default over an engine default marks the No a Yes/No column falls back to.
      if (!plan.jetDefault.empty() || plan.type.type == adBoolean) {
        WriteProperty(table.name, name, "Default", Value(plan.jetDefault));
        WriteProperty(table.name, name, "EngineDefault", Value(reported[text::ToLower(name)]));
      }
      WriteProperty(table.name, name, "Description", plan.description);
      if (!plan.column->serverType.empty())
        WriteProperty(table.name, name, "ServerType", Value(plan.column->serverType));
      if (plan.autoincrement && plan.seed > 1) {
        Statement seed(Db(), "INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)");
        seed.BindText(1, table.name);
        seed.BindInt(2, plan.seed - 1);
        seed.Step();
      }
    }
    if (!declaredPrimaryKey.empty()) WriteProperty(table.name, "", "PrimaryKey", Value(declaredPrimaryKey));
  });
  Invalidate();
}

void JetSchema::Rebuild(const TableInfo& original, const Change& change) {
  connection_.CommitBatch();
  TableInfo table = original;  // the cache is rebuilt along the way
  if (!table.def)
    Refuse(kNotSupported,
           "The definition of the table '" + table.name + "' cannot be changed by this provider");
  sqlite3* db = Db();
  if (!sqlite3_get_autocommit(db))
    Refuse(kCommandError, "The table '" + table.name + "' cannot be changed inside an open transaction");
  const TableDef& def = *table.def;
  const std::string& sql = def.sql;

  std::vector<std::string> items;
  std::vector<std::string> columnNames;
  for (const ColumnDef& c : def.columns) {
    auto edit = change.columnTexts.find(text::ToLower(c.name));
    items.push_back(edit != change.columnTexts.end() ? edit->second : sql.substr(c.begin, c.end - c.begin));
    columnNames.push_back(c.name);
  }
  for (std::size_t i = 0; i < def.constraints.size(); ++i) {
    const ConstraintDef& c = def.constraints[i];
    if (c.columnLevel) continue;
    auto edit = change.constraintTexts.find(i);
    items.push_back(edit != change.constraintTexts.end() ? edit->second
                                                         : sql.substr(c.begin, c.end - c.begin));
  }
  if (!change.clause.empty()) items.push_back(change.clause);
  std::string temporary = "vela_rebuild_" + table.name;
  std::string create = "CREATE TABLE " + QuoteName(temporary) + " (";
  for (std::size_t i = 0; i < items.size(); ++i) create += (i ? ", " : "") + items[i];
  create += ")" + sql.substr(def.bodyEnd + 1);
  if (!change.definition.empty()) {
    if (!ParseCreateTable(change.definition))
      Refuse(kCommandError, "The definition of the table '" + table.name + "' cannot be read");
    create = change.definition;
  }
  // A definition from a backup makes the table under its own name, as written: the old table steps aside
  // under the temporary name and its rows are copied from there. Otherwise the new table is made under the
  // temporary name and takes the old one's.
  const bool asWritten = !change.definition.empty();
  const std::string from = asWritten ? temporary : table.name, to = asWritten ? table.name : temporary;

  bool foreignKeys = QueryInt(db, "PRAGMA foreign_keys") != 0;
  // With foreign keys enforced, dropping the old table would act on the rows that refer to it.
  ExecAll(db, "PRAGMA foreign_keys=OFF; PRAGMA legacy_alter_table=ON");
  try {
    InTransaction(db, [&] {
      std::int64_t ordinal;
      {
        Statement row(db, "SELECT rowid FROM sqlite_master WHERE type='table' AND name=?1");
        row.BindText(1, table.name);
        ordinal = row.Step() ? row.Int(0) : 0;
      }
      LoadProperties();
      bool hasOrdinal = false;
      if (auto t = properties_.find(text::ToLower(table.name)); t != properties_.end())
        if (auto o = t->second.find(""); o != t->second.end()) hasOrdinal = o->second.count("ordinal") > 0;
      if (!hasOrdinal) WriteProperty(table.name, "", "Ordinal", Value(static_cast<long long>(ordinal)));

      std::optional<std::int64_t> sequence;
      if (table.autoincrementKeyword) {
        Statement seq(db, "SELECT seq FROM sqlite_sequence WHERE name=?1");
        seq.BindText(1, table.name);
        if (seq.Step()) sequence = seq.Int(0);
      }
      std::vector<std::string> dependents;
      {
        Statement others(
            db,
            "SELECT sql FROM sqlite_master WHERE tbl_name=?1 COLLATE NOCASE AND type IN ('index','trigger')"
            " AND sql IS NOT NULL ORDER BY rowid");
        others.BindText(1, table.name);
        while (others.Step()) dependents.push_back(others.Text(0));
      }
      ExecAll(db, "DROP TABLE IF EXISTS " + QuoteName(temporary));
      // A definition from a backup is engine SQL from outside: it makes its own table and nothing else.
      if (!asWritten) {
        ExecAll(db, create, "table " + table.name);
      } else {
        ExecAll(db, "ALTER TABLE " + QuoteName(table.name) + " RENAME TO " + QuoteName(temporary));
        RunEngineSql(db, {"table", table.name, table.name, change.what, create});
      }
      ExecAll(db,
              "INSERT INTO " + QuoteName(to) + " (" + NameList(columnNames) + ") SELECT " +
                  NameList(columnNames) + " FROM " + QuoteName(from),
              "table " + table.name + (change.what.empty() ? "" : ", " + change.what));
      // A definition that settles conflicts by dropping rows (ON CONFLICT IGNORE or REPLACE) would lose some.
      const std::int64_t rows = QueryInt(db, "SELECT count(*) FROM " + QuoteName(from));
      const std::int64_t kept = QueryInt(db, "SELECT count(*) FROM " + QuoteName(to));
      if (kept != rows)
        Refuse(kIntegrityViolation, "The " + (change.what.empty() ? std::string("change") : change.what) +
                                        " cannot be made: it would keep " + std::to_string(kept) +
                                        " of the " + std::to_string(rows) + " rows of '" + table.name + "'");
      ExecAll(db, "DROP TABLE " + QuoteName(from));
      if (!asWritten)
        ExecAll(db, "ALTER TABLE " + QuoteName(temporary) + " RENAME TO " + QuoteName(table.name));
      for (const std::string& statement : dependents) ExecAll(db, statement, "table " + table.name);
      if (sequence) {
        Statement update(db, "UPDATE sqlite_sequence SET seq=max(seq, ?2) WHERE name=?1");
        update.BindText(1, table.name);
        update.BindInt(2, *sequence);
        update.Step();
        if (sqlite3_changes(db) == 0) {
          Statement insert(db, "INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)");
          insert.BindText(1, table.name);
          insert.BindInt(2, *sequence);
          insert.Step();
        }
      }
      if (!change.primaryKeyProperty.empty())
        WriteProperty(table.name, "", "PrimaryKey", Value(change.primaryKeyProperty));
      Statement check(db, "PRAGMA foreign_key_check(" + QuoteName(table.name) + ")");
      if (check.Step())
        Refuse(kIntegrityViolation, "The " + (change.what.empty() ? std::string("change") : change.what) +
                                        " cannot be made: rows of '" + table.name +
                                        "' have no related row in '" + check.Text(2) + "'");
    });
  } catch (...) {
    if (foreignKeys) sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA legacy_alter_table=OFF", nullptr, nullptr, nullptr);
    Invalidate();
    throw;
  }
  ExecAll(db,
          std::string("PRAGMA legacy_alter_table=OFF; PRAGMA foreign_keys=") + (foreignKeys ? "ON" : "OFF"));
  Invalidate();
}

void JetSchema::RewriteStatement(const TableInfo& table, const std::string& sql) {
  sqlite3* db = Db();
  InTransaction(db, [&] {
    const std::int64_t version = QueryInt(db, "PRAGMA schema_version");
    ExecAll(db, "PRAGMA writable_schema=ON");
    try {
      Statement update(db, "UPDATE sqlite_master SET sql=?2 WHERE type='table' AND name=?1");
      update.BindText(1, table.name);
      update.BindText(2, sql);
      update.Step();
    } catch (...) {
      sqlite3_exec(db, "PRAGMA writable_schema=OFF", nullptr, nullptr, nullptr);
      throw;
    }
    ExecAll(db, "PRAGMA writable_schema=OFF; PRAGMA schema_version=" + std::to_string(version + 1));
  });
  Invalidate();
}

void JetSchema::AddPrimaryKey(const TableInfo& table, const std::string& name,
                              const std::vector<std::string>& columns) {
  for (const std::string& c : columns)
    if (!table.Find(c))
      Refuse(kCommandError,
             "The primary key '" + name + "' names the unknown column '" + c + "' of '" + table.name + "'");
  if (!table.declaredPrimaryKey.empty())
    Refuse(kCommandError,
           "Table '" + table.name + "' already has a primary key ('" + table.declaredPrimaryKey + "')");
  Change change;
  change.what = "primary key '" + name + "'";
  auto notNull = [&] {
    for (const std::string& c : columns) {
      const ColumnInfo* info = table.Find(c);
      if (info->notNull || info->rowidAlias) continue;
      for (const ColumnDef& d : table.def->columns)
        if (NamesEqual(d.name, c))
          change.columnTexts[text::ToLower(d.name)] =
              table.def->sql.substr(d.begin, d.end - d.begin) + " NOT NULL";
    }
  };
  if (!table.def)
    Refuse(kNotSupported,
           "The definition of the table '" + table.name + "' cannot be changed by this provider");
  const TableDef& def = *table.def;
  for (std::size_t i = 0; i < def.constraints.size(); ++i) {
    const ConstraintDef& pk = def.constraints[i];
    if (pk.kind != ConstraintDef::PrimaryKey) continue;
    if (SameNames(pk.columns, columns)) {
      if (pk.name == name) return;  // already the table's primary key under that name
      std::string renamed =
          "CONSTRAINT " + QuoteName(name) + " " + def.sql.substr(pk.keyword, pk.end - pk.keyword);
      // A name is no part of how the rows are stored: the statement is rewritten in place, without copying
      // the rows into a new table (which would leave the file half free after a restore).
      return RewriteStatement(table, def.sql.substr(0, pk.begin) + renamed + def.sql.substr(pk.end));
    }
    if (pk.autoincrement) {
      // The autoincrement column must stay the engine's key; the declared key is kept as a unique constraint.
      notNull();
      change.clause = "CONSTRAINT " + QuoteName(name) + " UNIQUE (" + NameList(columns) + ")";
      change.primaryKeyProperty = name;
      return Rebuild(table, change);
    }
    Refuse(kCommandError, "Table '" + table.name + "' already has a primary key.");
  }
  notNull();
  change.clause = "CONSTRAINT " + QuoteName(name) + " PRIMARY KEY (" + NameList(columns) + ")";
  Rebuild(table, change);
}

void JetSchema::AppendKey(std::string_view tableName, const Key& key) {
  connection_.CommitBatch();
  TableInfo table = Info(tableName);
  if (key.columns.empty()) Refuse(kInvalidArgument, "The key '" + key.name + "' has no columns");
  std::vector<std::string> columns = ColumnNames(key.columns);
  for (const std::string& c : columns)
    if (!table.Find(c))
      Refuse(kCommandError,
             "The key '" + key.name + "' names the unknown column '" + c + "' of '" + table.name + "'");
  std::string name = key.name.empty() ? "Key" : key.name;
  for (const Key& existing : GetTable(table.name).keys) {
    if (!NamesEqual(existing.name, name)) continue;
    // The key the table already has under this name (an autoincrement column's own primary key): nothing to
    // do.
    if (existing.type == key.type && SameNames(ColumnNames(existing.columns), columns)) return;
    Refuse(kCommandError, "The table '" + table.name + "' already has a key named '" + name + "'");
  }
  table = Info(tableName);
  switch (key.type) {
    case adKeyPrimary:
      return AddPrimaryKey(table, name, columns);
    case adKeyUnique: {
      Change change;
      change.what = "unique key '" + name + "'";
      change.clause = "CONSTRAINT " + QuoteName(name) + " UNIQUE (" + NameList(columns) + ")";
      return Rebuild(table, change);
    }
    case adKeyForeign: {
      Key named = key;
      named.name = name;
      Change change;
      change.what = "relationship '" + name + "'";
      change.clause = ForeignKeyClause(named);
      return Rebuild(Info(tableName), change);
    }
    default:
      Refuse(kInvalidArgument, "Unknown key type " + std::to_string(key.type));
  }
}

void JetSchema::AddConstraint(const AddConstraintStatement& statement) {
  const ConstraintDef& c = statement.constraint;
  Key key;
  key.name = c.name;
  key.relatedTable = c.refTable;
  key.deleteRule = RuleCode(statement.deleteRule);
  key.updateRule = RuleCode(statement.updateRule);
  for (std::size_t i = 0; i < c.columns.size(); ++i) {
    Column column;
    column.name = c.columns[i];
    if (i < c.refColumns.size()) column.relatedColumn = c.refColumns[i];
    key.columns.push_back(std::move(column));
  }
  key.type = c.kind == ConstraintDef::PrimaryKey ? adKeyPrimary
             : c.kind == ConstraintDef::Unique   ? adKeyUnique
                                                 : adKeyForeign;
  if (key.name.empty()) key.name = key.type == adKeyPrimary ? "PrimaryKey" : "Constraint";
  std::string table = InfoForStatement(statement.table).name;  // a copy: AppendKey rereads the schema
  AppendKey(table, key);
}

void JetSchema::ApplyEngineObject(const EngineObject& object) {
  connection_.CommitBatch();
  if (object.kind == "table" && !FindTable(object.name)) {
    // A table not made yet is made as written, to be filled after; all of it or, refused, nothing. Its rows
    // come as they were saved, in any order of the tables: the keys they refer by are not enforced from
    // here on (a file's rows may even miss the rows they refer to, where its program enforced none).
    ExecAll(Db(), "PRAGMA foreign_keys=OFF");
    InTransaction(Db(), [&] { RunEngineSql(Db(), object); });
    Invalidate();
    return;
  }
  if (object.kind == "table") {
    // The definition must make that very table before its name gives way to the rebuild's.
    if (std::string why = CheckEngineSql(object); !why.empty()) RefuseEngineSql(object, why);
    Change change;
    change.definition = object.sql;
    change.what = "definition of the table '" + object.name + "'";
    Rebuild(Info(object.name), change);
    return;
  }
  if (object.kind != "index" && object.kind != "view" && object.kind != "trigger")
    Refuse(kNotSupported, "This provider makes no " + object.kind + " (" + object.name + ")");
  RunEngineSql(Db(), object);
  Invalidate();
}

void JetSchema::ApplyEngineSetting(const EngineSetting& setting) {
  connection_.CommitBatch();
  // The header holds each as a signed 32-bit number; the name is one of the two the provider lists, and
  // only the number is written.
  const bool known = setting.name == "user_version" || setting.name == "application_id";
  if (!known || setting.value < std::numeric_limits<std::int32_t>::min() ||
      setting.value > std::numeric_limits<std::int32_t>::max())
    Refuse(kNotSupported, "The setting " + setting.name + " = " + std::to_string(setting.value) +
                              " cannot be kept by this provider");
  ExecAll(Db(), "PRAGMA " + setting.name + "=" + std::to_string(setting.value), "setting " + setting.name);
}

void JetSchema::DropTables(const std::vector<std::string>& tables) {
  connection_.CommitBatch();
  // Rows of the tables that stay may refer to these: keys are not enforced while they go, and a key of a
  // table that stays, like a view over them, names the table made again under the same name.
  const bool foreignKeys = QueryInt(Db(), "PRAGMA foreign_keys") != 0;
  ExecAll(Db(), "PRAGMA foreign_keys=OFF");
  try {
    InTransaction(Db(), [&] {
      for (const std::string& table : tables)
        ExecAll(Db(), "DROP TABLE IF EXISTS " + QuoteName(table), "dropping the table '" + table + "'");
    });
  } catch (...) {
    if (foreignKeys) sqlite3_exec(Db(), "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    throw;
  }
  if (foreignKeys) ExecAll(Db(), "PRAGMA foreign_keys=ON");
  Invalidate();
  for (const std::string& table : tables) ForgetTable(table);
}

void JetSchema::ForgetTable(std::string_view name) {
  if (FindTable(name)) return;  // still there (DROP TABLE IF EXISTS of another name, a failed drop)
  LoadProperties();
  if (properties_.find(text::ToLower(name)) == properties_.end()) return;
  Statement forget(Db(), "DELETE FROM " + QuoteName(kPropertiesTable) + " WHERE TableName=?1");
  forget.BindText(1, name);
  forget.Step();
  Invalidate();
}

void JetSchema::CreateIndex(const CreateIndexStatement& statement) {
  connection_.CommitBatch();
  TableInfo table = InfoForStatement(statement.table);
  if (statement.primary) return AddPrimaryKey(table, statement.name, statement.columns);
  for (const std::string& c : statement.columns)
    if (!table.Find(c))
      Refuse(kCommandError, "The index '" + statement.name + "' names the unknown column '" + c + "' of '" +
                                table.name + "'");
  std::string columns;
  for (const std::string& c : statement.columnTexts) columns += (columns.empty() ? "" : ", ") + c;
  ExecAll(Db(),
          std::string("CREATE ") + (statement.unique ? "UNIQUE " : "") + "INDEX " +
              QuoteName(table.name + "." + statement.name) + " ON " + QuoteName(table.name) + " (" + columns +
              ")",
          "index " + statement.name + " of " + table.name);
}

void JetSchema::DropIndex(const DropIndexStatement& statement) {
  connection_.CommitBatch();
  const TableInfo& table = InfoForStatement(statement.table);
  ExecAll(Db(), "DROP INDEX " + QuoteName(table.name + "." + statement.name),
          "index " + statement.name + " of " + table.name);
}

void JetSchema::SetColumnProperty(std::string_view tableName, std::string_view columnName,
                                  std::string_view property, const Value& value) {
  connection_.CommitBatch();
  const TableInfo& table = Info(tableName);
  const ColumnInfo* column = table.Find(columnName);
  if (!column)
    Refuse(kItemNotFound,
           "Item cannot be found in the collection: column " + std::string(columnName) + " of " + table.name);
  if (text::EqualsNoCase(property, "Seed")) {
    if (!column->autoincrement)
      Refuse(kNotSupported, "The column '" + column->name + "' of '" + table.name +
                                "' has no seed: it is not an autoincrement column");
    // The engine keeps the last value given out, one below the seed.
    const std::int64_t seed = value.AsInt();
    const std::int64_t last = seed > std::numeric_limits<std::int64_t>::min() ? seed - 1 : seed;
    std::string name = table.name;
    InTransaction(Db(), [&] {
      Statement update(Db(), "UPDATE sqlite_sequence SET seq=?2 WHERE name=?1");
      update.BindText(1, name);
      update.BindInt(2, last);
      update.Step();
      if (sqlite3_changes(Db()) == 0) {
        Statement insert(Db(), "INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)");
        insert.BindText(1, name);
        insert.BindInt(2, last);
        insert.Step();
      }
    });
    return;
  }
  if (text::EqualsNoCase(property, "Description")) {
    std::string table_ = table.name, column_ = column->name;
    return WriteProperty(table_, column_, "Description",
                         value.IsNullOrEmpty() ? Value() : Value(value.AsText()));
  }
  if (text::EqualsNoCase(property, "Autoincrement") || text::EqualsNoCase(property, "Default") ||
      text::EqualsNoCase(property, "Nullable"))
    Refuse(kNotSupported,
           "The property '" + std::string(property) + "' can only be set when the column is created");
  Refuse(kItemNotFound, "Item cannot be found in the collection: property " + std::string(property));
}

}  // namespace vela::data::sqlite
