// The catalog objects of the data-access layer: tables, columns, indexes and keys with their provider
// properties, in the manner of the automation catalog (ADOX).
//
// Table, Column, Index and Key are plain values: reading the catalog fills them, appending hands them to
// the provider. Name lookups are without regard to case.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/data/Types.h"
#include "velabackup/data/Value.h"

namespace vela::data {

struct Property {
  std::string name;
  Value value;
};

// Provider properties of a column, in the provider's own order ("Autoincrement", "Default",
// "Description", "Nullable", "Seed", ...).
class Properties {
 public:
  Properties() = default;
  explicit Properties(std::vector<Property> items) : items_(std::move(items)) {}

  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  // The named property; an unknown name fails with kItemNotFound.
  Value& operator[](std::string_view name);
  const Value& operator[](std::string_view name) const;
  // Adds the property or replaces its value.
  void Set(std::string_view name, Value value);

  std::vector<Property>::iterator begin() { return items_.begin(); }
  std::vector<Property>::iterator end() { return items_.end(); }
  std::vector<Property>::const_iterator begin() const { return items_.begin(); }
  std::vector<Property>::const_iterator end() const { return items_.end(); }
  std::size_t size() const { return items_.size(); }

 private:
  const Property* Find(std::string_view name) const;
  std::vector<Property> items_;
};

struct Column {
  std::string name;
  int type = adVarWChar;  // DataTypeEnum
  std::int64_t definedSize = 0;
  int numericScale = 0;
  int precision = 0;
  std::string relatedColumn;  // key columns only
  Properties properties;
  // The server engine's own name of the column's type ("character varying(40)", "date", "interval"), where
  // the column is a server's or a file database keeps it from one; empty otherwise.
  std::string serverType;
};

struct Index {
  std::string name;
  bool clustered = false;
  bool unique = false;
  bool primaryKey = false;
  int indexNulls = adIndexNullsAllow;
  std::vector<Column> columns;  // names only
};

struct Key {
  std::string name;
  int type = adKeyPrimary;  // KeyTypeEnum
  std::string relatedTable;
  int deleteRule = adRINone;
  int updateRule = adRINone;
  std::vector<Column> columns;  // name and relatedColumn
};

struct Table {
  std::string name;
  std::string type;  // "TABLE", "VIEW", "SYSTEM TABLE", ...
  std::vector<Column> columns;
  std::vector<Index> indexes;
  std::vector<Key> keys;
};

// Catalog names compare without regard to letter case.
bool NamesEqual(std::string_view a, std::string_view b);

// Finds an element by name; nullptr when absent.
template <class Item>
const Item* FindByName(const std::vector<Item>& items, std::string_view name) {
  for (const Item& item : items)
    if (NamesEqual(item.name, name)) return &item;
  return nullptr;
}

// A schema object the catalog's tables, columns, indexes and keys cannot describe, in the engine's own
// SQL: a view, a trigger, an index over expressions or over part of the rows, or a table whose definition
// holds more than its columns and keys say (checks, collations, engine options such as WITHOUT ROWID).
struct EngineObject {
  std::string kind;  // "table", "index", "view" or "trigger"
  std::string name;
  std::string table;   // the table it belongs to; empty for a view
  std::string detail;  // what it holds beyond the catalog, for people ("CHECK, COLLATE")
  std::string sql;     // the engine's statement that makes it
  // Made before the tables are made and their rows loaded (a server's schemas, types, functions,
  // sequences and the tables its own statement makes); the others are made once the rows and keys are in.
  bool beforeRows = false;
};

// A number the engine keeps for the database as a whole rather than for one of its objects (a file's
// "user_version", which applications use to track their schema's migrations, and "application_id").
struct EngineSetting {
  std::string name;
  std::int64_t value = 0;
};

// State of an engine object that travels as a typed value rather than as SQL: a sequence's position
// ("sequence": `value` its last value, `called` whether it was taken; `table` and `column` the column it
// numbers, when one does), a comment ("comment": `on` what is commented, "table", "view", "type",
// "function" with its `arguments` ..., `value` the text), a materialized view to fill ("refresh"), a
// table's row-level security ("row security": `value` "enabled" or "forced"), a trigger that does not fire
// as a new one does ("trigger": `on` the trigger, `value` "disabled", "replica" or "always"), and a foreign
// key checked at
// the end of the transaction ("deferrable": `on` the key, `value` "deferred" or "immediate"). Names are
// given apart from their `schema`; the target finds the object by them and quotes them itself.
struct EngineState {
  std::string kind;
  std::string schema;
  std::string name;
  std::string on;
  std::string arguments;
  std::string table;
  std::string column;
  std::string value;
  bool called = false;
};

class Catalog {
 public:
  virtual ~Catalog() = default;

  // Name and type of every table, view and system table, in the provider's order.
  struct Entry {
    std::string name;  // "schema.table" outside the default schema, as GetTable takes it
    std::string type;
    std::string schema;  // empty in the default schema
  };
  virtual std::vector<Entry> ListTables() = 0;

  // A table with its columns (and their properties), indexes and keys; an unknown name fails with
  // kItemNotFound.
  virtual Table GetTable(std::string_view name) = 0;

  // Creates the table with its columns (and any indexes and keys it carries).
  virtual void AppendTable(const Table& table) = 0;
  // The same in the schema `schema` of a server database, made first when there is none of that name; the
  // table's name is the one GetTable then takes ("schema.table"). Engines without schemas make the table
  // under its name.
  virtual void AppendTableInSchema(const Table& table, std::string_view schema) {
    (void)schema;
    AppendTable(table);
  }
  // Adds a key to an existing table, keeping its rows.
  virtual void AppendKey(std::string_view tableName, const Key& key) = 0;
  // Sets one provider property of an existing column ("Seed").
  virtual void SetColumnProperty(std::string_view tableName, std::string_view columnName,
                                 std::string_view property, const Value& value) = 0;
  // Rereads the database's schema.
  virtual void Refresh() = 0;

  // The properties a new column gets from this provider (its ParentCatalog), in the provider's order,
  // with their default values.
  virtual Properties NewColumnProperties() const = 0;

  // The objects of the database the catalog cannot describe, table definitions first, then the others in
  // the order they were made. A provider that has none gives none.
  virtual std::vector<EngineObject> ListEngineObjects() { return {}; }
  // Makes an object another catalog of the same provider listed, once the tables hold their rows and
  // keys: a table definition is applied to the table of that name (its rows, indexes and triggers stay), or
  // makes the table as written where there is none yet (before its rows, with its keys: the file provider's
  // connection then stops enforcing foreign keys, so that rows may come in any order); the others are made
  // anew. Fails with kNotSupported where the provider has no engine objects.
  virtual void ApplyEngineObject(const EngineObject& object);

  // The database's own settings that differ from a new database's, and setting one of them on a database
  // of the same provider. Fails with kNotSupported for a name the provider does not carry.
  virtual std::vector<EngineSetting> ListEngineSettings() { return {}; }
  virtual void ApplyEngineSetting(const EngineSetting& setting);

  // The typed state of the engine objects, and giving it to the objects of that name once every object
  // is made (fails with kNotSupported where the provider keeps none, kItemNotFound for a missing object).
  virtual std::vector<EngineState> ListEngineStates() { return {}; }
  virtual void ApplyEngineState(const EngineState& state);

  // Makes room in an existing database for a restore that replaces part of it: removes the tables
  // `tables` names that exist, with their indexes, keys and triggers; or, when `tables` is empty, every
  // table, view, sequence, routine and type of the schemas `schemas` (none of an extension). An object in
  // the way that the login does not own, or anything else the removal would take with it (a view or a key
  // of a table that stays), fails it with kCommandError naming them, and nothing is removed. Fails with
  // kNotSupported where the provider cannot.
  virtual void RemoveForRestore(const std::vector<std::string>& tables,
                                const std::vector<std::string>& schemas);
};

}  // namespace vela::data
