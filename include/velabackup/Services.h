// What a CBackup object asks of the machine it runs on: the utilities, the drive archives go to, the work
// folder and the writes of files.
//
// Services is the one seam between an operation and the platform. SystemServices() gives the real ones; a
// test hands CBackup another object, usually one that forwards every call to the real services and
// overrides the one it needs to change (a full removable disk, the nth write failing). The object is asked
// while an operation runs and must outlive the CBackup object it was given to.
#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "velabackup/Utils.h"

namespace vela {

namespace zip {
class Drive;
}

// The writes of the files an operation makes: the backup file, its table data files and document, the
// files a restore unpacks, the database the engine builds, and the renames that put them in place.
class FileWrites {
 public:
  virtual ~FileWrites() = default;
  // Asked before each write, sync and rename; an error fails that one as the disk would have (the data is
  // not written). A save also asks it from the thread that writes its backup file while the caller's
  // thread reads the tables, so it must be safe to call from two threads at once.
  virtual std::error_code BeforeWrite() = 0;
};

class Services {
 public:
  virtual ~Services() = default;

  virtual const Utils& Utilities() const = 0;
  // The medium archives are written to and read from.
  virtual const zip::Drive& Drive() const = 0;
  // Makes a new folder, private to this user (mode 0700), for an operation's working files, and returns
  // its path. The object removes it when it is done with it.
  virtual std::string MakeWorkFolder() const = 0;
  // What each write of the operation goes through; nullptr: the writes go straight to the files.
  virtual FileWrites* Writes() const = 0;
};

// The services of this machine; `utils` replaces the utilities (a host that keeps its own log sink).
std::shared_ptr<Services> SystemServices(std::shared_ptr<Utils> utils = nullptr);

}  // namespace vela
