// The public face of the component: CBackup hands each call to the subsystem that serves it, with the
// object's state as the operation's context.
#include "velabackup/CBackup.h"

#include "backup/Save.h"
#include "component/Messages.h"
#include "component/Operation.h"
#include "platform/zip/ZipControl.h"
#include "restore/Restore.h"

namespace vela {

CBackup::CBackup(std::shared_ptr<Utils> utils) : CBackup(SystemServices(std::move(utils))) {}
CBackup::CBackup(std::shared_ptr<Services> services)
    : state_(std::make_unique<ObjectState>(std::move(services))) {}
CBackup::~CBackup() = default;

std::shared_ptr<LanguageResources> CBackup::GetLanguageResources() const {
  return GetLanguageResourcesHolder();
}
void CBackup::SetLanguageResources(std::shared_ptr<LanguageResources> resources) {
  SetLanguageResourcesHolder(std::move(resources));
}

BackupModeEnum CBackup::BackupMode() const {
  return state_->m_BackupMode;
}
void CBackup::SetBackupMode(BackupModeEnum value) {
  state_->m_BackupMode = value;
}
void CBackup::Cancel() {
  state_->m_Cancel = true;
}

bool CBackup::Save(data::Connection& connection, const std::string& destinationFilePath,
                   const TableList& doNotSaveDataTables) {
  OperationWrites writes(*state_->services);
  Operation operation = state_->MakeOperation();
  return state_->Recorded(Outcome::kNothingToDo, [&] {
    Saver saver(operation, state_->m_BackupMode);
    saver.SetArchivePassword(archivePassword_);
    saver.m_Tables = state_->m_Tables;
    saver.m_CompressionLevel = state_->m_CompressionLevel;
    saver.m_Jobs = JobCount(state_->m_Jobs);
    return saver.Save(connection, destinationFilePath, doNotSaveDataTables);
  });
}

void CBackup::SetSQLBackupProgress(std::int16_t value) {
  state_->MakeOperation().RaiseNativeProgress(value);
}

bool CBackup::Restore(const std::string& connectionString, const std::string& sourceFilePath,
                      bool intelligentTableStructure, const std::string& msAccessIgnoreRelations,
                      const std::string& msAccessDBPassword) {
  OperationWrites writes(*state_->services);
  Operation operation = state_->MakeOperation();
  return state_->Recorded(Outcome::kFailed, [&] {
    Restorer restorer(operation, state_->m_BackupMode, state_->m_RestoreRole);
    restorer.m_ReplaceProtectedWithPlain = state_->m_ReplaceProtectedWithPlain;
    restorer.m_ReplaceChosenTablesOnly = state_->m_Tables.ChoosesTables();
    restorer.SetArchivePassword(archivePassword_);
    restorer.m_Tables = state_->m_Tables;
    restorer.m_Jobs = JobCount(state_->m_Jobs);
    return restorer.Restore(connectionString, sourceFilePath, intelligentTableStructure,
                            msAccessIgnoreRelations, msAccessDBPassword);
  });
}

const std::string& CBackup::RestoreRole() const {
  return state_->m_RestoreRole;
}
void CBackup::SetRestoreRole(std::string role) {
  state_->m_RestoreRole = std::move(role);
}

bool CBackup::ReplaceProtectedWithPlain() const {
  return state_->m_ReplaceProtectedWithPlain;
}
void CBackup::SetReplaceProtectedWithPlain(bool allow) {
  state_->m_ReplaceProtectedWithPlain = allow;
}

const TableChoice& CBackup::Tables() const {
  return state_->m_Tables;
}
void CBackup::SetTables(TableChoice choice) {
  state_->m_Tables = std::move(choice);
}

std::int32_t CBackup::CompressionLevel() const {
  return state_->m_CompressionLevel.value_or(kModeCompressionLevel);
}
void CBackup::SetCompressionLevel(std::int32_t level) {
  if (level == kModeCompressionLevel)
    state_->m_CompressionLevel.reset();
  else if (level >= 0 && level <= zip::kMaxCompressionLevel)
    state_->m_CompressionLevel = level;
  else
    throw Error(kInvalidArgument, kSourceComponent,
                "CompressionLevel " + std::to_string(level) + " is not between 0 and " +
                    std::to_string(zip::kMaxCompressionLevel));
}

std::int32_t CBackup::Jobs() const {
  return state_->m_Jobs;
}
void CBackup::SetJobs(std::int32_t jobs) {
  if (jobs < 0)
    throw Error(kInvalidArgument, kSourceComponent, "Jobs " + std::to_string(jobs) + " is below 0");
  state_->m_Jobs = jobs;
}

OperationOutcome CBackup::LastOutcome() const {
  return state_->m_Outcome;
}

void CBackup::SetEvents(CBackupEvents* events) {
  state_->events = events;
}

}  // namespace vela
