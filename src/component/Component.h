// The state and procedures behind CBackup. The procedures live in the folders of their subsystems
// (backup/, restore/, archive/) as members of this class; this header is their common contract.
//
// Ownership: the object owns its work folder (created on first use with mode 0700, removed when the
// object is destroyed); events go to the host's sink, which the host owns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/xml/Document.h"
#include "platform/zip/Drive.h"
#include "velabackup/CBackupEvents.h"
#include "velabackup/Enums.h"
#include "velabackup/Utils.h"

namespace vela {

namespace data {
class Connection;
class Catalog;
struct Column;
struct Table;
class Value;
}  // namespace data

// Fixed names of the working files in the work folder and the archive.
inline constexpr const char* kDocumentFileName = "{622494E8-4265-4A3E-81A7-8E785532AC06}";
inline constexpr const char* kModeFileName = "{77D0C73C-7738-42B6-9E94-1CAD0ECFF1AA}";
inline constexpr const char* kProviderFileName = "{E5D9691B-491A-49AC-912F-1F1D28F259FC}";
inline constexpr const char* kNativeBackupFileName = "{066C4DE0-84D3-4FB9-B7A2-F24DA4609734}";

// Rounds numerator / denominator to the nearest integer, halves to even (denominator > 0).
std::int64_t RoundHalfEven(std::int64_t numerator, std::int64_t denominator);

class Component {
 public:
  explicit Component(std::shared_ptr<Utils> utils);
  ~Component();

  const Utils& utils() const { return *utils_; }

  // The object's work folder: the same path for the object's life, made again when an operation needs
  // it after it was removed.
  std::string GetWorkFolder();
  // The path without creating anything (empty before the first use).
  const std::string& WorkFolderPath() const { return workFolder_; }

  // Events, raised synchronously; a missing sink leaves every answer as preset.
  void RaiseUpdateProgress(std::int32_t value, const std::string& caption);
  void RaiseShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& guid,
                        std::int32_t& result);
  void RaiseDatabaseCorruptionFound();
  void RaiseRequestAdditionalFiles(std::optional<std::vector<std::string>>& files,
                                   const std::string& tempPath, const TableList& doNotSave);
  void RaiseRestoreAdditionalFiles(const std::string& sourcePath, const std::string& previousTempPath,
                                   const std::string& connectionString);
  void RaiseSelectFolder(const std::string& caption, std::string& folder);

  // The save (backup/).
  bool Save(data::Connection& connection, const std::string& destinationFilePath,
            const TableList& doNotSaveDataTables);
  bool AllowDataSaving(const std::string& tableName, const TableList& doNotSaveDataTables);
  xml::Element SaveColumns(xml::Element columns, const data::Table& table, data::Connection& connection);
  xml::Element SaveIndexes(xml::Element indexes, const data::Table& table, data::Connection& connection);
  xml::Element SaveKeys(xml::Element keys, const data::Table& table, data::Connection& connection);
  bool SaveData(const std::string& tableName, data::Connection& connection, const std::string& dataFilePath,
                std::int32_t progress);

  // The restore (restore/).
  bool Restore(const std::string& connectionString, const std::string& sourceFilePath,
               bool intelligentTableStructure, const std::string& msAccessIgnoreRelations,
               const std::string& msAccessDBPassword);
  struct RestorationObjects {
    std::optional<xml::Document> document;
    std::unique_ptr<data::Connection> connection;
    std::unique_ptr<data::Catalog> catalog;
    RestorationObjects();
    ~RestorationObjects();
  };
  void InitializeRestorationObjects(const std::string& connectionString, RestorationObjects& objects);
  void HandleObsoleteBackupVersion(const std::string& connectionString, const std::string& sourceFilePath);
  bool CreateDatabase(const std::string& connectionString, const std::string& msAccessDBPassword);
  bool DropDatabase(const std::string& connectionString);
  void RestoreTables(xml::Document& document, data::Connection& connection, data::Catalog& catalog);
  void RestoreTable(xml::Element table, data::Catalog& catalog);
  bool ColumnHasPK(xml::Element table, const std::string& columnName);
  void RestoreTableDefault(xml::Element tableElement, const data::Table& table, data::Connection& connection);
  void SetColumnDefault(const std::string& tableName, const data::Column& column, const data::Value& value,
                        data::Connection& connection);
  struct Separators {
    std::string decimal, thousands, monetaryDecimal, monetaryThousands;
  };
  void RestoreData(xml::Element columns, const std::string& dataFilePath, data::Connection& connection,
                   const std::string& tableName, data::Catalog& catalog, const Separators& separators,
                   std::int32_t progress);
  void RestoreIndexes(xml::Element table, data::Connection& connection, const data::Table& catalogTable);
  bool TableHaveDuplicate(const std::string& tableName, const std::vector<data::Column>& columns,
                          data::Connection& connection);
  std::string GetIndexFields(const std::vector<data::Column>& columns);
  std::string QuoteObjectName(std::string_view name) const;
  bool RestoreForeignKeys(xml::Document& document, data::Connection& connection, data::Catalog& catalog,
                          const std::string& msAccessIgnoreRelations);
  bool RestoreKeys(xml::Element table, data::Connection& connection, const data::Table& catalogTable,
                   data::Catalog& catalog, bool foreignOnly, const std::string& msAccessIgnoreRelations);

  // The archive (archive/).
  std::string GetAdditionalFiles(const TableList& doNotSaveDataTables);
  void ZipFiles(const std::string& archivePath, const std::string& fileList);
  void UnzipFiles(const std::string& archivePath);
  bool IsDiskFull(const std::string& path) const;
  void ZipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                          std::int32_t& reply, const std::string& archivePath);
  void UnzipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                            std::int32_t& reply);
  // The medium archives are written to and read from; tests put a simulated one in.
  void SetDrive(const zip::Drive& drive) { drive_ = &drive; }

  // Object state.
  DataProvider m_Provider = dpUnknown;
  bool m_Cancel = false;
  BackupModeEnum m_BackupMode = bmCompressedTextFile;
  std::string m_AccessFilePath;
  std::string m_NativeCaption;
  std::string m_RestoreFolder;
  bool m_CorruptionFound = false;
  bool m_IntelligentTableStructure = false;
  std::string m_ZipCaption;
  std::string m_UnzipCaption;

  CBackupEvents* events = nullptr;

 private:
  std::shared_ptr<Utils> utils_;
  std::string workFolder_;
  const zip::Drive* drive_;
};

}  // namespace vela
