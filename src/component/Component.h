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

#include "velabackup/CBackupEvents.h"
#include "velabackup/Enums.h"
#include "velabackup/Utils.h"

namespace vela {

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
  void RaiseRequestAdditionalFiles(std::optional<std::vector<std::string>>& files, const std::string& tempPath,
                                   const TableList& doNotSave);
  void RaiseRestoreAdditionalFiles(const std::string& sourcePath, const std::string& previousTempPath,
                                   const std::string& connectionString);
  void RaiseSelectFolder(const std::string& caption, std::string& folder);

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
};

}  // namespace vela
