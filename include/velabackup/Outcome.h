// How the last Save or Restore of a CBackup object ended (CBackup::LastOutcome): what a host tells its
// user, above all when the operation returned False, without reading the messages it heard.
#pragma once

#include <cstdint>

namespace vela {

enum class Outcome : std::int32_t {
  kNone,         // no Save or Restore has ended yet
  kDone,         // it returned True; a Restore that replaced its target does so even when cancelled from
                 // the events that follow the replacement (RestoreAdditionalFiles, the final progress)
  kCancelled,    // stopped before its end: by CBackup::Cancel, a question answered Cancel, a server backup
                 // that failed or a foreign key the target refused; nothing it would have made was kept
  kRefused,      // it did not do what it was asked, for the reason given with it; the backup file or the
                 // target database was left as it was
  kNothingToDo,  // a save of a database that holds no tables: no backup file was written
  kFailed,       // it raised a vela::Error, or the engine could not put a direct copy in place (the
                 // server's own restore cannot be reached, or the copy cannot be handed to it)
};

// Why an operation was refused.
enum class OutcomeReason : std::int32_t {
  kNone,
  kServerNotLocal,       // a direct copy needs the server's own tools on this computer, of its version or
                         // later (they reach a server at any address); a save without them asks first
                         // whether to make a compressed backup instead, and is refused when the answer is
                         // not Yes
  kNotBackupFile,        // the file is no zip archive, or one without members
  kOlderLayout,          // a backup of an older layout, not unpacked (declined, or no folder was chosen)
  kOlderLayoutUnpacked,  // a backup of an older layout, unpacked into a folder for the user instead
  kOtherEngine,          // a direct copy of another kind of database
  kTargetDatabase,       // the server refused to create, replace or remove a database
  kUnreadableDocument,   // the backup document is missing or no XML
};

struct OperationOutcome {
  Outcome kind = Outcome::kNone;
  OutcomeReason reason = OutcomeReason::kNone;  // kNone unless kind is kRefused

  bool operator==(const OperationOutcome&) const = default;
};

}  // namespace vela
