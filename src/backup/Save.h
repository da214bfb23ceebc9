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
#include <vector>

#include "backupfile/BackupDocument.h"
#include "component/Operation.h"
#include "component/Procedure.h"
#include "platform/utils/ByteStreams.h"
#include "velabackup/Enums.h"
#include "velabackup/TableChoice.h"

namespace vela {

namespace data {
class Connection;
struct Table;
}  // namespace data

// Where and when the backup of `connection` is made: the database's name, the engine's version, the time
// (UTC) and this library's version.
backupfile::OriginEntry CaptureOrigin(const Utils& utils, const data::Connection& connection,
                                      DataProvider provider);

class Saver {
 public:
  // `mode` is the object's backup mode; a direct copy of a remote server the host agrees to save as text
  // changes it to the compressed text mode.
  Saver(Operation& operation, BackupModeEnum& mode) : operation_(operation), m_BackupMode(mode) {}
  // A saver of the same save for a job that reads tables beside it, raising its events through `operation`.
  Saver(const Saver& save, Operation& operation)
      : m_CompressionLevel(save.m_CompressionLevel),
        m_Tables(save.m_Tables),
        operation_(operation),
        m_BackupMode(save.m_BackupMode),
        m_Provider(save.m_Provider),
        m_DecimalSeparator(save.m_DecimalSeparator),
        m_MonetaryDecimalSeparator(save.m_MonetaryDecimalSeparator) {}

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
  // How many tables are read at once (CBackup::Jobs), each job on a connection of its own.
  std::size_t m_Jobs = 1;

  // The tables the save takes, and whether with their rows (CBackup::Tables).
  TableChoice m_Tables;

 private:
  // Takes the tables the choice leaves out from `entries`, and gives their names; a pattern that matches
  // no table fails the save before anything is written.
  std::vector<std::string> ChooseTables(std::vector<data::Catalog::Entry>& entries) const;
  // A table saved with its structure only: one named in DoNotSaveDataTables, or every table of a save of
  // the structure only.
  bool AllowDataSaving(const std::string& tableName, const TableList& doNotSaveDataTables);
  // Column capture: the table's columns, from the COLUMNS schema rowset and the catalog.
  void SaveColumns(backupfile::TableEntry& entry, const data::Table& table, data::Connection& connection);
  // Index and key capture: primary keys and unique constraints travel as indexes, foreign keys as keys.
  void SaveIndexes(backupfile::TableEntry& entry, const data::Table& table, data::Connection& connection);
  void SaveKeys(backupfile::TableEntry& entry, const data::Table& table, data::Connection& connection);
  // One table of the catalog into `element`: its columns, indexes and keys, and its rows when `saved`
  // (see SaveData).
  void SaveTable(Procedure& at, const data::Catalog::Entry& entry, data::Catalog& catalog,
                 data::Connection& connection, const std::string& dataFilePath, bool saved,
                 utils::ByteSink* member, std::int32_t progress, backupfile::TableEntry& element);
  // Data capture: the table's rows into its table data file, with progress every 100 rows and a notice
  // for rows that look corrupted. The file goes into `member` (its archive member, packed as it is
  // written) when there is one, else to `dataFilePath`, which names it in both cases.
  // A file database's values may not fit their declared types: the widest are written into `element`'s
  // columns (MaxLength, MaxDigits, MaxScale) where they do not.
  bool SaveData(const data::Table& table, data::Connection& connection, const std::string& dataFilePath,
                utils::ByteSink* member, std::int32_t progress, backupfile::TableEntry& element);

  Operation& operation_;
  BackupModeEnum& m_BackupMode;
  DataProvider m_Provider = dpUnknown;
  std::string m_ArchivePassword;
  // The saving machine's separators, read once for all tables of a save: numbers are written with them.
  std::string m_DecimalSeparator;
  std::string m_MonetaryDecimalSeparator;
};

}  // namespace vela
