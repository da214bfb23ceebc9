// Locks on files and folders that tell processes apart.
//
// FolderLock: an exclusive lock on a folder for as long as the object lives, so that two processes passing
// files through the same fixed names in it take turns (flock on the folder itself: nothing is added to it).
//
// UseMark: marks a file or folder an operation makes as its own while it runs: the lock file "<path>.lock"
// beside it, held with an flock by the operation. A crash lets the lock go and leaves the lock file, so
// that a later operation tells what a maker that is gone left behind (the lock file is there and nobody
// holds it) from what a running one is using (held) and from what it never marked (no lock file). The
// flock is the process's own, independent of the engine's record locks on a database file.
#pragma once

#include <string>
#include <utility>

#include "platform/utils/FileDescriptor.h"

namespace vela::utils {

class FolderLock {
 public:
  // Waits until the folder is free; a folder that cannot be opened fails with kPathAccess.
  explicit FolderLock(const std::string& folder);

 private:
  FileDescriptor folder_;  // closing it lets the lock go
};

class UseMark {
 public:
  UseMark() = default;
  // Marks `path` (which need not exist yet); a lock file that cannot be made fails with kPathAccess.
  explicit UseMark(std::string path);
  UseMark(UseMark&& other) noexcept : path_(std::exchange(other.path_, {})), lock_(std::move(other.lock_)) {}
  UseMark& operator=(UseMark&& other) noexcept;
  ~UseMark() { Release(); }

  // Removes the lock file and lets the lock go; what was marked stays as it is.
  void Release() noexcept;

  static constexpr const char* kSuffix = ".lock";
  // When `lockFile` is a mark that nobody holds, takes it over, so that no one else acts on it, and returns
  // true: what it marked may go, then the lock file (by the caller). False when it is held or no mark.
  static bool TakeOverAbandoned(const std::string& lockFile, FileDescriptor& held);

 private:
  std::string path_;
  FileDescriptor lock_;
};

}  // namespace vela::utils
