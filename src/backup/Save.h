// The save: the database of an open connection into one backup file.
//
// Text modes walk the catalog and write the backup document (BackupDocument.h) and one table data file per
// table (TableDataFile.h) into the work folder, then pack them with the mode and provider members and the
// host's additional files. The direct copy packs a consistent snapshot of the database instead. An earlier
// file at the destination is replaced only when the new archive is complete: a failed, cancelled or empty
// save leaves it as it was. The work folder is removed at the end of every orderly save; a failure leaves
// it for the object to remove.
#pragma once

#include <cstdint>
#include <string>

#include "backupfile/BackupDocument.h"
#include "component/Operation.h"
#include "velabackup/Enums.h"

namespace vela {

namespace data {
class Connection;
struct Table;
}  // namespace data

class Saver {
 public:
  // `mode` is the object's backup mode; a direct copy of a remote server the host agrees to save as text
  // changes it to the compressed text mode.
  Saver(Operation& operation, BackupModeEnum& mode) : operation_(operation), m_BackupMode(mode) {}

  // True when the backup file was written; False when cancelled, refused or there was nothing to write.
  bool Save(data::Connection& connection, const std::string& destinationFilePath,
            const TableList& doNotSaveDataTables);

  // The password the backup file's members are encrypted with (CBackup::SetArchivePassword). Without one,
  // a text backup of a password-protected file database is encrypted with the database's password, and
  // every other backup is written in clear, as it always was: a direct copy of a protected file is already
  // encrypted page by page.
  void SetArchivePassword(std::string password) { m_ArchivePassword = std::move(password); }
  // The members' compression level (CBackup::SetCompressionLevel); none: the mode's own.
  std::optional<std::int32_t> m_CompressionLevel;

 private:
  bool AllowDataSaving(const std::string& tableName, const TableList& doNotSaveDataTables);
  // Column capture: the table's columns, from the COLUMNS schema rowset and the catalog.
  void SaveColumns(backupfile::TableEntry& entry, const data::Table& table, data::Connection& connection);
  // Index and key capture: primary keys and unique constraints travel as indexes, foreign keys as keys.
  void SaveIndexes(backupfile::TableEntry& entry, const data::Table& table, data::Connection& connection);
  void SaveKeys(backupfile::TableEntry& entry, const data::Table& table, data::Connection& connection);
  // Data capture: the table's rows into its table data file, with progress every 100 rows and a notice
  // for rows that look corrupted.
  // A file database's values may not fit their declared types: the widest are written into `element`'s
  // columns (MaxLength, MaxDigits, MaxScale) where they do not.
  bool SaveData(const data::Table& table, data::Connection& connection, const std::string& dataFilePath,
                std::int32_t progress, backupfile::TableEntry& element);

  Operation& operation_;
  BackupModeEnum& m_BackupMode;
  DataProvider m_Provider = dpUnknown;
  std::string m_ArchivePassword;
};

}  // namespace vela
