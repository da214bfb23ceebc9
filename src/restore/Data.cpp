// Data restoration: the rows of one table data file into the freshly created table. The loop here reads the
// file and hands each row to the target engine's row target (RowTarget.h), chosen once per table.
#include "backupfile/TableDataFile.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "platform/zip/ArchiveReader.h"
#include "restore/Restore.h"
#include "restore/RowTarget.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

std::vector<ColumnInfo> ReadColumns(const backupfile::TableEntry& table) {
  std::vector<ColumnInfo> infos;
  for (const backupfile::ColumnEntry& column : table.columns) {
    ColumnInfo info;
    info.name = column.name;
    info.bracketed = BracketName(column.name);
    info.dataType = column.dataType;
    info.autoincrement = column.autoincrement.ValueOr(false);
    bool hasDefault = column.defaultValue.has_value() || column.defaultExpression.has_value();
    info.nullableWithDefault = hasDefault && !info.autoincrement && column.nullable.ValueOr(false);
    info.precision = static_cast<int>(column.precision.ValueOr(0) & 0xFF);
    info.numericScale = static_cast<int>(column.numericScale.ValueOr(0) & 0xFF);
    if (IsTextType(column.dataType) && !IsLongType(column.dataType))
      info.definedSize = std::max<std::int64_t>(column.defineSize.ValueOr(0), 0);
    if (column.dataType == adCurrency)
      info.wholeDigits = 15;
    else if ((column.dataType == adNumeric || column.dataType == adDecimal) &&
             column.precision.ValueOr(0) > 0)
      info.wholeDigits = std::max<std::int64_t>(*column.precision.value - column.numericScale.ValueOr(0), 0);
    infos.push_back(std::move(info));
  }
  return infos;
}

namespace {

constexpr std::int64_t kValuesNamed = 10;  // a table's changed values named one by one; the others counted

}  // namespace

void ChangedValues::Add(std::int64_t row, const std::string& column, const std::string& how) {
  if (++count_ <= kValuesNamed)
    named_ += "\n  row " + std::to_string(row) + ", column " + column + ": " + how;
}

std::string ChangedValues::Lines() const {
  const std::int64_t more = count_ - kValuesNamed;
  return more > 0 ? named_ + "\n  and " + std::to_string(more) + " more value(s)" : named_;
}

std::unique_ptr<RowTarget> MakeRowTarget(DataProvider provider, Connection& connection, Catalog& catalog,
                                         const std::string& tableName, const std::vector<ColumnInfo>& columns,
                                         const Separators& separators, ChangedValues& changed) {
  if (provider == dpAccess) return MakeRecordsetRows(connection, catalog, tableName, columns, separators);
  return MakeInsertRows(connection, tableName, columns, separators, changed);
}

std::int64_t Restorer::RestoreData(const backupfile::TableEntry& tableEntry,
                                   const zip::MemberStat& dataMember, Connection& connection,
                                   const std::string& tableName, Catalog& catalog,
                                   const Separators& separators, std::int32_t progress,
                                   ChangedValues& changed) {
  return Trapped("RestoreData [" + tableName + ".]", [&](Procedure& at) -> std::int64_t {
    std::string currentColumn;
    try {
      at();
      const std::string caption = GetMessageText(11, tableName);
      operation_.RaiseUpdateProgress(progress, caption);
      at();
      const std::vector<ColumnInfo> columns = ReadColumns(tableEntry);
      std::vector<std::string> columnNames;
      for (const ColumnInfo& column : columns) columnNames.push_back(column.name);
      // The file is read where it lies in the backup file, never written to the work folder.
      backupfile::TableDataFileReader reader(m_Archive->Open(dataMember), m_Archive->Path() / dataMember.name,
                                             tableName, std::move(columnNames));
      if (!reader.HasRows()) {
        operation_.RaiseTableProgress(tableName, 0, 0);  // a table without rows
        return 0;
      }
      const std::int64_t declared = reader.RecordCount();
      operation_.RaiseTableProgress(tableName, 0, declared);

      at();
      std::unique_ptr<RowTarget> target =
          MakeRowTarget(m_Provider, connection, catalog, tableName, columns, separators, changed);
      std::int64_t rowCounter = 0, dropped = 0;
      using Token = backupfile::TableDataFileReader::Token;
      while (!operation_.Cancelled()) {
        at();
        const Token token = reader.Next();
        if (token == Token::kEnd) break;
        if (reader.StartsRow()) {
          at();
          target->BeginRow();
          ++rowCounter;
          if (rowCounter > declared && declared > 0) {
            operation_.RaiseUpdateProgress(
                progress, caption + " (" + std::to_string(declared) + "/" + std::to_string(declared) + ")");
          } else if (rowCounter % 100 == 0) {
            operation_.RaiseUpdateProgress(
                progress, caption + " (" + std::to_string(rowCounter) + "/" + std::to_string(declared) + ")");
            operation_.RaiseTableProgress(tableName, rowCounter, declared);
          }
        }
        if (token == Token::kCorruption) {
          at();
          m_CorruptionFound = true;
          ++dropped;
          target->DropRow();
          continue;
        }
        if (token != Token::kField) continue;

        at();
        currentColumn = columns[reader.FieldIndex()].name;
        target->Set(reader);
      }
      if (operation_.Cancelled()) return rowCounter - dropped;
      operation_.RaiseTableProgress(tableName, rowCounter, declared);
      at();
      target->Finish();
      return rowCounter - dropped;
    } catch (...) {
      at.SetName("RestoreData [" + tableName + "." + currentColumn + "]");
      throw;
    }
  });
}

}  // namespace vela
