#include "platform/utils/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velabackup/Error.h"

namespace vela::utils {

FolderLock::FolderLock(const std::string& folder)
    : folder_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (folder_.Get() < 0)
    throw Error(kPathAccess, kSourceUtils,
                "Could not open the folder " + folder + ": " + std::strerror(errno));
  while (::flock(folder_.Get(), LOCK_EX) != 0)
    if (errno != EINTR)
      throw Error(kPathAccess, kSourceUtils,
                  "Could not lock the folder " + folder + ": " + std::strerror(errno));
}

UseMark::UseMark(std::string path) : path_(std::move(path)) {
  // The lock file is made and locked under another name and then given its own, so that nobody ever
  // sees it there unheld.
  const std::string lockFile = path_ + kSuffix, making = lockFile + "-new";
  auto fail = [&](const char* what) {
    const int error = errno;
    ::unlink(making.c_str());
    path_.clear();
    throw Error(kPathAccess, kSourceUtils, std::string(what) + " " + lockFile + ": " + std::strerror(error));
  };
  lock_ = FileDescriptor::CreateNew(making.c_str());
  if (!lock_.IsOpen()) fail("Could not make the lock file");
  while (::flock(lock_.Get(), LOCK_EX | LOCK_NB) != 0)
    if (errno != EINTR) fail("Could not lock");
  if (::rename(making.c_str(), lockFile.c_str()) != 0) fail("Could not make the lock file");
}

UseMark& UseMark::operator=(UseMark&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::exchange(other.path_, {});
    lock_ = std::move(other.lock_);
  }
  return *this;
}

void UseMark::Release() noexcept {
  if (!path_.empty()) ::unlink((path_ + kSuffix).c_str());
  path_.clear();
  lock_ = FileDescriptor();
}

bool UseMark::TakeOverAbandoned(const std::string& lockFile, FileDescriptor& held) {
  held = FileDescriptor(::open(lockFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!held.IsOpen()) return false;
  int rc;
  while ((rc = ::flock(held.Get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    held = FileDescriptor();
    return false;
  }
  return true;
}

}  // namespace vela::utils
