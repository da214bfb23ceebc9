#include "component/Operation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/data/EngineWrites.h"
#include "platform/utils/FileDescriptor.h"
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

// A folder nobody else can have made or entered: mkdtemp makes it new, with mode 0700, and a folder once
// removed is never made again under the same path.
std::string MakePrivateFolder(const Utils& utils) {
  std::string pattern = utils.JoinPath(utils.TempFolder(), utils.UniqueName(false) + "XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr)
    throw Error(kPathAccess, kSourceComponent,
                "Cannot create a work folder in " + utils.TempFolder() + ": " + std::strerror(errno));
  return pattern;
}

// The services of this machine: the utilities given (or the platform's own), the system's drives, a work
// folder in the temporary folder, writes straight to the files.
class SystemServicesImpl final : public Services {
 public:
  explicit SystemServicesImpl(std::shared_ptr<Utils> utils)
      : utils_(utils ? std::move(utils) : std::make_shared<Utils>()) {}
  const Utils& Utilities() const override { return *utils_; }
  const zip::Drive& Drive() const override { return zip::DefaultDrive(); }
  FileWrites* Writes() const override { return nullptr; }

  std::string MakeWorkFolder() const override { return MakePrivateFolder(*utils_); }

 private:
  std::shared_ptr<Utils> utils_;
};

}  // namespace

std::shared_ptr<Services> SystemServices(std::shared_ptr<Utils> utils) {
  return std::make_shared<SystemServicesImpl>(std::move(utils));
}

std::string WorkFolder::Get() {
  if (!path_.empty() && IsPrivateFolder(path_)) return path_;
  // Checked again after it is made: a folder of another owner, a link or wider rights are refused.
  std::string path = services_ ? services_->MakeWorkFolder() : MakePrivateFolder(utils_);
  if (!IsPrivateFolder(path))
    throw Error(kPathAccess, kSourceComponent,
                "The work folder " + path + " is not a private folder of this user");
  path_ = std::move(path);
  mark_ = utils::UseMark(path_);
  return path_;
}

std::vector<std::string> WorkFolder::RemoveLeftovers(const Utils& utils) {
  namespace fs = std::filesystem;
  const std::string suffix = utils::UseMark::kSuffix;
  std::vector<fs::path> marks;
  std::error_code ec;
  for (fs::directory_iterator it(utils.TempFolder(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // The lock file beside a folder named as MakePrivateFolder names them: "{GUID}" and six characters.
    if (name.size() > suffix.size() && name.front() == '{' && name.find('}') != std::string::npos &&
        name.ends_with(suffix))
      marks.push_back(it->path());
  }
  std::vector<std::string> removed;
  for (const fs::path& mark : marks) {
    // Only this user's marks, of this user's folders: the temporary folder is everybody's.
    struct stat info {};
    if (::lstat(mark.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) continue;
    utils::FileDescriptor held;
    if (!utils::UseMark::TakeOverAbandoned(mark.string(), held)) continue;
    const std::string folder = mark.string().substr(0, mark.string().size() - suffix.size());
    if (IsPrivateFolder(folder)) {
      try {
        utils.RemoveFolder(folder, true);
      } catch (const Error&) {
        continue;  // what cannot be removed keeps its mark for the next time
      }
      removed.push_back(folder);
    } else if (fs::exists(fs::symlink_status(folder, ec))) {
      continue;  // not the private folder the mark was made for
    }
    fs::remove(mark, ec);
  }
  return removed;
}

struct OperationWrites::Scopes {
  explicit Scopes(FileWrites* writes) : files(writes) {}
  utils::WritesScope files;
  data::EngineWrites engine;
};

// Without a FileWrites the engine keeps its own file system: nothing is installed.
OperationWrites::OperationWrites(const Services& services) {
  if (FileWrites* writes = services.Writes()) scopes_ = std::make_unique<Scopes>(writes);
}
OperationWrites::~OperationWrites() = default;

void WorkFolder::Remove() {
  if (path_.empty()) return;
  // What stands at the path now may be another's (a link put where the folder was): only our own folder
  // is emptied.
  if (IsPrivateFolder(path_)) utils_.RemoveFolder(path_, true);
  path_.clear();
  mark_.Release();
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

std::size_t JobCount(std::int32_t jobs) {
  if (jobs > 0) return static_cast<std::size_t>(jobs);
  return std::max(1U, std::thread::hardware_concurrency());
}

ObjectState::ObjectState(std::shared_ptr<Services> services)
    : services(services ? std::move(services) : SystemServices()), workFolder(*this->services) {}

}  // namespace vela
