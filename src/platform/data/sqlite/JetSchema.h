// The catalog of a file database as Jet shows it, read from and written to the engine's own schema.
//
// What the engine's schema cannot say is kept in the provider's table "MSysVelaProperties" (reported as a
// system table), one row per (table, object, property):
//
//   Type         ADO type of an autoincrement column (its declaration must read "INTEGER")
//   Default      the Jet default expression as written ("=Now()", "Yes"), with
//   EngineDefault  the engine default it was turned into; a row whose engine default no longer matches the
//                schema was made stale by another program and is ignored
//   Description  the column's description
//   PrimaryKey   (object "") the name of a primary key held as a UNIQUE constraint, because the table's
//                engine key is its autoincrement column
//   Ordinal      (object "") the table's place in creation order, kept when the table is rebuilt
//   ServerType   the server's own type name of a column made from a server column ("date", "interval");
//                the column is declared with it where the engine reads it as the same type (JetTypes.h),
//                and a row whose column is declared otherwise since is ignored
//
// Everything else comes from the schema itself: types from declarations (JetTypes.h), index and key names
// from the CONSTRAINT names of CREATE TABLE and from index names. Indexes made through Jet SQL are named
// "<table>.<index>" in the engine because index names are per table in Jet and per database here.
// Keys and indexes the schema gives no name get a made-up one that depends only on the schema
// ("PrimaryKey", "UQ_<table>_<columns>", "FK_<table>_<related table>"), so they are stable.
//
// A database made by another program needs no provider table: it is read from its schema alone.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/sqlite/JetStatements.h"
#include "platform/data/sqlite/JetTypes.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::data::sqlite {

// Two lists of column names that match one by one, without regard to case.
bool SameNames(const std::vector<std::string>& a, const std::vector<std::string>& b);

class JetConnection;

inline constexpr const char* kPropertiesTable = "MSysVelaProperties";
// The first column of a full-text table as the catalog shows it: the engine's row id.
inline constexpr const char* kRowidColumn = "rowid";

struct ColumnInfo {
  std::string name;
  ColumnType type;
  std::string declared;  // the declared type as the table's statement writes it
  bool notNull = false;
  bool rowidAlias = false;     // the table's INTEGER PRIMARY KEY: the engine's row id
  bool autoincrement = false;  // a row id declared AUTOINCREMENT: Jet's autoincrement column
  int primaryKeyPosition = 0;  // 1-based place in the engine's primary key, 0 when not in it
  std::optional<std::string> engineDefault;
  bool defaultRewritten = false;  // this provider would write the engine default otherwise
  Value jetDefault;               // Empty when the column has no default
  Value description;              // Empty when none
  std::string serverType;         // the ServerType property, empty when none
};

struct TableInfo {
  std::string name;
  bool isView = false;
  bool autoincrementKeyword = false;  // the engine keeps a sequence for the table
  std::string module;                 // a virtual table's module ("fts5"), "" for others
  std::vector<ColumnInfo> columns;
  std::optional<TableDef> def;
  std::string declaredPrimaryKey;  // PrimaryKey property, see above

  const ColumnInfo* Find(std::string_view column) const;
};

class JetSchema {
 public:
  explicit JetSchema(JetConnection& connection) : connection_(connection) {}

  // Reading. Info() fails with kItemNotFound for an unknown name.
  std::vector<Catalog::Entry> ListTables();
  const TableInfo& Info(std::string_view name);
  const TableInfo* FindTable(std::string_view name);
  data::Table GetTable(std::string_view name);
  Properties NewColumnProperties() const;
  std::unique_ptr<Recordset> SchemaColumns(std::string_view tableName);
  std::int64_t NextAutoValue(const TableInfo& table);
  void Invalidate();
  // Finalizes the statements the schema keeps prepared, before the connection closes.
  void ReleaseStatements();

  // Changing.
  void AppendTable(const data::Table& table);
  // A table of a server schema, named "schema.table": the schema is kept as the table's property, so that
  // a backup of this file gives the table back in its schema.
  void AppendTableInSchema(const data::Table& table, std::string_view schema);
  void AppendKey(std::string_view tableName, const Key& key);
  void SetColumnProperty(std::string_view tableName, std::string_view columnName, std::string_view property,
                         const Value& value);
  void CreateIndex(const CreateIndexStatement& statement);
  void DropIndex(const DropIndexStatement& statement);
  void AddConstraint(const AddConstraintStatement& statement);
  // Drops the provider's properties of a table that no longer exists.
  void ForgetTable(std::string_view name);
  // Drops the tables of these names that exist, with their indexes and triggers, in one transaction
  // (Catalog::RemoveForRestore).
  void DropTables(const std::vector<std::string>& tables);

  // Objects the catalog cannot describe (see Catalog::ListEngineObjects), and making them again.
  std::vector<EngineObject> ListEngineObjects();
  void ApplyEngineObject(const EngineObject& object);
  // The header's user_version and application_id where they are not a new file's.
  std::vector<EngineSetting> ListEngineSettings();
  void ApplyEngineSetting(const EngineSetting& setting);

 private:
  // A change a rebuild makes: a table-level clause to add, replacement texts for columns and constraints.
  struct Change {
    std::string clause;
    std::map<std::string, std::string> columnTexts;      // by lower-case column name
    std::map<std::size_t, std::string> constraintTexts;  // by index into TableDef::constraints
    std::string primaryKeyProperty;                      // the PrimaryKey property to record
    std::string what;                                    // "relationship 'x'", for messages
    std::string definition;  // a whole CREATE TABLE statement that replaces the table's own (then the
                             // texts above are not used)
  };
  sqlite3* Db();
  void EnsureFresh();
  void LoadProperties();
  std::vector<Index> ReadIndexes(const TableInfo& table);
  std::vector<Key> ReadKeys(const TableInfo& table, const std::vector<Index>& indexes);
  void Rebuild(const TableInfo& table, const Change& change);
  // Replaces the table's statement by one that differs in names alone, keeping the rows where they are.
  void RewriteStatement(const TableInfo& table, const std::string& sql);
  const TableInfo& InfoForStatement(std::string_view name);
  std::string ForeignKeyClause(const Key& key);
  void AddPrimaryKey(const TableInfo& table, const std::string& name,
                     const std::vector<std::string>& columns);
  void WriteProperty(std::string_view table, std::string_view object, std::string_view property,
                     const Value& value);
  void EnsurePropertiesTable();

  JetConnection& connection_;
  Statement versionQuery_;
  std::int64_t schemaVersion_ = -1;
  bool propertiesLoaded_ = false;
  std::map<std::string, TableInfo> tables_;  // by lower-case name
  // (table, object, property), lower-case keys
  std::map<std::string, std::map<std::string, std::map<std::string, Value>>> properties_;
};

}  // namespace vela::data::sqlite
