// The database-management component of a server engine: native backups and restores of one database,
// made by the engine's own tools on the local server. It is created by its programmatic name, lives for
// one native operation (created, connected, used once, disconnected) and reports progress to the caller's
// progress target while it works.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vela::data {

// Where a native backup or restore reports how far it is, 0 to 100.
class NativeProgress {
 public:
  virtual ~NativeProgress() = default;
  virtual void SetSQLBackupProgress(std::int16_t value) = 0;
  // True once the caller wants the operation to stop: the running tool is ended and the call returns.
  virtual bool NativeStopRequested() const { return false; }
};

class DatabaseManagement {
 public:
  virtual ~DatabaseManagement() = default;

  // The server instance (a connection string's "Data Source"), the login and its password.
  std::string InstanceName;
  std::string UserName;
  std::string Password;
  // The role a restore's statements run as (the tool's SET ROLE), and the restored database's owner; empty:
  // the login's own.
  std::string Role;

  // Opens the connection to the instance; a failure raises.
  virtual void Connect() = 0;
  // Once connected: why the engine's tool for a backup (or, `restore`, for a restore) on this computer cannot
  // serve the instance (none installed, or older than it), for the user; empty when it can. The tools reach
  // a server at any address.
  virtual std::string ToolsMissing(bool /*restore*/) { return {}; }
  // A folder on this computer, private to the user, where native backups are written and read.
  virtual std::string MasterDBPath() = 0;
  // Writes a native backup of the database into the file; returns when done (or stopped).
  virtual void BackupDatabase(std::string& database, std::string& file, NativeProgress& progress) = 0;
  // Makes the database from the native backup file; returns when done (or stopped).
  virtual void RestoreDatabase(std::string& database, std::string& file, NativeProgress& progress) = 0;
  virtual void Disconnect() = 0;
};

// The management component a provider offers under `progId`; nullptr when none does.
std::unique_ptr<DatabaseManagement> CreateManagementObject(std::string_view progId);

}  // namespace vela::data
