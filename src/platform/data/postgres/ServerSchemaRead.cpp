// Reading the catalog of a server database from pg_catalog: the relations shown, their columns, indexes and
// keys, and the COLUMNS schema rowset.
#include "platform/data/postgres/ServerSchema.h"

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/data/BufferedRecordset.h"
#include "platform/data/SchemaColumns.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerDefaults.h"
#include "platform/data/postgres/ServerTypes.h"
#include "platform/text/Strings.h"

namespace vela::data::postgres {

namespace {

// The relations of every schema the login may use, the server's own (pg_catalog, information_schema,
// pg_toast, pg_temp_*) left out, of pg_class c in pg_namespace n.
constexpr const char* kSchemaRelations =
    "c.relkind IN ('r', 'p', 'v', 'm', 'f') AND NOT c.relispartition AND n.nspname !~ '^pg_' AND "
    "n.nspname <> 'information_schema' AND pg_catalog.has_schema_privilege(n.oid, 'USAGE')";
// Those a name without its schema finds, along the search path.
const std::string kShownRelations =
    std::string(kSchemaRelations) + " AND pg_catalog.pg_table_is_visible(c.oid)";

// A table's name as the catalog gives it: "schema.table" outside the default schema.
std::string CatalogName(const std::string& schema, const std::string& name) {
  return schema == kDefaultSchema ? name : schema + "." + name;
}

Column NamedColumn(std::string name, std::string related = {}) {
  Column column;
  column.name = std::move(name);
  column.relatedColumn = std::move(related);
  return column;
}

int RuleFromServer(std::string_view action) {
  if (action == "c") return adRICascade;
  if (action == "n") return adRISetNull;
  if (action == "d") return adRISetDefault;
  if (action == "r") return adRIRestrict;
  return adRINone;
}

}  // namespace

void SchemaItemNotFound(std::string what) {
  throw Error(kItemNotFound, kSource, "Item cannot be found in the collection: " + what);
}

std::vector<Catalog::Entry> ServerSchema::ListTables() {
  // The default schema's tables first, as before there were others; then each further schema's.
  ResultHandle result = session_.QueryServerSql(
      std::string("SELECT c.relname, c.relkind, n.nspname FROM pg_catalog.pg_class c JOIN "
                  "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE ") +
      kSchemaRelations + " ORDER BY n.nspname <> '" + kDefaultSchema +
      "', n.nspname COLLATE \"C\", c.relname COLLATE \"C\"");
  std::vector<Catalog::Entry> entries;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    char kind = CellText(result.get(), row, 1)[0];
    std::string schema = CellText(result.get(), row, 2);
    std::string name = CellText(result.get(), row, 0);
    entries.push_back(Catalog::Entry{CatalogName(schema, name), kind == 'v' || kind == 'm' ? "VIEW" : "TABLE",
                                     schema == kDefaultSchema ? std::string() : schema});
  }
  return entries;
}

Table ServerSchema::GetTable(std::string_view name) {
  Relation relation = RequireRelation(name);
  Table table;
  table.name = CatalogName(relation.schema, relation.name);
  table.type = relation.view ? "VIEW" : "TABLE";
  RelationParts parts = Parts(relation);
  for (ColumnState& state : parts.columns)
    if (!state.Generated()) table.columns.push_back(std::move(state.column));
  if (!relation.view) {
    table.indexes = std::move(parts.indexes);
    table.keys = std::move(parts.keys);
  }
  return table;
}

Properties ServerSchema::NewColumnProperties() const {
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

std::optional<Relation> ServerSchema::FindRelation(std::string_view bracketed) {
  // The relation named `table` exactly, else the one named so but for letter case, among those `where`
  // shows ($1 the name, $2 the schema).
  auto find = [&](const std::string& where, const std::string& table,
                  std::vector<std::string> parameters) -> std::optional<Relation> {
    parameters.insert(parameters.begin(), table);
    ResultHandle result = session_.QueryPreparedServerSql(
        "SELECT c.oid, n.nspname, c.relname, c.relkind FROM pg_catalog.pg_class c JOIN "
        "pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE " +
            where + " AND lower(c.relname) = lower($1) ORDER BY c.relname COLLATE \"C\"",
        parameters);
    const PGresult* r = result.get();
    int chosen = -1;
    for (int row = 0; row < PQntuples(r); ++row) {
      if (CellText(r, row, 2) == table) {
        chosen = row;
        break;
      }
      if (chosen < 0 && NamesEqual(CellText(r, row, 2), table)) chosen = row;
    }
    if (chosen < 0) return std::nullopt;
    char kind = CellText(r, chosen, 3)[0];
    return Relation{CellText(r, chosen, 0), CellText(r, chosen, 1), CellText(r, chosen, 2),
                    kind == 'v' || kind == 'm'};
  };
  std::string name = Unbracket(bracketed);
  if (SchemaSnapshot* snapshot = Snapshot())
    if (std::optional<std::optional<Relation>> known = FindInSnapshot(*snapshot, name)) return *known;
  std::optional<Relation> found = find(kShownRelations, name, {});
  // "schema.table": the table of that schema, when the search path finds no table of the whole name.
  if (std::size_t dot = name.find('.'); !found && dot != std::string::npos)
    found = find(std::string(kSchemaRelations) + " AND n.nspname = $2", name.substr(dot + 1),
                 {name.substr(0, dot)});
  return found;
}

Relation ServerSchema::RequireRelation(std::string_view name) {
  std::optional<Relation> relation = FindRelation(name);
  if (!relation) SchemaItemNotFound("table " + Unbracket(name));
  return *relation;
}

// The base type and modifier of a domain, followed down through domains over domains.
std::pair<Oid, int> ServerSchema::BaseType(Oid type, int modifier) {
  for (int depth = 0; depth < 32; ++depth) {
    ResultHandle result = session_.QueryServerSql(
        "SELECT typtype, typbasetype, typtypmod FROM pg_catalog.pg_type WHERE oid = $1",
        std::vector<std::string>{std::to_string(type)});
    if (PQntuples(result.get()) == 0 || CellText(result.get(), 0, 0) != "d") break;
    type = static_cast<Oid>(CellNumber(result.get(), 0, 1));
    if (modifier < 0) modifier = static_cast<int>(CellNumber(result.get(), 0, 2));
  }
  return {type, modifier};
}

namespace {

// Each relation's rows of a result ordered by relation (its first column): [first, last) by relation oid.
std::map<std::string, std::pair<int, int>> RowsByRelation(const PGresult* r) {
  std::map<std::string, std::pair<int, int>> rows;
  for (int row = 0; row < PQntuples(r); ++row) {
    auto [at, made] = rows.try_emplace(CellText(r, row, 0), row, row + 1);
    if (!made) at->second.second = row + 1;
  }
  return rows;
}

}  // namespace

namespace {

// The columns, the sequences behind identity and serial columns, the indexes and the keys of the relations
// "@relations" stands for (a list or a query of relation oids), each ordered by relation.
const std::array<const char*, 4> kPartQueries = {
    "SELECT a.attrelid, a.attnum, a.attname, a.atttypid, a.atttypmod, a.attnotnull, a.attidentity, "
    "a.attgenerated, t.typtype, t.typnotnull, pg_catalog.pg_get_expr(d.adbin, d.adrelid), "
    "pg_catalog.col_description(a.attrelid, a.attnum), pg_catalog.format_type(a.atttypid, a.atttypmod) "
    "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
    "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
    "WHERE a.attrelid IN (@relations) AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attrelid, "
    "a.attnum",
    // The sequences behind identity and serial columns.
    "SELECT d.refobjid, d.refobjsubid, s.seqrelid, s.seqincrement, sn.nspname, sc.relname, "
    "pg_catalog.has_schema_privilege(sn.oid, 'USAGE') AND "
    "pg_catalog.has_sequence_privilege(s.seqrelid, 'SELECT') FROM pg_catalog.pg_depend d "
    "JOIN pg_catalog.pg_sequence s ON s.seqrelid = d.objid "
    "JOIN pg_catalog.pg_class sc ON sc.oid = s.seqrelid "
    "JOIN pg_catalog.pg_namespace sn ON sn.oid = sc.relnamespace "
    "WHERE d.classid = 'pg_catalog.pg_class'::pg_catalog.regclass "
    "AND d.refclassid = 'pg_catalog.pg_class'::pg_catalog.regclass AND d.refobjid IN (@relations) "
    "AND d.deptype IN ('a', 'i') ORDER BY d.refobjid",
    "SELECT i.indrelid, i.indexrelid, ic.relname, i.indisunique, i.indisprimary, i.indisclustered, "
    "pg_catalog.obj_description(i.indexrelid, 'pg_class'), a.attname "
    "FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class ic ON ic.oid = i.indexrelid "
    "CROSS JOIN LATERAL unnest(i.indkey::pg_catalog.int2[]) WITH ORDINALITY AS k(attnum, n) "
    "JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
    "WHERE i.indrelid IN (@relations) AND i.indexprs IS NULL AND i.indpred IS NULL AND k.n <= "
    "i.indnkeyatts "
    // B-tree indexes of key columns alone, never an exclusion constraint's: the others are engine objects.
    "AND i.indnatts = i.indnkeyatts AND ic.relam = (SELECT am.oid FROM pg_catalog.pg_am am WHERE "
    "am.amname = 'btree') AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_constraint x WHERE x.conindid = "
    "i.indexrelid AND x.conrelid = i.indrelid AND x.contype = 'x') "
    "ORDER BY i.indrelid, i.indisprimary DESC, ic.relname COLLATE \"C\", i.indexrelid, k.n",
    // A key's name the server could not keep is read from the comment of the key's index (primary and
    // unique keys) or of the constraint (foreign keys).
    "SELECT con.conrelid, con.oid, con.conname, con.contype, fr.relname, con.confdeltype, con.confupdtype, "
    "CASE WHEN con.contype = 'f' THEN pg_catalog.obj_description(con.oid, 'pg_constraint') "
    "ELSE pg_catalog.obj_description(con.conindid, 'pg_class') END, a.attname, fa.attname, fn.nspname "
    "FROM pg_catalog.pg_constraint con "
    "CROSS JOIN LATERAL unnest(con.conkey) WITH ORDINALITY AS k(attnum, n) "
    "JOIN pg_catalog.pg_attribute a ON a.attrelid = con.conrelid AND a.attnum = k.attnum "
    "LEFT JOIN pg_catalog.pg_class fr ON fr.oid = con.confrelid "
    "LEFT JOIN pg_catalog.pg_namespace fn ON fn.oid = fr.relnamespace "
    "LEFT JOIN pg_catalog.pg_attribute fa ON fa.attrelid = con.confrelid AND fa.attnum = con.confkey[k.n] "
    "WHERE con.conrelid IN (@relations) AND con.contype IN ('p', 'u', 'f') ORDER BY con.conrelid, "
    "con.contype = 'p' DESC, con.contype = 'u' DESC, con.conname COLLATE \"C\", con.oid, k.n",
};

}  // namespace

std::map<std::string, RelationParts> ServerSchema::ReadParts(const std::string& oids, bool readable) {
  std::vector<ResultHandle> results;
  if (oids.find_first_not_of("0123456789") == std::string::npos) {
    // One relation, as a restore reads each table it made: every query prepared once, the oid its parameter.
    const std::vector<std::string> relation{oids};
    for (const char* query : kPartQueries)
      results.push_back(
          session_.QueryPreparedServerSql(text::ReplaceAll(query, "@relations", "$1"), relation));
  } else {
    std::string queries;
    for (const char* query : kPartQueries) queries += text::ReplaceAll(query, "@relations", oids) + ";\n";
    results = session_.QueryServerSqlAll(queries);
  }
  if (results.size() != 4) throw Error(kCommandError, kSource, "The server gave no catalog to read");
  std::map<std::string, RelationParts> parts;

  // The sequences behind identity and serial columns, by relation and column number.
  const PGresult* s = results[1].get();
  std::map<std::pair<std::string, std::string>, int> sequenceOf;
  for (int row = 0; row < PQntuples(s); ++row) sequenceOf[{CellText(s, row, 0), CellText(s, row, 1)}] = row;
  // Positions are read for every column numbered by a sequence at once, after the columns.
  struct Numbered {
    std::string relation;
    std::size_t column;
    int sequence;
  };
  std::vector<Numbered> numbered;
  std::set<std::string> unreadable;

  const PGresult* r = results[0].get();
  for (const auto& [oid, range] : RowsByRelation(r)) {
    std::vector<ColumnState>& columns = parts[oid].columns;
    for (int row = range.first; row < range.second; ++row) {
      ColumnState state;
      Oid type = static_cast<Oid>(CellNumber(r, row, 3));
      int modifier = static_cast<int>(CellNumber(r, row, 4));
      bool domainNotNull = false;
      if (CellText(r, row, 8) == "d") {
        domainNotNull = CellFlag(r, row, 9);
        std::tie(type, modifier) = BaseType(type, modifier);
      }
      AdoType ado = AdoTypeFor(type, modifier);
      state.typeModifier = modifier;
      state.column.name = CellText(r, row, 2);
      state.column.type = ado.type;
      state.column.definedSize = ado.definedSize;
      state.column.precision = ado.precision;
      state.column.numericScale = ado.numericScale;
      state.column.serverType = CellText(r, row, 12);

      std::string identity = CellText(r, row, 6);
      bool generated = !CellText(r, row, 7).empty();
      state.identity = !identity.empty();
      state.writable = identity != "a" && !generated;
      state.nullable = !CellFlag(r, row, 5) && !domainNotNull;
      if (!CellIsNull(r, row, 10) && !generated) {
        std::string expression = CellText(r, row, 10);
        if (expression.starts_with("nextval("))
          state.autoincrement = true;
        else
          state.defaultText = DefaultFromServer(expression);
      }
      state.autoincrement |= state.identity;
      if (!CellIsNull(r, row, 11)) state.description = CellText(r, row, 11);
      if (auto found = sequenceOf.find({oid, CellText(r, row, 1)});
          state.autoincrement && found != sequenceOf.end()) {
        state.sequenceOid = CellText(s, found->second, 2);
        state.increment = CellNumber(s, found->second, 3);
        numbered.push_back({oid, columns.size(), found->second});
        if (!CellFlag(s, found->second, 6)) unreadable.insert(oid);
      }
      columns.push_back(std::move(state));
    }
  }
  if (readable)
    for (const std::string& oid : unreadable) parts.erase(oid);

  // The seed is the value the next row gets: the sequence's last value, or the one after it once it has
  // been given out.
  std::string positions;
  for (const Numbered& n : numbered) {
    if (!parts.contains(n.relation)) continue;
    if (!positions.empty()) positions += " UNION ALL ";
    positions += "SELECT " + QuoteText(std::to_string(n.sequence)) + ", last_value, is_called FROM " +
                 QuoteName(CellText(s, n.sequence, 4)) + "." + QuoteName(CellText(s, n.sequence, 5));
  }
  if (!positions.empty()) {
    ResultHandle read = session_.QueryServerSql(positions);
    std::map<int, int> rowOf;  // sequence row -> position row
    for (int row = 0; row < PQntuples(read.get()); ++row)
      rowOf[static_cast<int>(CellNumber(read.get(), row, 0))] = row;
    for (const Numbered& n : numbered) {
      auto found = rowOf.find(n.sequence);
      if (found == rowOf.end() || !parts.contains(n.relation)) continue;
      ColumnState& state = parts[n.relation].columns[n.column];
      state.seed = CellNumber(read.get(), found->second, 1) +
                   (CellFlag(read.get(), found->second, 2) ? state.increment : 0);
    }
  }
  for (auto& [oid, part] : parts) {
    for (ColumnState& state : part.columns) {
      auto optional = [](const std::optional<std::string>& text) { return text ? Value(*text) : Value(); };
      state.column.properties = Properties({
          {"Autoincrement", Value(state.autoincrement)},
          {"Default", optional(state.defaultText)},
          {"Description", optional(state.description)},
          {"Fixed Length", Value(state.column.type == adWChar)},
          {"Increment", Value(static_cast<long long>(state.increment))},
          {"Nullable", Value(state.nullable)},
          {"Seed", Value(static_cast<long long>(state.seed))},
      });
    }
  }

  const PGresult* x = results[2].get();
  for (const auto& [oid, range] : RowsByRelation(x)) {
    if (readable && unreadable.contains(oid)) continue;
    std::vector<Index>& indexes = parts[oid].indexes;
    std::string current;
    for (int row = range.first; row < range.second; ++row) {
      if (CellText(x, row, 1) != current) {
        current = CellText(x, row, 1);
        Index index;
        std::optional<std::string> given;
        if (!CellIsNull(x, row, 6)) given = NameFromIndexComment(CellText(x, row, 6));
        index.name = given ? *given : CellText(x, row, 2);
        index.unique = CellFlag(x, row, 3);
        index.primaryKey = CellFlag(x, row, 4);
        index.clustered = CellFlag(x, row, 5);
        index.indexNulls = index.primaryKey ? adIndexNullsDisallow : adIndexNullsAllow;
        indexes.push_back(std::move(index));
      }
      indexes.back().columns.push_back(NamedColumn(CellText(x, row, 7)));
    }
  }

  const PGresult* k = results[3].get();
  for (const auto& [oid, range] : RowsByRelation(k)) {
    if (readable && unreadable.contains(oid)) continue;
    std::vector<Key>& keys = parts[oid].keys;
    std::string current;
    for (int row = range.first; row < range.second; ++row) {
      if (CellText(k, row, 1) != current) {
        current = CellText(k, row, 1);
        Key key;
        std::optional<std::string> given;
        if (!CellIsNull(k, row, 7)) given = NameFromIndexComment(CellText(k, row, 7));
        key.name = given ? *given : CellText(k, row, 2);
        std::string type = CellText(k, row, 3);
        key.type = type == "p" ? adKeyPrimary : type == "u" ? adKeyUnique : adKeyForeign;
        if (key.type == adKeyForeign) {
          key.relatedTable = CatalogName(CellText(k, row, 10), CellText(k, row, 4));
          key.deleteRule = RuleFromServer(CellText(k, row, 5));
          key.updateRule = RuleFromServer(CellText(k, row, 6));
        }
        keys.push_back(std::move(key));
      }
      Key& key = keys.back();
      key.columns.push_back(
          NamedColumn(CellText(k, row, 8),
                      key.type == adKeyForeign && !CellIsNull(k, row, 9) ? CellText(k, row, 9) : ""));
    }
  }
  return parts;
}

SchemaSnapshot* ServerSchema::Snapshot() {
  SchemaSnapshot* snapshot = session_.ReadSnapshot();
  if (snapshot == nullptr || snapshot->read) return snapshot;
  const std::string relations =
      std::string(
          "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE ") +
      kSchemaRelations;
  ResultHandle result = session_.QueryServerSql(
      "SELECT c.oid, n.nspname, c.relname, c.relkind, pg_catalog.pg_table_is_visible(c.oid), "
      "lower(c.relname), "
      "lower(CASE WHEN n.nspname = '" +
      std::string(kDefaultSchema) + "' THEN c.relname::text ELSE n.nspname || '.' || c.relname END) " +
      relations + " ORDER BY c.relname COLLATE \"C\"");
  const PGresult* r = result.get();
  for (int row = 0; row < PQntuples(r); ++row) {
    char kind = CellText(r, row, 3)[0];
    SchemaSnapshot::Shown& shown = snapshot->relations.emplace_back();
    shown.relation =
        Relation{CellText(r, row, 0), CellText(r, row, 1), CellText(r, row, 2), kind == 'v' || kind == 'm'};
    shown.visible = CellFlag(r, row, 4);
    shown.lowerName = CellText(r, row, 5);
    snapshot->byCatalogName.emplace(CatalogName(shown.relation.schema, shown.relation.name),
                                    std::pair(static_cast<std::size_t>(row), CellText(r, row, 6)));
  }
  snapshot->parts = ReadParts("SELECT c.oid " + relations, true);
  snapshot->read = true;
  return snapshot;
}

// As FindRelation finds it on the server: among the relations the search path shows, the one of that name,
// else the first whose name is the same in lower case and to NamesEqual; then, for "schema.table", the same
// within that schema. The lower case is the server's, known for the names the snapshot itself gives.
std::optional<std::optional<Relation>> ServerSchema::FindInSnapshot(const SchemaSnapshot& snapshot,
                                                                    const std::string& name) {
  auto given = snapshot.byCatalogName.find(name);
  if (given == snapshot.byCatalogName.end()) return std::nullopt;
  const std::string& lower = given->second.second;
  auto pick = [&](const std::string& table, const std::string& lowerTable,
                  const std::function<bool(const SchemaSnapshot::Shown&)>& among) -> std::optional<Relation> {
    const Relation* chosen = nullptr;
    for (const SchemaSnapshot::Shown& shown : snapshot.relations) {
      if (shown.lowerName != lowerTable || !among(shown)) continue;
      if (shown.relation.name == table) return shown.relation;
      if (chosen == nullptr && NamesEqual(shown.relation.name, table)) chosen = &shown.relation;
    }
    return chosen != nullptr ? std::optional<Relation>(*chosen) : std::nullopt;
  };
  std::optional<Relation> found = pick(name, lower, [](const SchemaSnapshot::Shown& s) { return s.visible; });
  std::size_t dot = name.find('.'), lowerDot = lower.find('.');
  if (!found && dot != std::string::npos && lowerDot != std::string::npos) {
    const std::string schema = name.substr(0, dot);
    found = pick(name.substr(dot + 1), lower.substr(lowerDot + 1),
                 [&](const SchemaSnapshot::Shown& s) { return s.relation.schema == schema; });
  }
  return found;
}

RelationParts ServerSchema::Parts(const Relation& relation) {
  if (SchemaSnapshot* snapshot = Snapshot())
    if (auto found = snapshot->parts.find(relation.oid); found != snapshot->parts.end()) return found->second;
  std::map<std::string, RelationParts> read = ReadParts(relation.oid, false);
  return std::move(read[relation.oid]);
}

std::vector<ColumnState> ServerSchema::ReadColumns(const Relation& relation) {
  return Parts(relation).columns;
}

std::vector<Index> ServerSchema::ReadIndexes(const Relation& relation) {
  return Parts(relation).indexes;
}

std::vector<Key> ServerSchema::ReadKeys(const Relation& relation) {
  return Parts(relation).keys;
}

std::unique_ptr<Recordset> ServerSchema::SchemaColumns(std::string_view tableName) {
  std::vector<FieldInfo> fields = SchemaColumnsFields();

  std::vector<std::vector<Value>> rows;
  if (std::optional<Relation> relation = FindRelation(tableName)) {
    int ordinal = 0;
    for (const ColumnState& c : ReadColumns(*relation)) {
      if (c.Generated()) continue;
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
