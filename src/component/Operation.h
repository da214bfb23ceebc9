// What the subsystems of a running Save or Restore share, and nothing more: the cancel flag, the host's
// events, the utilities, the medium archives go to, and the work folder, the last three from the object's
// Services.
//
// Ownership: the CBackup object owns the state behind an Operation (ObjectState) and outlives it; an
// Operation is made per call and handed by reference to the save, the restore and the archive, which keep
// no other tie to the object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/utils/FolderLock.h"
#include "platform/zip/Drive.h"
#include "velabackup/CBackupEvents.h"
#include "velabackup/Enums.h"
#include "velabackup/Outcome.h"
#include "velabackup/Services.h"
#include "velabackup/TableChoice.h"
#include "velabackup/Utils.h"

namespace vela {

// The number of jobs an operation runs: `jobs`, or one per core of this machine for 0.
std::size_t JobCount(std::int32_t jobs);

// Rounds numerator / denominator to the nearest integer, halves to even (denominator > 0).
std::int64_t RoundHalfEven(std::int64_t numerator, std::int64_t denominator);

// The work folder of one CBackup object: one path for the object's life, made (by the services, mode 0700)
// when an operation needs it, made again when it was removed, and removed with the object. It is marked as
// in use (utils::UseMark) for as long as it exists, so that one a killed process left can be told apart.
class WorkFolder {
 public:
  explicit WorkFolder(const Services& services) : services_(&services), utils_(services.Utilities()) {}
  // A folder in the temporary folder these utilities name (a look at a backup file outside an operation).
  explicit WorkFolder(const Utils& utils) : utils_(utils) {}
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  // The path, creating the folder when it does not exist.
  std::string Get();
  // The path without creating anything (empty before the first use).
  const std::string& Path() const { return path_; }
  // Removes the folder and its contents when it was ever made; the next Get makes a new one.
  void Remove();

  // Removes the work folders in the temporary folder of `utils` that operations made and left behind when
  // they were killed (marked as theirs, and nobody holds the mark); the paths removed. A folder that was
  // not marked, or that a running operation holds, stays.
  static std::vector<std::string> RemoveLeftovers(const Utils& utils);

 private:
  const Services* services_ = nullptr;
  const Utils& utils_;
  std::string path_;
  utils::UseMark mark_;  // held while the folder is ours
};

// The writes of one Save or Restore go through the services' FileWrites, the database engine's own
// included, on the calling thread and for as long as this object lives.
class OperationWrites {
 public:
  explicit OperationWrites(const Services& services);
  ~OperationWrites();
  OperationWrites(const OperationWrites&) = delete;
  OperationWrites& operator=(const OperationWrites&) = delete;

 private:
  struct Scopes;
  std::unique_ptr<Scopes> scopes_;
};

class Operation {
 public:
  Operation(const Utils& utils, CBackupEvents* events, bool& cancel, WorkFolder& workFolder,
            const zip::Drive& drive, std::string& nativeCaption, OperationOutcome& outcome)
      : utils_(utils),
        events_(events),
        cancel_(cancel),
        workFolder_(workFolder),
        drive_(drive),
        nativeCaption_(nativeCaption),
        outcome_(outcome) {}

  const Utils& utils() const { return utils_; }
  const zip::Drive& drive() const { return drive_; }
  WorkFolder& workFolder() { return workFolder_; }

  // The host asked to stop (through CBackup::Cancel), or a step of the operation decided to.
  bool Cancelled() const { return cancel_; }
  void Cancel() { cancel_ = true; }
  void ResetCancel() { cancel_ = false; }

  // A step that ends the operation without doing what it was asked says why (CBackup::LastOutcome); the
  // last reason given stands. Save and Restore end without one when they are done, cancelled or found
  // nothing to do.
  void Refuse(OutcomeReason reason) { outcome_ = {Outcome::kRefused, reason}; }

  // Events, raised synchronously; without a sink every answer stays as preset.
  void RaiseUpdateProgress(std::int32_t value, const std::string& caption);
  void RaiseShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& guid,
                        std::int32_t& result);
  void RaiseDatabaseCorruptionFound();
  void RaiseRequestAdditionalFiles(std::optional<std::vector<std::string>>& files,
                                   const std::string& tempPath, const TableList& doNotSave);
  void RaiseRestoreAdditionalFiles(const std::string& sourcePath, const std::string& previousTempPath,
                                   const std::string& connectionString);
  void RaiseSelectFolder(const std::string& caption, std::string& folder);
  void RaiseTableProgress(const std::string& table, std::int64_t rowsDone, std::int64_t rowsTotal) {
    if (events_) events_->TableProgress(table, rowsDone, rowsTotal);
  }

  // The caption of the running native server backup or restore, kept by the object for later reports.
  void SetNativeCaption(std::string caption) { nativeCaption_ = std::move(caption); }
  // A native backup or restore reports how far it is: UpdateProgress with the native caption.
  void RaiseNativeProgress(std::int16_t value) { RaiseUpdateProgress(value, nativeCaption_); }

 private:
  const Utils& utils_;
  CBackupEvents* events_;
  bool& cancel_;
  WorkFolder& workFolder_;
  const zip::Drive& drive_;
  std::string& nativeCaption_;
  OperationOutcome& outcome_;
};

// The state of one CBackup object that lives between its calls.
struct ObjectState {
  // nullptr: the services of this machine.
  explicit ObjectState(std::shared_ptr<Services> services);

  std::shared_ptr<Services> services;
  WorkFolder workFolder;
  CBackupEvents* events = nullptr;

  BackupModeEnum m_BackupMode = bmCompressedTextFile;
  std::string m_RestoreRole;
  bool m_ReplaceProtectedWithPlain = false;
  TableChoice m_Tables;
  std::optional<std::int32_t> m_CompressionLevel;  // none: the backup mode's own
  std::int32_t m_Jobs = 0;                           // tables at once; 0: one per core
  bool m_Cancel = false;
  // The caption of the running native server backup or restore, for SetSQLBackupProgress.
  std::string m_NativeCaption;
  // How the last Save or Restore ended; a refusal while one runs.
  OperationOutcome m_Outcome;

  Operation MakeOperation() {
    return Operation(services->Utilities(), events, m_Cancel, workFolder, services->Drive(), m_NativeCaption,
                     m_Outcome);
  }
  // Runs a Save or a Restore and records how it ended: True is done; False is the refusal a step gave,
  // else a cancel when the operation was stopped, else `otherwise`; an Error is a failure.
  template <class Run>
  bool Recorded(Outcome otherwise, Run run) {
    m_Outcome = {};
    try {
      const bool result = run();
      if (result)
        m_Outcome = {Outcome::kDone};
      else if (m_Outcome.kind == Outcome::kNone)
        m_Outcome = {m_Cancel ? Outcome::kCancelled : otherwise};
      return result;
    } catch (...) {
      m_Outcome = {Outcome::kFailed};
      throw;
    }
  }
};

}  // namespace vela
