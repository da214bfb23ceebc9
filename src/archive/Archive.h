// The archive: packing the working files into the backup file, unpacking a backup file into the work
// folder, and the host's own files that travel with a backup.
//
// The zip controls' progress, disk prompts and stop replies become the operation's events: progress goes
// out with the step's caption, a cancel (from the host or a cancelled disk prompt) stops the control, and a
// stopped control leaves no partial archive and keeps an earlier one at the destination.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/Operation.h"
#include "platform/utils/ByteStreams.h"
#include "platform/zip/ArchiveReader.h"
#include "platform/zip/UnzipControl.h"
#include "velabackup/Enums.h"

namespace vela {

// A backup file being packed while its last members are written (Archive::BeginZip). The members are
// written in order, each through Member(i) and ended with EndMember(i); Finish() then raises the packing's
// progress as ZipFiles does and completes the backup file. Destroyed before that, it leaves no backup file.
class ArchivePacking {
 public:
  ~ArchivePacking();
  ArchivePacking(const ArchivePacking&) = delete;
  ArchivePacking& operator=(const ArchivePacking&) = delete;

  utils::ByteSink& Member(std::size_t index);
  void EndMember(std::size_t index);
  void Finish();

  struct Parts;
  explicit ArchivePacking(std::unique_ptr<Parts> parts);

 private:
  std::unique_ptr<Parts> parts_;
};

class Archive {
 public:
  explicit Archive(Operation& operation) : operation_(operation) {}

  // The host's additional files (RequestAdditionalFiles) as entries of the packer's file list.
  std::string GetAdditionalFiles(const TableList& doNotSaveDataTables);
  // Packs the files of `fileList` into `archivePath`, stored in the uncompressed mode, deflated otherwise;
  // `compressedContent` (a server's own backup, compressed by its tool) is stored: deflating it again at
  // the quickest level takes 40 % off its size but a tenth more time than the tool itself took.
  // With a `password`, every member is encrypted (AES-256). A `level` given replaces that choice: 0 stores,
  // 1..12 deflates at that libdeflate level.
  void ZipFiles(const std::string& archivePath, const std::string& fileList, BackupModeEnum mode,
                bool compressedContent = false, const std::string& password = {},
                std::optional<std::int32_t> level = std::nullopt);
  // The same packing, started before the last members exist: the files of `fileList`, then `written`,
  // paths in the work folder that are never created, whose bytes the caller writes through the packing.
  // Null when the destination is on removable media: there the files are written and packed by ZipFiles.
  std::unique_ptr<ArchivePacking> BeginZip(const std::string& archivePath, const std::string& fileList,
                                           const std::vector<std::string>& written, BackupModeEnum mode,
                                           const std::string& password = {},
                                           std::optional<std::int32_t> level = std::nullopt);
  // Unpacks the backup file into the work folder. Returns the folder that received the backup document or
  // the mode file (the restore folder), empty when the file holds neither: a file of an older layout, or a
  // readable file that is no zip archive at all. `unpacked` tells whether any member was unpacked,
  // `encrypted` whether the members were encrypted: they are read with `password`, and a backup file that
  // needs one and was not given it, or was given a wrong one, fails with kArchivePassword. The members
  // `leavePacked` names stay in the backup file, which `packed` then receives still open for them to be read
  // where they lie.
  std::string UnzipFiles(const std::string& archivePath, bool& unpacked, const std::string& password,
                         bool& encrypted, const zip::LeavePacked& leavePacked = {},
                         std::unique_ptr<zip::ArchiveReader>* packed = nullptr);

  // Native server backups, made by the engine's database-management component on this computer and copied
  // between its folder and ours. SaveSQLDatabaseToFile: true when the native backup file is now at
  // `destinationPath`. RestoreSQLBackupFromFile: true when the server was handed the backup and its restore
  // returned (a stop asked for by the host included).
  bool SaveSQLDatabaseToFile(const std::string& connectionString, const std::string& destinationPath);
  // Why no native backup or restore of the server can be made from this computer (its tools are missing
  // or older than the server), for the user; empty when it can, whatever the server's address.
  std::string NativeToolsMissing(const std::string& connectionString, bool restore);
  bool RestoreSQLBackupFromFile(const std::string& connectionString, const std::string& sourcePath);

  // The controls' message callbacks: disk prompts become questions to the host.
  void ZipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                          std::int32_t& reply, const std::string& archivePath);
  void UnzipMessageCallback(std::int32_t& message, std::int32_t& style, std::int32_t& number,
                            std::int32_t& reply);

 private:
  bool IsDiskFull(const std::string& path) const;

  Operation& operation_;
};

}  // namespace vela
