// CBackup: backs the database of an open connection up into one backup file (Save) and rebuilds a
// database from such a file (Restore).
//
// The host creates the object, hands it the message catalogue (LanguageResources; every operation needs
// it for its texts), chooses a BackupMode and calls Save or Restore. While an operation runs, the object
// talks back only through the events of the sink set with SetEvents; the host may call Cancel from inside
// any event. An operation runs to its end on the caller's thread. Failures reach the host as vela::Error,
// whose description carries one " (VelaBackup.CBackup.<procedure> component failure at line:<n>)" suffix
// per procedure it passed through; False is returned only on orderly paths (cancel, refusal, nothing to
// do), which LastOutcome tells apart.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "velabackup/CBackupEvents.h"
#include "velabackup/Enums.h"
#include "velabackup/Error.h"
#include "velabackup/LanguageResources.h"
#include "velabackup/Outcome.h"
#include "velabackup/Services.h"
#include "velabackup/TableChoice.h"
#include "velabackup/Utils.h"
#include "velabackup/data/Value.h"

namespace vela {

namespace data {
class Connection;
}

struct ObjectState;

class CBackup {
 public:
  // `utils` replaces the utilities of this machine (a host with its own log sink); the rest of the
  // services stay the system's.
  explicit CBackup(std::shared_ptr<Utils> utils = nullptr);
  // Everything the object asks of the machine comes from `services` (tests hand in doubles).
  explicit CBackup(std::shared_ptr<Services> services);
  // Removes the work folder.
  ~CBackup();
  CBackup(const CBackup&) = delete;
  CBackup& operator=(const CBackup&) = delete;

  // The members of the automation interface, in its order.

  // 1, 2: the message catalogue, shared by every CBackup object of the calling thread.
  std::shared_ptr<LanguageResources> GetLanguageResources() const;
  void SetLanguageResources(std::shared_ptr<LanguageResources> resources);
  // 3, 4, 5: the backup mode; any value is stored as given.
  BackupModeEnum BackupMode() const;
  void SetBackupMode(BackupModeEnum value);
  // 6: asks the running operation to stop; returns at once.
  void Cancel();
  // 7: backs the database of the open connection up into DestinationFilePath. True when the backup file
  // was written; False when cancelled, refused or there was nothing to write. The rows of the tables named
  // in DoNotSaveDataTables (an array of strings) are not saved; their structure is.
  bool Save(data::Connection& connection, const std::string& destinationFilePath,
            const TableList& doNotSaveDataTables = {});
  // 8: raises UpdateProgress with `value` and the caption of the running native operation.
  void SetSQLBackupProgress(std::int16_t value);
  // 9: restores the backup file SourceFilePath into the database named by ConnectionString (a new
  // database is made; an existing one is replaced). True when the restore ran to its end.
  // IntelligentTableStructure keeps the stored names of primary keys and foreign keys;
  // MSAccessIgnoreRelations lists relations to leave out of a file database ("table.column;...");
  // MSAccessDBPassword protects a new file database.
  bool Restore(const std::string& connectionString, const std::string& sourceFilePath,
               bool intelligentTableStructure = false, const std::string& msAccessIgnoreRelations = {},
               const std::string& msAccessDBPassword = {});
  // The role every statement of a server restore runs as, so that the code a backup carries (functions
  // called by views, triggers, indexes over expressions) has that role's rights and not the login's: the
  // login makes the new database and hands it to the role, which makes everything in it. The login must be
  // allowed to become the role (a member of it, or a superuser); Restore checks that before it makes
  // anything. Empty (the default): the login's own rights. A restore into a file database under a role
  // fails with kInvalidArgument.
  const std::string& RestoreRole() const;
  void SetRestoreRole(std::string role);
  // Whether a restore may replace a file database protected with a password by a plain file (no password
  // given for the new one). False: such a restore is refused before it begins, naming the file.
  bool ReplaceProtectedWithPlain() const;
  void SetReplaceProtectedWithPlain(bool allow);
  // The tables Save backs up and Restore brings back, and whether their rows go with them. Default: every
  // table, with its rows. A restore that chooses tables by name into an existing database replaces only
  // those tables and keeps the target's others.
  const TableChoice& Tables() const;
  void SetTables(TableChoice choice);
  // The compression level of the backup file's members: 0 stores them, 1 (fastest) to 12 (smallest)
  // deflates them at that libdeflate level. kModeCompressionLevel (the default): the backup mode's own
  // choice, stored for the uncompressed mode and for a server's own compressed backup, else deflated at
  // a level that keeps a large save quick. Any other value fails with kInvalidArgument.
  static constexpr std::int32_t kModeCompressionLevel = -1;
  std::int32_t CompressionLevel() const;
  void SetCompressionLevel(std::int32_t level);
  // How many tables a Save or Restore works on at once, each job on a connection of its own. 0 (the
  // default): one job per core of this machine. Events come on the calling thread and in the same order
  // whatever the number; a save reads every table in one snapshot of the database, and one whose engine
  // cannot share its snapshot with another connection runs as one job. A restore works on several tables
  // at once only when it builds a new server database; into a file database, and in place on a server, it
  // runs as one job. A negative value fails with kInvalidArgument.
  std::int32_t Jobs() const;
  void SetJobs(std::int32_t jobs);
  // How the last Save or Restore ended, and why when it returned False: done, cancelled, refused (with the
  // reason), nothing to do, or failed (it raised an Error). kNone before the first.
  OperationOutcome LastOutcome() const;

  // Where events go; the sink must outlive the operations. nullptr: no events are handled.
  void SetEvents(CBackupEvents* events);

  // The password of the backup file: Save encrypts every member with it (AES-256, WinZip AE-2); Restore
  // reads an encrypted backup with it. Empty (the default): Save encrypts a text backup of a protected
  // file database with the database's password and leaves every other backup in clear; Restore tries the
  // password given for the new file database. A missing or wrong one fails with kArchivePassword.
  const std::string& ArchivePassword() const { return archivePassword_; }
  void SetArchivePassword(std::string password) { archivePassword_ = std::move(password); }

 private:
  std::unique_ptr<ObjectState> state_;
  std::string archivePassword_;
};

}  // namespace vela
