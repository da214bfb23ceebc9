#include "component/Operation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "velabackup/Error.h"

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

namespace {

// Whether a path is a folder (not a link to one) of this user that nobody else may enter.
bool IsPrivateFolder(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & 0077) == 0;
}

}  // namespace

std::string WorkFolder::Get() {
  if (!path_.empty() && IsPrivateFolder(path_)) return path_;
  // A folder nobody else can have made or entered: mkdtemp makes it new, with mode 0700. It is checked
  // again after it is made (a folder of another owner, a link or wider rights are refused), and a folder
  // once removed is never made again under the same path.
  std::string pattern = utils_.JoinPath(utils_.TempFolder(), utils_.UniqueName(false) + "XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr)
    throw Error(kPathAccess, kSourceComponent,
                "Cannot create a work folder in " + utils_.TempFolder() + ": " + std::strerror(errno));
  if (!IsPrivateFolder(pattern))
    throw Error(kPathAccess, kSourceComponent,
                "The work folder " + pattern + " is not a private folder of this user");
  path_ = std::move(pattern);
  return path_;
}

void WorkFolder::Remove() {
  if (path_.empty()) return;
  // What stands at the path now may be another's (a link put where the folder was): only our own folder
  // is emptied.
  if (IsPrivateFolder(path_)) utils_.RemoveFolder(path_, true);
  path_.clear();
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
