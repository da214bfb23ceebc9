#include "platform/utils/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>

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

}  // namespace vela::utils
