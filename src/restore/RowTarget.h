// Where the rows of one table data file go. The row loop (Restorer::RestoreData) reads the file and hands
// each row to one target, chosen once per table by the target engine:
//
//   file databases    one updatable recordset on the table (the provider batches the rows in transactions);
//                     a value the data file holds with its class goes in as it is, in that class; the
//                     next autoincrement value is moved past the highest restored one at the end;
//   server databases  one parameterised INSERT per row, identity values kept as stored.
//
// A target holds only the table's state: several may run at once, each on its own connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backupfile/BackupDocument.h"
#include "backupfile/TableDataFile.h"
#include "velabackup/Enums.h"

namespace vela {

namespace data {
class Catalog;
class Connection;
}  // namespace data

// What the restore needs of one column element, read once per table.
struct ColumnInfo {
  std::string name;
  std::string bracketed;  // the name as SQL text takes it
  int dataType = 0;
  bool autoincrement = false;
  int precision = 0;
  int numericScale = 0;
  // A nullable column with a default: a NULL stored for it must not turn into the default.
  bool nullableWithDefault = false;
  // What the column holds at most: characters of a sized text, digits before the point of a number with a
  // precision; 0 for no bound.
  std::int64_t definedSize = 0;
  std::int64_t wholeDigits = 0;
};

std::vector<ColumnInfo> ReadColumns(const backupfile::TableEntry& table);

// The separators of the machine that saved a backup, and of the one restoring it.
struct Separators {
  std::string decimal, thousands, monetaryDecimal, monetaryThousands;
};

// The values a target changed so that its engine holds them, for the restore's notice: the first few of a
// table named by row and column, the others counted.
class ChangedValues {
 public:
  void Add(std::int64_t row, const std::string& column, const std::string& how);
  bool Empty() const { return count_ == 0; }
  // One line per value named, and one for those counted; each starts with a line break.
  std::string Lines() const;

 private:
  std::string named_;
  std::int64_t count_ = 0;
};

class RowTarget {
 public:
  virtual ~RowTarget() = default;

  // A new row begins; the row before it, if any, is complete.
  virtual void BeginRow() = 0;
  // The value of the field the reader stands on, for the row begun.
  virtual void Set(const backupfile::TableDataFileReader& field) = 0;
  // The row begun is left out: the data file marks it damaged.
  virtual void DropRow() = 0;
  // The file has ended: the last row is complete. Not called when the restore is cancelled.
  virtual void Finish() = 0;
};

// The target of `provider` for the freshly created table `tableName` with `columns`.
// A server target names in `changed` each value it changes (RowValues.h).
std::unique_ptr<RowTarget> MakeRowTarget(DataProvider provider, data::Connection& connection,
                                         data::Catalog& catalog, const std::string& tableName,
                                         const std::vector<ColumnInfo>& columns, const Separators& separators,
                                         ChangedValues& changed);
// The two targets (RecordsetRows.cpp, InsertRows.cpp).
std::unique_ptr<RowTarget> MakeRecordsetRows(data::Connection& connection, data::Catalog& catalog,
                                             const std::string& tableName,
                                             const std::vector<ColumnInfo>& columns,
                                             const Separators& separators);
std::unique_ptr<RowTarget> MakeInsertRows(data::Connection& connection, const std::string& tableName,
                                          const std::vector<ColumnInfo>& columns,
                                          const Separators& separators, ChangedValues& changed);

}  // namespace vela
