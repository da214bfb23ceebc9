// The backup document: the schema of a saved database, one XML document (UTF-8, no declaration). The save
// fills a BackupDocument and writes it with WriteBackupDocument; the restore, inspect and verify read it
// with ReadBackupDocument. Both sides share the names below.
//
//   Database  ConnectionString DecimalSeparator ThousandSeparator
//             MonetaryDecimalSeparator MonetaryThousandSeparator     (the saving machine's separators)
//     Tables
//       Table  Name FileName                                      (FileName: the table data file's member)
//              DataSaved                                          (optional: "False" for a table saved
//                                                                  without its rows; it has no data file)
//         Columns
//           Column  Name DataType Flags Nullable                  (always)
//                   Desc NumericScale Precision DefineSize DateTimePrecision
//                   DefaultValue Autoincrement Default            (when the column has them)
//                   ServerType                                    (optional: the server's own type name)
//                   MaxLength MaxDigits MaxScale                  (optional: values wider than the type)
//         Indexes
//           Index  Name Clustered Unique PK IndexNulls
//                  Constraint                                   (when a unique index is a table's constraint)
//             Columns
//               Column  Name
//         Keys
//           Key  Name DeleteRule UpdateRule Type RelatedTable
//                DeleteRestrict UpdateRestrict                  (when the rule is RESTRICT; its rule is 0)
//             Columns
//               Column  Name RelatedColumn
//     EngineObjects  Provider                                     (optional: only when there are some)
//       Object  Kind Name Table Detail SQL                        (data::EngineObject)
//               BeforeRows                                        (optional: made before the tables)
//       Setting  Name Value                                       (optional: data::EngineSetting)
//       State  Kind Schema Name On Arguments Table Column Value Called
//                                                                 (optional, all but Kind and Name:
//                                                                  data::EngineState)
//     Origin  Database Engine Made Tool                           (optional: where and when the backup
//                                                                  was made, for people; see OriginEntry)
//
// EngineObjects carries, in the source engine's own SQL, what the elements above cannot say: views,
// triggers, indexes over expressions or part of the rows, table definitions with checks, collations or
// engine options. A restore into the same provider makes them after the tables, rows and keys; a reader
// that does not know the element passes over it. Setting carries a number the engine keeps for the whole
// database (a file's user_version and application_id): a typed value, never SQL, that the same provider
// sets again. An Object with BeforeRows="True" (a server's schema, type, function, sequence, or a table
// made by its own statement) is made before the tables; a table it made is not made again, only given its
// rows. State carries what an object holds beyond its SQL (a sequence's position, a comment, a
// materialized view to fill, row-level security, a foreign key's deferral) as typed values the same
// provider gives the object again by its name.
//
// Numbers are decimal integers; Booleans are written as True / False or -1 / 0 and read as a number
// (non-zero is true) or those words. The writer gives Nullable (and, from file databases, Autoincrement)
// as -1 / 0 and Clustered, Unique, PK (and, from server databases, Autoincrement) as the words: readers of
// older backups know the document in exactly that form. Desc, Flags, DateTimePrecision and
// ConnectionString are written for information; the reader passes over them. A table's columns are the
// children of its first child element; indexes and keys the children of every "Indexes" and "Keys" element.
// The restore reads other groups than "Tables" (each child of the document element is a group) for its
// progress only.
//
// The reader treats the document as untrusted: an attribute the restore needs that is missing, or one that
// does not hold a number or Boolean where one belongs, fails with kTypeMismatch naming the table, the
// element and the attribute. Which attributes are needed depends on the restore's step, so the reader keeps
// what is absent as absent and `Require` raises the error when a step needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xml/Document.h"
#include "velabackup/Enums.h"
#include "velabackup/data/Catalog.h"

namespace vela::backupfile {

// Element and attribute names of the backup document, shared by its writer and its reader.
namespace doc {
inline constexpr const char* kDatabase = "Database";
inline constexpr const char* kTables = "Tables";
inline constexpr const char* kTable = "Table";
inline constexpr const char* kColumns = "Columns";
inline constexpr const char* kColumn = "Column";
inline constexpr const char* kIndexes = "Indexes";
inline constexpr const char* kIndex = "Index";
inline constexpr const char* kKeys = "Keys";
inline constexpr const char* kKey = "Key";

inline constexpr const char* kConnectionString = "ConnectionString";
inline constexpr const char* kDecimalSeparator = "DecimalSeparator";
inline constexpr const char* kThousandSeparator = "ThousandSeparator";
inline constexpr const char* kMonetaryDecimalSeparator = "MonetaryDecimalSeparator";
inline constexpr const char* kMonetaryThousandSeparator = "MonetaryThousandSeparator";

inline constexpr const char* kName = "Name";
inline constexpr const char* kFileName = "FileName";
// A server table's schema when it is not the default one ("public"); readers that do not know it skip it.
inline constexpr const char* kSchema = "Schema";

inline constexpr const char* kDesc = "Desc";
inline constexpr const char* kDataType = "DataType";
inline constexpr const char* kNumericScale = "NumericScale";
inline constexpr const char* kPrecision = "Precision";
inline constexpr const char* kDefineSize = "DefineSize";
inline constexpr const char* kDateTimePrecision = "DateTimePrecision";
inline constexpr const char* kFlags = "Flags";
inline constexpr const char* kNullable = "Nullable";
inline constexpr const char* kDefaultValue = "DefaultValue";
inline constexpr const char* kAutoincrement = "Autoincrement";
inline constexpr const char* kSeed = "Seed";
inline constexpr const char* kDefault = "Default";
// The server engine's own name of a column's type ("character varying(40)", "date"), written by a save of a
// server database and of a file database that keeps it from one; readers that do not know it skip it.
inline constexpr const char* kServerType = "ServerType";
// Written by a save of a file database, which holds any value in any column, where the values are wider than
// the column's type: the characters of the longest text (beyond DefineSize), the most digits before the
// point of a number (beyond Precision less NumericScale; 19 for an integer beyond its type's range) and
// after it (beyond NumericScale). A restore onto the server makes the column wide enough for them.
inline constexpr const char* kMaxLength = "MaxLength";
inline constexpr const char* kMaxDigits = "MaxDigits";
inline constexpr const char* kMaxScale = "MaxScale";

inline constexpr const char* kClustered = "Clustered";
inline constexpr const char* kUnique = "Unique";
inline constexpr const char* kPK = "PK";
inline constexpr const char* kIndexNulls = "IndexNulls";
inline constexpr const char* kConstraint = "Constraint";

inline constexpr const char* kDeleteRule = "DeleteRule";
inline constexpr const char* kUpdateRule = "UpdateRule";
inline constexpr const char* kDeleteRestrict = "DeleteRestrict";
inline constexpr const char* kUpdateRestrict = "UpdateRestrict";
inline constexpr const char* kType = "Type";
inline constexpr const char* kRelatedTable = "RelatedTable";
inline constexpr const char* kRelatedColumn = "RelatedColumn";

inline constexpr const char* kEngineObjects = "EngineObjects";
inline constexpr const char* kObject = "Object";
inline constexpr const char* kProvider = "Provider";
inline constexpr const char* kKind = "Kind";
inline constexpr const char* kObjectTable = "Table";
inline constexpr const char* kDetail = "Detail";
inline constexpr const char* kSql = "SQL";
inline constexpr const char* kSetting = "Setting";
inline constexpr const char* kSettingValue = "Value";
inline constexpr const char* kBeforeRows = "BeforeRows";
inline constexpr const char* kState = "State";
inline constexpr const char* kOn = "On";
inline constexpr const char* kArguments = "Arguments";
inline constexpr const char* kStateColumn = "Column";
inline constexpr const char* kCalled = "Called";
// A table saved without its rows ("False"); absent: saved with them, or written before the mark was.
inline constexpr const char* kDataSaved = "DataSaved";
inline constexpr const char* kOrigin = "Origin";
inline constexpr const char* kOriginDatabase = "Database";
inline constexpr const char* kOriginEngine = "Engine";
inline constexpr const char* kOriginMade = "Made";
inline constexpr const char* kOriginTool = "Tool";
}  // namespace doc

// Where a value came from, for the failure text: "table Orders, column Price".
struct Origin {
  std::string text;
};

// A value of the document that may be absent; Require() raises the reader's error when a step needs it.
template <class T>
struct Attribute {
  std::optional<T> value;
  Origin origin;
  const char* name = "";

  bool has_value() const { return value.has_value(); }
  const T& Require() const;
  T ValueOr(T fallback) const { return value.value_or(std::move(fallback)); }
};

struct ColumnEntry {
  std::string name;
  int dataType = 0;
  Attribute<std::int64_t> defineSize, precision, numericScale;
  Attribute<bool> nullable, autoincrement;
  Attribute<std::int64_t> seed;  // optional: an autoincrement column's next value, where the source keeps it
  std::optional<std::string> defaultValue;       // "DefaultValue": the value the column defaults to
  std::optional<std::string> defaultExpression;  // "Default": the engine's default expression
  std::optional<std::string> serverType;         // "ServerType": the server's own type name
  std::optional<std::int64_t> maxLength, maxDigits, maxScale;  // values wider than the type (kMaxLength)
  // Written for information only; the reader leaves them empty.
  std::optional<std::string> description;
  std::optional<std::int64_t> dateTimePrecision;
  std::int64_t flags = 0;
};

struct IndexEntry {
  std::string name;
  Attribute<bool> clustered, unique, primaryKey;
  Attribute<std::int64_t> indexNulls;
  bool constraint = false;  // a unique constraint of the table, not an index of its own
  std::vector<std::string> columns;
};

struct KeyColumnEntry {
  std::string name;
  std::optional<std::string> relatedColumn;
};

struct KeyEntry {
  std::string name;
  std::optional<int> type;  // a key without a type is passed over
  Attribute<std::int64_t> deleteRule, updateRule;
  std::string relatedTable;
  std::vector<KeyColumnEntry> columns;
};

// One child of a group: a table, or another element that counts for progress only.
struct TableEntry {
  std::string element;  // the element's name ("Table")
  std::string name;
  std::optional<std::string> fileName;
  // The server schema the table is in, absent for the default one. A key's RelatedTable names a table of
  // such a schema as "schema.table", as QualifiedName does.
  std::optional<std::string> schema;
  std::vector<ColumnEntry> columns;
  std::vector<IndexEntry> indexes;
  std::vector<KeyEntry> keys;
  // False for a table saved without its rows (DataSaved="False"): its data file is missing by design.
  bool dataSaved = true;

  bool IsTable() const;
  // "schema.table" for a table of another schema than the default one, else the name.
  std::string QualifiedName() const;
  // The column of exactly that name; else the one column of that name but for letter case (as the file
  // engine compares names); nullptr when there is none, or several that differ only in case.
  const ColumnEntry* FindColumn(std::string_view columnName) const;
};

struct EngineObjectsEntry {
  std::string provider;  // the provider whose SQL the objects are
  std::vector<data::EngineObject> objects;
  std::vector<data::EngineSetting> settings;
  std::vector<data::EngineState> states = {};

  bool Empty() const { return objects.empty() && settings.empty() && states.empty(); }
};

// A state as people are told of it: "sequence public.film_id_seq", "comment on table public.film".
std::string DescribeEngineState(const data::EngineState& state);

// An engine object as people are told of it: "view Adults", "table Customer (CHECK, COLLATE NOCASE)",
// "index CustomerLowerName on Customer (expressions)".
std::string DescribeEngineObject(const data::EngineObject& object);

// Where and when a backup was made, for people (inspect); no reader acts on it. It never holds a password
// or a connection string: the database is named by its name alone.
struct OriginEntry {
  std::string database;  // a server's database, or a database file's name without its folder
  std::string engine;    // the engine and its version as the provider gives them: "PostgreSQL 15.10"
  std::string made;      // UTC, "2026-12-07T19:30:05Z"
  std::string tool;      // "VelaBackup 0.1.0"
};

struct BackupDocument {
  // The saved database's connection string, without its password (written only; the reader leaves it).
  std::optional<std::string> connectionString;
  // The saving machine's separators, absent when the document does not give them.
  std::optional<std::string> decimalSeparator, thousandSeparator, monetaryDecimalSeparator,
      monetaryThousandSeparator;
  // Each child of the document element: the save writes one, "Tables".
  std::vector<std::vector<TableEntry>> groups;
  std::optional<EngineObjectsEntry> engineObjects;  // written only when it holds objects or settings
  std::optional<OriginEntry> origin;  // the last child; older readers count it a group without tables
};

// Writes `document` as the backup document at `path`, each group as a "Tables" element. `source` is the
// provider the save read (see the Boolean forms above).
void WriteBackupDocument(const BackupDocument& document, DataProvider source, const std::string& path);
// What WriteBackupDocument writes, for a document packed without a file of its own.
std::string BackupDocumentText(const BackupDocument& document, DataProvider source);

// Reads a loaded document (xml::Document::Load fails on a file that is no well-formed XML); a malformed
// value fails with kTypeMismatch (see above).
BackupDocument ReadBackupDocument(const xml::Document& document);

// A Boolean as the document stores it: a number (non-zero true) or the words True / False. Anything else
// fails with kTypeMismatch naming the attribute.
bool DocumentBoolean(const std::string& text, std::string_view attributeName);

// True for a text of exactly 38 characters that begins with "{" and ends with "}" (a name the engine made).
bool IsRowGUID(std::string_view text);

}  // namespace vela::backupfile
