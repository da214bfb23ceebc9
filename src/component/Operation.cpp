#include "component/Operation.h"

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

WorkFolder::~WorkFolder() {
  try {
    Remove();
  } catch (...) {
    // A destructor has no one to report to; the folder lies in the temporary folder.
  }
}

std::string WorkFolder::Get() {
  if (path_.empty()) path_ = utils_.JoinPath(utils_.TempFolder(), utils_.UniqueName(false));
  if (!utils_.FolderExists(path_)) utils_.CreateFolder(path_);
  return path_;
}

void WorkFolder::Remove() const {
  if (!path_.empty()) utils_.RemoveFolder(path_, true);
}

void Operation::RaiseUpdateProgress(std::int32_t value, const std::string& caption) {
  if (events_) events_->UpdateProgress(value, caption);
}

void Operation::RaiseShowMessage(const std::string& prompt, std::int32_t buttons, const std::string& guid,
                                 std::int32_t& result) {
  if (events_) events_->ShowMessage(prompt, buttons, guid, result);
}

void Operation::RaiseDatabaseCorruptionFound() {
  if (events_) events_->DatabaseCorruptionFound();
}

void Operation::RaiseRequestAdditionalFiles(std::optional<std::vector<std::string>>& files,
                                            const std::string& tempPath, const TableList& doNotSave) {
  if (events_) events_->RequestAdditionalFiles(files, tempPath, doNotSave);
}

void Operation::RaiseRestoreAdditionalFiles(const std::string& sourcePath,
                                            const std::string& previousTempPath,
                                            const std::string& connectionString) {
  if (events_) events_->RestoreAdditionalFiles(sourcePath, previousTempPath, connectionString);
}

void Operation::RaiseSelectFolder(const std::string& caption, std::string& folder) {
  if (events_) events_->SelectFolder(caption, folder);
}

ObjectState::ObjectState(std::shared_ptr<Utils> services)
    : utils(services ? std::move(services) : std::make_shared<Utils>()),
      workFolder(*utils),
      drive(&zip::DefaultDrive()) {}

}  // namespace vela
