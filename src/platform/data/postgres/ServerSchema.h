// The catalog of a server database as the component sees it, read from and written to pg_catalog.
//
// It shows the tables and views of every schema the login may use (never pg_catalog, information_schema,
// TOAST or temporary schemas, nor the partitions of a partitioned table, whose rows the parent shows). A
// table of the default schema "public" is named by its name, one of another schema "schema.table"; a name
// the search path finds as it stands comes first. It keeps nothing between calls, so it always reads the
// schema as it is now.
//
// Everything the catalog reports comes from the server's own catalog:
//
//   types          the column's type OID and modifier, a domain's followed down to its base type
//                  (ServerTypes.h)
//   Default        pg_attrdef, read in the plain form both engines read (ServerDefaults.h); a sequence's
//                  nextval makes the column an autoincrement column instead
//   Autoincrement  an identity column, or a serial one another program made; Seed and Increment are
//                  read from its sequence
//   Description    the column's comment
//   index and key names  an index, primary key or unique key lives in the schema's one namespace of
//                  relations, where other engines keep such names per table: a name that is taken there,
//                  or longer than the server keeps, is made under a free name and the name given is kept in
//                  the comment of the index or foreign key, which the catalog reads back (IndexNames.h)
//
// Names the server would cut short are refused rather than changed; a default the server cannot be given
// as a constant or known function never reaches it as SQL.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerSession.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// The schema whose tables the catalog names without their schema.
inline constexpr const char* kDefaultSchema = "public";

// A relation the catalog shows.
struct Relation {
  std::string oid;
  std::string schema;
  std::string name;
  bool view = false;

  std::string Sql() const { return QuoteName(schema) + "." + QuoteName(name); }
};

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

  // Computed from the row's other values (GENERATED ALWAYS AS ... STORED): the table's own statement, one
  // of the engine objects, makes it again; the catalog and the rows leave it out, as the file engine's do.
  bool Generated() const { return !writable && !identity; }
};

// The columns, indexes and keys of one relation.
struct RelationParts {
  std::vector<ColumnState> columns;
  std::vector<Index> indexes;
  std::vector<Key> keys;
};

// The catalog as read once while every read of the session sees one moment of the database, in which it
// cannot change: every relation shown, with its parts.
struct SchemaSnapshot {
  struct Shown {
    Relation relation;
    bool visible = false;   // found by its name alone, along the search path
    std::string lowerName;  // the server's lower case of its name
  };
  bool read = false;
  std::vector<Shown> relations;  // by name ("C" order)
  // Catalog name ("schema.table" outside the default schema) -> the relation so named and the server's lower
  // case of that name.
  std::map<std::string, std::pair<std::size_t, std::string>> byCatalogName;
  std::map<std::string, RelationParts> parts;  // by relation oid; a relation missing here is read on its own
};

class ServerSchema {
 public:
  // The session must outlive the schema.
  explicit ServerSchema(ServerSession& session) : session_(session) {}

  // Reading (ServerSchemaRead.cpp). A name may be given in brackets; the relation spelt so is found, else
  // one whose name differs only in case. RequireRelation and GetTable fail with kItemNotFound for an
  // unknown name.
  std::vector<Catalog::Entry> ListTables();
  std::optional<Relation> FindRelation(std::string_view name);
  Relation RequireRelation(std::string_view name);
  Table GetTable(std::string_view name);
  std::vector<ColumnState> ReadColumns(const Relation& relation);
  // The indexes over plain columns (an index over expressions or part of the rows is none the catalog can
  // describe); a primary key's first.
  std::vector<Index> ReadIndexes(const Relation& relation);
  // Primary, unique and foreign keys, in that order.
  std::vector<Key> ReadKeys(const Relation& relation);
  Properties NewColumnProperties() const;
  // The COLUMNS schema rowset of one table (a client-side rowset); no rows for an unknown table.
  std::unique_ptr<Recordset> SchemaColumns(std::string_view tableName);

  // Changing (ServerSchemaWrite.cpp). Each call is one batch of statements the server runs at once.
  // In `schema` (made when missing), or the first schema of the search path when it is empty.
  void AppendTable(const Table& table, std::string_view schema = {});
  void AppendKey(std::string_view tableName, const Key& key);
  // Seed, Description, Nullable and Default of an existing column; Autoincrement, Increment and Fixed
  // Length cannot be changed (kNotSupported), another property is not found (kItemNotFound).
  void SetColumnProperty(std::string_view tableName, std::string_view columnName, std::string_view property,
                         const Value& value);

 private:
  // The names of one namespace that are taken (ServerSchemaWrite.cpp).
  class NameSpace;

  std::pair<Oid, int> BaseType(Oid type, int modifier);
  // The parts of the relations `oids` gives (an SQL list or query of relation oids), read in one exchange
  // with the server. Where `readable` is set, a relation numbered by a sequence the login may not read is
  // left out, for a read of its own to fail as it would.
  std::map<std::string, RelationParts> ReadParts(const std::string& oids, bool readable);
  RelationParts Parts(const Relation& relation);
  // The session's read snapshot, read when it is first asked for; nullptr outside one.
  SchemaSnapshot* Snapshot();
  // The relation the snapshot gives for a name, when the snapshot can tell (an outer nullopt when not).
  std::optional<std::optional<Relation>> FindInSnapshot(const SchemaSnapshot& snapshot,
                                                        const std::string& name);
  ResultHandle CreationSchema(const std::string& schema, const std::string& table);
  NameSpace RelationNames(std::string schema);
  NameSpace ConstraintNames(const Relation& relation);
  std::string ColumnSql(const std::string& table, const Column& column);
  std::string KeySql(const std::string& tableSql, const Key& key, NameSpace& relations,
                     NameSpace& constraints, std::string_view schema);
  std::string IndexSql(const std::string& tableSql, const Index& index, NameSpace& relations,
                       std::string_view schema);

  ServerSession& session_;
};

// Fails with kItemNotFound naming what was looked for ("table x", "column c of t").
[[noreturn]] void SchemaItemNotFound(std::string what);

}  // namespace vela::data::postgres
