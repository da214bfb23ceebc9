// Reading the catalog: tables, columns with their Jet properties, indexes, keys and the COLUMNS rowset.
#include <algorithm>
#include <limits>

#include "platform/data/SchemaColumns.h"
#include "platform/data/sqlite/EngineSql.h"
#include "platform/data/sqlite/JetConnection.h"
#include "platform/data/sqlite/JetDefaults.h"
#include "platform/data/sqlite/JetRecordset.h"
#include "platform/data/sqlite/JetSchema.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"

namespace vela::data::sqlite {
namespace {

std::string LowerKey(std::string_view name) {
  return text::ToLower(name);
}

Column NamedColumn(std::string name) {
  Column column;
  column.name = std::move(name);
  return column;
}

std::string Join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

// A name not yet among `taken` (compared without case), numbered when needed.
std::string Unique(std::string name, std::vector<std::string>& taken) {
  std::string candidate = name;
  for (int n = 2; std::any_of(taken.begin(), taken.end(),
                              [&](const std::string& t) { return NamesEqual(t, candidate); });
       ++n)
    candidate = name + "_" + std::to_string(n);
  taken.push_back(candidate);
  return candidate;
}

bool IsSystemTable(std::string_view name) {
  return text::StartsWithNoCase(name, "sqlite_") || text::EqualsNoCase(name, kPropertiesTable);
}

// The tables virtual tables keep their rows in ("notes_fts_data"): their module's to fill, no tables of the
// database's own. A virtual table's rows are read and written through the virtual table itself.
std::vector<std::string> ShadowTables(sqlite3* db) {
  std::vector<std::string> names;
  Statement s(db, "SELECT name FROM pragma_table_list WHERE schema='main' AND type='shadow'");
  while (s.Step()) names.push_back(s.Text(0));
  return names;
}

bool IsAmong(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return NamesEqual(n, name); });
}

// A full-text table's row id is no column of it, yet rows are found by it (an application keeps it equal to
// the id of the row the text belongs to): it travels as the first column "rowid".
bool HasRowidColumn(std::string_view module) {
  return module == "fts3" || module == "fts4" || module == "fts5";
}

Value StoredValue(const Statement& s, int column) {
  switch (sqlite3_column_type(s.get(), column)) {
    case SQLITE_NULL:
      return Value();
    case SQLITE_INTEGER:
      return Value(static_cast<long long>(s.Int(column)));
    default:
      return Value(s.Text(column));
  }
}

}  // namespace

bool SameNames(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!NamesEqual(a[i], b[i])) return false;
  return true;
}

const ColumnInfo* TableInfo::Find(std::string_view column) const {
  for (const ColumnInfo& c : columns)
    if (NamesEqual(c.name, column)) return &c;
  return nullptr;
}

sqlite3* JetSchema::Db() {
  return connection_.Db();
}

void JetSchema::Invalidate() {
  tables_.clear();
  properties_.clear();
  propertiesLoaded_ = false;
  schemaVersion_ = -1;
}

void JetSchema::ReleaseStatements() {
  versionQuery_ = Statement();
}

void JetSchema::EnsureFresh() {
  // Asked before every read of the catalog: prepared once for the connection.
  if (!versionQuery_) versionQuery_ = Statement(Db(), "PRAGMA schema_version");
  const std::int64_t version = versionQuery_.Step() ? versionQuery_.Int(0) : 0;
  versionQuery_.Reset();
  if (version != schemaVersion_) {
    Invalidate();
    schemaVersion_ = version;
  }
}

void JetSchema::LoadProperties() {
  if (propertiesLoaded_) return;
  propertiesLoaded_ = true;
  Statement exists(Db(), "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1");
  exists.BindText(1, kPropertiesTable);
  if (!exists.Step()) return;
  Statement s(
      Db(), std::string("SELECT TableName, ObjectName, Property, Value FROM ") + QuoteName(kPropertiesTable));
  while (s.Step())
    properties_[LowerKey(s.Text(0))][LowerKey(s.Text(1))][LowerKey(s.Text(2))] = StoredValue(s, 3);
}

const TableInfo* JetSchema::FindTable(std::string_view name) {
  EnsureFresh();
  std::string key = LowerKey(name);
  if (auto found = tables_.find(key); found != tables_.end()) return &found->second;

  Statement master(
      Db(),
      "SELECT name, type, sql FROM sqlite_master WHERE type IN ('table','view') AND name=?1 COLLATE NOCASE");
  master.BindText(1, name);
  if (!master.Step()) return nullptr;
  TableInfo info;
  info.name = master.Text(0);
  info.isView = master.Text(1) == "view";
  bool withoutRowid = false;
  if (!info.isView && !master.IsNull(2)) info.module = VirtualTableModule(master.Text(2));
  if (!info.isView && !master.IsNull(2) && info.module.empty()) {
    info.def = ParseCreateTable(master.Text(2));
    if (info.def) {
      for (const ConstraintDef& c : info.def->constraints) info.autoincrementKeyword |= c.autoincrement;
      withoutRowid =
          text::ToUpper(info.def->sql.substr(info.def->bodyEnd)).find("WITHOUT") != std::string::npos;
    }
  }
  LoadProperties();
  auto& props = properties_[LowerKey(info.name)];
  auto property = [&](std::string_view object, std::string_view name) -> Value {
    auto o = props.find(LowerKey(object));
    if (o == props.end()) return Value();
    auto p = o->second.find(LowerKey(name));
    return p == o->second.end() ? Value() : p->second;
  };
  info.declaredPrimaryKey = property("", "PrimaryKey").AsText();

  Statement pragma(Db(), "PRAGMA table_info(" + QuoteName(info.name) + ")");
  struct Raw {
    ColumnInfo column;
    std::string declared;
    int pk;
  };
  std::vector<Raw> raws;
  int keyColumns = 0;
  if (HasRowidColumn(info.module)) {
    Raw rowid;
    rowid.column.name = kRowidColumn;
    rowid.declared = "INTEGER";
    rowid.column.notNull = true;
    rowid.pk = 0;
    raws.push_back(std::move(rowid));
  }
  while (pragma.Step()) {
    Raw raw;
    raw.column.name = pragma.Text(1);
    raw.declared = pragma.Text(2);
    raw.column.notNull = pragma.Int(3) != 0;
    if (!pragma.IsNull(4)) raw.column.engineDefault = pragma.Text(4);
    raw.pk = static_cast<int>(pragma.Int(5));
    keyColumns += raw.pk > 0;
    raws.push_back(std::move(raw));
  }
  for (Raw& raw : raws) {
    ColumnInfo& c = raw.column;
    c.type = TypeFromDeclaration(raw.declared);
    c.declared = raw.declared;
    if (!info.module.empty() && c.name == kRowidColumn) c.type = TypeFromDeclaration("BIGINT");
    c.primaryKeyPosition = raw.pk;
    c.rowidAlias = !info.isView && !withoutRowid && keyColumns == 1 && raw.pk == 1 &&
                   text::EqualsNoCase(text::Trim(raw.declared), "INTEGER");
    // A plain INTEGER PRIMARY KEY also gets values when a row gives none, but only one declared
    // AUTOINCREMENT never reuses them and keeps a seed: that is what Jet calls an autoincrement column.
    c.autoincrement = c.rowidAlias && info.autoincrementKeyword;
    if (c.rowidAlias) {
      Value stored = property(c.name, "Type");
      if (!stored.IsNullOrEmpty()) {
        try {
          c.type = EngineType(static_cast<int>(stored.AsInt()), 0, 0, 0);
        } catch (const Error&) {
          // A type this provider does not know: the declaration stands.
        }
      }
    }
    if (c.engineDefault && text::EqualsNoCase(*c.engineDefault, "NULL")) c.engineDefault.reset();
    Value jet = property(c.name, "Default");
    Value engine = property(c.name, "EngineDefault");
    if (!jet.IsNullOrEmpty() && !engine.IsNullOrEmpty() && engine.AsText() == c.engineDefault.value_or("")) {
      if (!jet.AsText().empty()) c.jetDefault = Value(jet.AsText());
    } else if (c.engineDefault) {
      c.jetDefault = Value(JetDefaultFromEngine(*c.engineDefault));
      // Another program's default that this provider would write otherwise (CURRENT_TIMESTAMP, local time).
      auto bare = [](std::string_view text) {
        text = text::Trim(text);
        if (text.size() >= 2 && text.front() == '(' && text.back() == ')')
          text = text.substr(1, text.size() - 2);
        return std::string(text);
      };
      std::optional<std::string> written = EngineDefault(c.jetDefault.AsText(), c.type.type);
      c.defaultRewritten = !written || bare(*written) != bare(*c.engineDefault);
    }
    // A server type the column was made from, while its declaration is still the one made for it.
    if (Value server = property(c.name, "ServerType");
        !server.IsNullOrEmpty() && text::EqualsNoCase(c.declared, DeclarationFor(c.type, server.AsText())))
      c.serverType = server.AsText();
    Value description = property(c.name, "Description");
    if (!description.IsNullOrEmpty()) c.description = Value(description.AsText());
    info.columns.push_back(std::move(c));
  }
  return &tables_.emplace(key, std::move(info)).first->second;
}

const TableInfo& JetSchema::Info(std::string_view name) {
  if (const TableInfo* info = FindTable(name)) return *info;
  throw Error(
      kItemNotFound, kSource,
      "Item cannot be found in the collection corresponding to the requested name or ordinal: table " +
          std::string(name));
}

std::vector<Catalog::Entry> JetSchema::ListTables() {
  EnsureFresh();
  LoadProperties();
  struct Row {
    Catalog::Entry entry;
    std::int64_t order;
  };
  std::vector<Row> rows;
  const std::vector<std::string> shadows = ShadowTables(Db());
  Statement s(Db(), "SELECT name, type, rowid FROM sqlite_master WHERE type IN ('table','view')");
  while (s.Step()) {
    if (IsAmong(shadows, s.Text(0))) continue;
    Row row;
    row.entry.name = s.Text(0);
    row.entry.type = s.Text(1) == "view" ? "VIEW" : IsSystemTable(row.entry.name) ? "SYSTEM TABLE" : "TABLE";
    row.order = s.Int(2);
    auto t = properties_.find(LowerKey(row.entry.name));
    if (t != properties_.end()) {
      auto o = t->second.find("");
      if (o != t->second.end()) {
        auto p = o->second.find("ordinal");
        if (p != o->second.end() && !p->second.IsNullOrEmpty()) row.order = p->second.AsInt();
        // A table a server restore named "schema.table" saves in its schema again.
        auto s = o->second.find("schema");
        if (s != o->second.end() && !s->second.IsNullOrEmpty()) {
          std::string schema = s->second.AsText();
          if (row.entry.name.size() > schema.size() &&
              row.entry.name.compare(0, schema.size(), schema) == 0 && row.entry.name[schema.size()] == '.')
            row.entry.schema = std::move(schema);
        }
      }
    }
    rows.push_back(std::move(row));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.order < b.order; });
  std::vector<Catalog::Entry> entries;
  for (Row& row : rows) entries.push_back(std::move(row.entry));
  return entries;
}

namespace {

// What a table's statement holds beyond its columns and keys, as a list for people ("CHECK, COLLATE
// NOCASE"); empty when the catalog describes the table whole. Declared types and defaults count when this
// provider would write them otherwise ("DATE" would come back "DATETIME", CURRENT_TIMESTAMP local time).
std::string TableExtras(std::string_view sql, const TableInfo* info) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(sql, Brackets::Engine);
  } catch (const Error&) {
    return "the statement cannot be read";
  }
  std::vector<std::string> found;
  auto note = [&](std::string what) {
    if (std::find(found.begin(), found.end(), what) == found.end()) found.push_back(std::move(what));
  };
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (t.kind != TokenKind::Word) continue;
    if (t.Is("CHECK")) note("CHECK");
    if (t.Is("GENERATED")) note("GENERATED");
    if (t.Is("STRICT")) note("STRICT");
    if (t.Is("COLLATE") && i + 1 < tokens.size()) note("COLLATE " + text::ToUpper(tokens[i + 1].text));
    if (t.Is("WITHOUT") && i + 1 < tokens.size() && tokens[i + 1].Is("ROWID")) note("WITHOUT ROWID");
  }
  for (const ColumnInfo& c : info ? info->columns : std::vector<ColumnInfo>()) {
    if (!c.rowidAlias && c.declared != DeclarationFor(c.type) && c.serverType.empty()) note("declared types");
    if (c.defaultRewritten) note("defaults");
  }
  std::string detail;
  for (const std::string& what : found) detail += (detail.empty() ? "" : ", ") + what;
  return detail;
}

}  // namespace

std::vector<EngineObject> JetSchema::ListEngineObjects() {
  EnsureFresh();
  std::vector<EngineObject> tables, others;
  const std::vector<std::string> shadows = ShadowTables(Db());
  struct Entry {
    std::string type, name, table, sql;
  };
  std::vector<Entry> entries;
  {
    Statement s(Db(),
                "SELECT type, name, tbl_name, sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY rowid");
    while (s.Step())
      if (!IsSystemTable(s.Text(2)) && !IsSystemTable(s.Text(1)) && !IsAmong(shadows, s.Text(2)))
        entries.push_back({s.Text(0), s.Text(1), s.Text(2), s.Text(3)});
  }
  // A file another program made keeps every table's statement as written; in one of this provider's, the
  // tables whose statements say more than the catalog.
  const bool ownFile = QueryInt(Db(), "PRAGMA application_id") == kApplicationId;
  for (const auto& [type, name, table, sql] : entries) {
    if (type != "table") continue;
    const std::string module = VirtualTableModule(sql);
    std::string detail = module.empty() ? TableExtras(sql, FindTable(name)) : "VIRTUAL USING " + module;
    if (!detail.empty() || !ownFile) tables.push_back({"table", name, table, detail, sql});
  }
  // Indexes over columns alone of the tables that travel as written go with them under their own names (the
  // catalog names those this provider made "<table>.<index>"); the other tables' are the catalog's.
  auto asWritten = [&](const std::string& table) {
    return std::any_of(tables.begin(), tables.end(),
                       [&](const EngineObject& object) { return NamesEqual(object.name, table); });
  };
  for (const auto& [type, name, table, sql] : entries) {
    if (type == "index") {
      // Indexes over columns alone are in the catalog; those over expressions or part of the rows are not.
      bool partial = false, expression = false;
      Statement list(Db(), "PRAGMA index_list(" + QuoteName(table) + ")");
      while (list.Step())
        if (NamesEqual(list.Text(1), name)) partial = list.Int(4) != 0;
      Statement info(Db(), "PRAGMA index_info(" + QuoteName(name) + ")");
      while (info.Step()) expression = expression || info.IsNull(2);
      if (partial || expression)
        others.push_back({"index", name, table,
                          partial && expression ? "expressions, WHERE"
                          : partial             ? "WHERE"
                                                : "expressions",
                          sql});
      else if (asWritten(table))
        others.push_back({"index", name, table, "", sql});
    } else if (type == "view" || type == "trigger") {
      others.push_back({type, name, type == "view" ? std::string() : table, "", sql});
    }
  }
  for (EngineObject& object : others) tables.push_back(std::move(object));
  return tables;
}

std::vector<EngineSetting> JetSchema::ListEngineSettings() {
  std::vector<EngineSetting> settings;
  if (std::int64_t version = QueryInt(Db(), "PRAGMA user_version"); version != 0)
    settings.push_back({"user_version", version});
  // Another program's file keeps its own, none (0) included, rather than taking this provider's.
  if (std::int64_t id = QueryInt(Db(), "PRAGMA application_id"); id != kApplicationId)
    settings.push_back({"application_id", id});
  return settings;
}

std::int64_t JetSchema::NextAutoValue(const TableInfo& table) {
  std::int64_t next = QueryInt(Db(), "SELECT max(rowid) FROM " + QuoteName(table.name));
  if (table.autoincrementKeyword) {
    Statement seq(Db(), "SELECT seq FROM sqlite_sequence WHERE name=?1");
    seq.BindText(1, table.name);
    if (seq.Step()) next = std::max(next, seq.Int(0));
  }
  // A table whose highest value is the largest row id has no next one: the engine refuses its next row
  // (SQLITE_FULL). The seed stays at that largest value rather than wrapping round to the most negative,
  // so a save still succeeds and a restore leaves the table exactly as full as it was.
  return next < std::numeric_limits<std::int64_t>::max() ? next + 1 : next;
}

std::vector<Index> JetSchema::ReadIndexes(const TableInfo& table) {
  std::vector<Index> result;
  if (table.isView) return result;
  std::string pkName = "PrimaryKey";
  if (table.def)
    for (const ConstraintDef& c : table.def->constraints)
      if (c.kind == ConstraintDef::PrimaryKey && !c.name.empty()) pkName = c.name;
  std::vector<std::string> taken;

  std::vector<Index> primary, others;
  for (const ColumnInfo& c : table.columns) {
    if (c.rowidAlias && table.declaredPrimaryKey.empty()) {
      // The INTEGER PRIMARY KEY is the row id: the engine keeps no index for it, Jet shows one.
      Index ix;
      ix.name = Unique(pkName, taken);
      ix.unique = true;
      ix.primaryKey = true;
      ix.indexNulls = adIndexNullsDisallow;
      ix.columns.push_back(NamedColumn(c.name));
      primary.push_back(std::move(ix));
    }
  }

  struct ListEntry {
    bool unique;
    std::string origin;
    bool partial;
  };
  std::map<std::string, ListEntry> list;
  std::vector<std::string> listed;
  Statement indexList(Db(), "PRAGMA index_list(" + QuoteName(table.name) + ")");
  while (indexList.Step()) {
    list[indexList.Text(1)] = ListEntry{indexList.Int(2) != 0, indexList.Text(3), indexList.Int(4) != 0};
    listed.push_back(indexList.Text(1));
  }
  // Indexes in the order they were made; the key of a WITHOUT ROWID table is the table itself and has no
  // row in the schema, so it comes last.
  std::vector<std::string> order;
  {
    Statement names(
        Db(),
        "SELECT name FROM sqlite_master WHERE type='index' AND tbl_name=?1 COLLATE NOCASE ORDER BY rowid");
    names.BindText(1, table.name);
    while (names.Step()) order.push_back(names.Text(0));
  }
  for (const std::string& name : listed)
    if (std::find(order.begin(), order.end(), name) == order.end()) order.push_back(name);

  std::vector<bool> usedConstraints(table.def ? table.def->constraints.size() : 0, false);
  for (const std::string& engineName : order) {
    auto entry = list.find(engineName);
    if (entry == list.end()) continue;
    // An index over part of the rows has no catalog form: read as a full index it would be stricter than
    // its source. It travels as an engine object instead.
    if (entry->second.partial) continue;
    Index ix;
    ix.unique = entry->second.unique;
    bool expression = false;
    Statement info(Db(), "PRAGMA index_info(" + QuoteName(engineName) + ")");
    while (info.Step()) {
      if (info.IsNull(2))
        expression = true;
      else
        ix.columns.push_back(NamedColumn(info.Text(2)));
    }
    if (expression || ix.columns.empty()) continue;  // an index over expressions has no Jet form
    std::vector<std::string> columnNames;
    for (const Column& c : ix.columns) columnNames.push_back(c.name);
    const std::string& origin = entry->second.origin;
    if (origin == "pk") {
      ix.name = Unique(pkName, taken);
      ix.primaryKey = true;
      ix.indexNulls = adIndexNullsDisallow;
      primary.push_back(std::move(ix));
      continue;
    }
    if (origin == "u") {
      std::string name;
      if (table.def) {
        for (std::size_t i = 0; i < table.def->constraints.size(); ++i) {
          const ConstraintDef& c = table.def->constraints[i];
          if (usedConstraints[i] || c.kind != ConstraintDef::Unique || !SameNames(c.columns, columnNames))
            continue;
          usedConstraints[i] = true;
          name = c.name;
          break;
        }
      }
      if (name.empty()) name = "UQ_" + table.name + "_" + Join(columnNames, "_");
      ix.name = Unique(name, taken);
      if (NamesEqual(ix.name, table.declaredPrimaryKey)) {
        ix.primaryKey = true;
        ix.indexNulls = adIndexNullsDisallow;
        primary.push_back(std::move(ix));
        continue;
      }
    } else {
      std::string prefix = table.name + ".";
      std::string name = engineName;
      if (name.size() > prefix.size() && text::StartsWithNoCase(name, prefix))
        name = name.substr(prefix.size());
      ix.name = Unique(name, taken);
    }
    others.push_back(std::move(ix));
  }
  for (Index& ix : others) primary.push_back(std::move(ix));
  return primary;
}

std::vector<Key> JetSchema::ReadKeys(const TableInfo& table, const std::vector<Index>& indexes) {
  std::vector<Key> keys;
  if (table.isView) return keys;
  std::vector<std::string> taken;
  for (const Index& ix : indexes) taken.push_back(ix.name);
  for (const Index& ix : indexes) {
    if (!ix.primaryKey && !(ix.unique && table.def)) continue;
    bool isConstraint = ix.primaryKey;
    if (!isConstraint) {
      // Unique constraints are keys too; unique indexes made with CREATE INDEX are not.
      std::vector<std::string> names;
      for (const Column& c : ix.columns) names.push_back(c.name);
      for (const ConstraintDef& c : table.def->constraints)
        if (c.kind == ConstraintDef::Unique && SameNames(c.columns, names)) isConstraint = true;
    }
    if (!isConstraint) continue;
    Key key;
    key.name = ix.name;
    key.type = ix.primaryKey ? adKeyPrimary : adKeyUnique;
    key.columns = ix.columns;
    keys.push_back(std::move(key));
  }

  // The engine's foreign keys, grouped by id; named from the schema where it names them.
  struct Foreign {
    std::string table;
    std::vector<std::string> from, to;
    std::string onUpdate, onDelete;
  };
  std::map<std::int64_t, Foreign> foreign;
  Statement fk(Db(), "PRAGMA foreign_key_list(" + QuoteName(table.name) + ")");
  while (fk.Step()) {
    Foreign& f = foreign[fk.Int(0)];
    f.table = fk.Text(2);
    f.from.push_back(fk.Text(3));
    f.to.push_back(fk.IsNull(4) ? std::string() : fk.Text(4));
    f.onUpdate = fk.Text(5);
    f.onDelete = fk.Text(6);
  }
  std::vector<std::pair<std::size_t, Foreign*>> ordered;  // position in the CREATE TABLE text, key
  std::vector<bool> usedConstraints(table.def ? table.def->constraints.size() : 0, false);
  std::vector<std::string> givenNames;
  for (auto& [id, f] : foreign) {
    std::size_t position = SIZE_MAX - static_cast<std::size_t>(id);  // unmatched ones last, oldest first
    std::string name;
    if (table.def) {
      for (std::size_t i = 0; i < table.def->constraints.size(); ++i) {
        const ConstraintDef& c = table.def->constraints[i];
        if (usedConstraints[i] || c.kind != ConstraintDef::ForeignKey || !NamesEqual(c.refTable, f.table) ||
            !SameNames(c.columns, f.from))
          continue;
        usedConstraints[i] = true;
        position = c.begin;
        name = c.name;
        break;
      }
    }
    givenNames.push_back(name);
    ordered.emplace_back(position, &f);
  }
  std::vector<std::string> names = givenNames;
  std::vector<std::size_t> order(ordered.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return ordered[a].first < ordered[b].first; });
  for (std::size_t i : order) {
    Foreign& f = *ordered[i].second;
    Key key;
    key.type = adKeyForeign;
    key.name = Unique(names[i].empty() ? "FK_" + table.name + "_" + f.table : names[i], taken);
    key.relatedTable = f.table;
    key.deleteRule = RuleCode(f.onDelete);
    key.updateRule = RuleCode(f.onUpdate);
    std::vector<std::string> parentKey;
    if (std::any_of(f.to.begin(), f.to.end(), [](const std::string& t) { return t.empty(); })) {
      if (const TableInfo* parent = FindTable(f.table)) {
        std::vector<std::pair<int, std::string>> pk;
        for (const ColumnInfo& c : parent->columns)
          if (c.primaryKeyPosition > 0) pk.emplace_back(c.primaryKeyPosition, c.name);
        std::sort(pk.begin(), pk.end());
        for (auto& [pos, n] : pk) parentKey.push_back(n);
      }
    }
    for (std::size_t k = 0; k < f.from.size(); ++k) {
      Column column;
      column.name = f.from[k];
      column.relatedColumn = !f.to[k].empty() ? f.to[k] : k < parentKey.size() ? parentKey[k] : std::string();
      key.columns.push_back(std::move(column));
    }
    keys.push_back(std::move(key));
  }
  return keys;
}

data::Table JetSchema::GetTable(std::string_view name) {
  const TableInfo& info = Info(name);
  data::Table table;
  table.name = info.name;
  table.type = info.isView ? "VIEW" : IsSystemTable(info.name) ? "SYSTEM TABLE" : "TABLE";
  for (const ColumnInfo& c : info.columns) {
    Column column;
    column.name = c.name;
    column.type = c.type.type;
    column.definedSize = c.type.definedSize;
    column.precision = c.type.precision;
    column.numericScale = c.type.numericScale;
    column.serverType = c.serverType;
    column.properties = Properties({
        {"Autoincrement", Value(c.autoincrement)},
        {"Default", c.jetDefault},
        {"Description", c.description},
        {"Nullable", Value(!(c.notNull || c.rowidAlias))},
        {"Seed", c.autoincrement ? Value(static_cast<long long>(NextAutoValue(info))) : Value()},
    });
    table.columns.push_back(std::move(column));
  }
  // Reading indexes may read other tables (a foreign key's parent), which can move the cache: copy first.
  TableInfo copy = info;
  table.indexes = ReadIndexes(copy);
  table.keys = ReadKeys(copy, table.indexes);
  return table;
}

Properties JetSchema::NewColumnProperties() const {
  return Properties({
      {"Autoincrement", Value(false)},
      {"Default", Value()},
      {"Description", Value()},
      {"Nullable", Value(true)},
      {"Seed", Value(1)},
  });
}

std::unique_ptr<Recordset> JetSchema::SchemaColumns(std::string_view tableName) {
  std::vector<FieldInfo> fields = SchemaColumnsFields();

  std::vector<std::vector<Value>> rows;
  const TableInfo* info = FindTable(tableName);
  if (info) {
    int ordinal = 0;
    for (const ColumnInfo& c : info->columns) {
      int type = c.type.type;
      bool nullable = !(c.notNull || c.rowidAlias);
      bool text = IsTextType(type), binary = IsBinaryType(type), isLong = IsLongType(type);
      Value maxLength = Value::Null(), octets = Value::Null();
      if (text || binary) {
        std::int64_t length = isLong ? (text ? 536870910 : 1073741823) : c.type.definedSize;
        maxLength = Value(static_cast<long long>(length));
        octets = Value(static_cast<long long>(text && !isLong ? length * 2 : length));
      }
      int flags = DBCOLUMNFLAGS_WRITEUNKNOWN;
      if (nullable) flags |= DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL;
      if (isLong)
        flags |= DBCOLUMNFLAGS_ISLONG;
      else if (!(type == adVarWChar || type == adVarBinary ||
                 type == adVariant))  // a typeless value has no length
        flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
      bool numeric = NaturalPrecision(type) > 0;
      rows.push_back({
          Value(info->name),
          Value(c.name),
          Value(++ordinal),
          Value(!c.jetDefault.IsEmpty()),
          c.jetDefault.IsEmpty() ? Value::Null() : c.jetDefault,
          Value(flags),
          Value(nullable),
          Value(type),
          maxLength,
          octets,
          numeric ? Value(c.type.precision) : Value::Null(),
          type == adNumeric ? Value(c.type.numericScale) : Value::Null(),
          type == adDate ? Value(0) : Value::Null(),
          c.description.IsEmpty() ? Value::Null() : c.description,
      });
    }
  }
  return std::make_unique<BufferedRecordset>(std::move(fields), std::move(rows), kSource);
}

}  // namespace vela::data::sqlite
