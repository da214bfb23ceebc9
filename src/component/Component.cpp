#include "component/Component.h"

#include "component/Messages.h"
#include "velabackup/CBackup.h"

namespace vela {

std::int64_t RoundHalfEven(std::int64_t numerator, std::int64_t denominator) {
  std::int64_t quotient = numerator / denominator, remainder = numerator % denominator;
  if (remainder < 0) {
    remainder += denominator;
    --quotient;
  }
  if (2 * remainder > denominator || (2 * remainder == denominator && quotient % 2 != 0)) ++quotient;
  return quotient;
}

Component::Component(std::shared_ptr<Utils> utils)
    : utils_(utils ? std::move(utils) : std::make_shared<Utils>()), drive_(&zip::DefaultDrive()) {}

Component::~Component() {
  if (workFolder_.empty()) return;
  try {
    utils_->RemoveFolder(workFolder_, true);
  } catch (...) {
    // A destructor has no one to report to; the folder lies in the temporary folder.
  }
}

std::string Component::GetWorkFolder() {
  if (workFolder_.empty()) workFolder_ = utils_->JoinPath(utils_->TempFolder(), utils_->UniqueName(false));
  if (!utils_->FolderExists(workFolder_)) utils_->CreateFolder(workFolder_);
  return workFolder_;
}

void Component::RaiseUpdateProgress(std::int32_t value, const std::string& caption) {
  if (events) events->UpdateProgress(value, caption);
}

void Component::RaiseShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& guid,
                                 std::int32_t& result) {
  if (events) events->ShowMessage(prompt, buttons, guid, result);
}

void Component::RaiseDatabaseCorruptionFound() {
  if (events) events->DatabaseCorruptionFound();
}

void Component::RaiseRequestAdditionalFiles(std::optional<std::vector<std::string>>& files,
                                            const std::string& tempPath, const TableList& doNotSave) {
  if (events) events->RequestAdditionalFiles(files, tempPath, doNotSave);
}

void Component::RaiseRestoreAdditionalFiles(const std::string& sourcePath,
                                            const std::string& previousTempPath,
                                            const std::string& connectionString) {
  if (events) events->RestoreAdditionalFiles(sourcePath, previousTempPath, connectionString);
}

void Component::RaiseSelectFolder(const std::string& caption, std::string& folder) {
  if (events) events->SelectFolder(caption, folder);
}

// The public face.

CBackup::CBackup(std::shared_ptr<Utils> utils) : component_(std::make_unique<Component>(std::move(utils))) {}
CBackup::~CBackup() = default;

std::shared_ptr<LanguageResources> CBackup::GetLanguageResources() const {
  return GetLanguageResourcesHolder();
}
void CBackup::SetLanguageResources(std::shared_ptr<LanguageResources> resources) {
  SetLanguageResourcesHolder(std::move(resources));
}

BackupModeEnum CBackup::BackupMode() const {
  return component_->m_BackupMode;
}
void CBackup::SetBackupMode(BackupModeEnum value) {
  component_->m_BackupMode = value;
}
void CBackup::Cancel() {
  component_->m_Cancel = true;
}

void CBackup::SetSQLBackupProgress(std::int16_t value) {
  component_->RaiseUpdateProgress(static_cast<std::int32_t>(value), component_->m_NativeCaption);
}

void CBackup::SetEvents(CBackupEvents* events) {
  component_->events = events;
}

}  // namespace vela
