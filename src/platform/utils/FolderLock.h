// An exclusive lock on a folder for as long as the object lives, so that two processes passing files
// through the same fixed names in it take turns (flock on the folder itself: nothing is added to it).
#pragma once

#include <string>

#include "platform/utils/FileDescriptor.h"

namespace vela::utils {

class FolderLock {
 public:
  // Waits until the folder is free; a folder that cannot be opened fails with kPathAccess.
  explicit FolderLock(const std::string& folder);

 private:
  FileDescriptor folder_;  // closing it lets the lock go
};

}  // namespace vela::utils
