// Native server backups: the server's own backup of a database, made and restored by the engine's
// database-management component, with the file passed between the component's folder and ours.
#include "archive/Archive.h"

#include <memory>
#include <optional>

#include "component/ConnectionStrings.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/DatabaseManagement.h"
#include "platform/utils/FolderLock.h"
#include "velabackup/MessageGuids.h"

namespace vela {
namespace {

constexpr const char* kManagementProgId = "Velacorp.Data.Management.SQL.11";
constexpr const char* kServerBackupName = "TempBackup.bak";
constexpr const char* kServerRestoreName = "TempRestore.bak";

// The component's reports become UpdateProgress with the native caption; a cancel from the host stops
// the running tool.
class ProgressTarget final : public data::NativeProgress {
 public:
  explicit ProgressTarget(Operation& operation) : operation_(operation) {}
  void SetSQLBackupProgress(std::int16_t value) override { operation_.RaiseNativeProgress(value); }
  bool NativeStopRequested() const override { return operation_.Cancelled(); }

 private:
  Operation& operation_;
};

std::unique_ptr<data::DatabaseManagement> Connected(const ConnectionParts& parts) {
  std::unique_ptr<data::DatabaseManagement> management = data::CreateManagementObject(kManagementProgId);
  if (!management) return nullptr;
  management->InstanceName = parts.dataSource;
  management->UserName = parts.user;
  management->Password = parts.password;
  management->Role = parts.role;
  return management;
}

// What a native backup and a native restore open first: the engine's management component, connected, with
// the native caption shown, and the folder it passes files through, locked for this operation.
struct NativeSession {
  std::unique_ptr<data::DatabaseManagement> management;
  std::string folder;
  std::unique_ptr<utils::FolderLock> lock;  // one native backup or restore at a time uses the fixed names
};

// Empty when no management component serves the engine.
std::optional<NativeSession> OpenNativeSession(Operation& operation, const ConnectionParts& parts,
                                               const std::string& caption, Procedure& at) {
  NativeSession session;
  at();
  session.management = Connected(parts);
  if (!session.management) return std::nullopt;
  at();
  operation.SetNativeCaption(caption);
  operation.RaiseUpdateProgress(0, caption);
  at();
  session.management->Connect();
  at();
  session.folder = session.management->MasterDBPath();
  session.lock = std::make_unique<utils::FolderLock>(session.folder);
  return session;
}

}  // namespace

bool Archive::SaveSQLDatabaseToFile(const std::string& connectionString, const std::string& destinationPath) {
  return Trapped("SaveSQLDatabaseToFile", [&](Procedure& at) {
    const Utils& utils = operation_.utils();
    at();
    ConnectionParts parts = GetConnectionParts(utils, connectionString);
    std::optional<NativeSession> session = OpenNativeSession(operation_, parts, GetMessageText(36), at);
    if (!session) return false;
    // The tools run on this computer whatever the server's address: they write into our folder.
    std::string serverFile = utils.JoinPath(session->folder, kServerBackupName);
    std::string database = parts.initialCatalog;
    ProgressTarget progress(operation_);
    at();
    session->management->BackupDatabase(database, serverFile, progress);
    at();
    session->management->Disconnect();
    session->management.reset();
    // A stopped backup wrote half a file at most: there is nothing to copy.
    if (operation_.Cancelled()) return false;
    at();
    return utils.CopyFile(serverFile, destinationPath);
  });
}

std::string Archive::NativeToolsMissing(const std::string& connectionString, bool restore) {
  return Trapped("NativeToolsMissing", [&](Procedure& at) {
    at();
    std::unique_ptr<data::DatabaseManagement> management =
        Connected(GetConnectionParts(operation_.utils(), connectionString));
    if (!management) return std::string("no database-management component serves the server's engine");
    at();
    management->Connect();
    at();
    std::string missing = management->ToolsMissing(restore);
    management->Disconnect();
    return missing;
  });
}

bool Archive::RestoreSQLBackupFromFile(const std::string& connectionString, const std::string& sourcePath) {
  return Trapped("RestoreSQLBackupFromFile", [&](Procedure& at) {
    const Utils& utils = operation_.utils();
    at();
    ConnectionParts parts = GetConnectionParts(utils, connectionString);
    at();
    if (std::string missing = NativeToolsMissing(connectionString, true); !missing.empty()) {
      std::int32_t answer = kAnswerOk;
      at();
      operation_.RaiseShowMessage(GetMessageText(69, missing), 64, kServerRestoreGuid, answer);
      operation_.Refuse(OutcomeReason::kServerNotLocal);
      return false;
    }
    std::optional<NativeSession> session = OpenNativeSession(operation_, parts, GetMessageText(37), at);
    if (!session) return false;
    std::string serverFile = utils.JoinPath(session->folder, kServerRestoreName);
    // The copy of the backup goes whatever happens to the restore, a failed one included.
    struct Remover {
      const Utils& utils;
      const std::string& file;
      ~Remover() {
        try {
          utils.DeleteFile(file);
        } catch (...) {
        }
      }
    };
    bool result = false;
    at();
    if (utils.CopyFile(sourcePath, serverFile)) {
      Remover remover{utils, serverFile};
      std::string database = parts.initialCatalog;
      ProgressTarget progress(operation_);
      at();
      session->management->RestoreDatabase(database, serverFile, progress);
      result = true;
    }
    at();
    session->management->Disconnect();
    return result;
  });
}

}  // namespace vela
