// The target database: removed and made anew before a text backup is rebuilt, removed after a cancel.
#include "component/Component.h"
#include "component/Messages.h"
#include "component/SqlText.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

constexpr std::int32_t kServerGone = static_cast<std::int32_t>(0x80040064u);
constexpr const char* kDatabaseNoticeGuid = "{7A29569B-FE02-40CC-8553-E0A147D6B861}";

// A connection to the server's master database: the connection string with "Initial Catalog=<name>"
// replaced wherever it stands. A connection string that names no database cannot be served.
std::unique_ptr<Connection> OpenMaster(const std::string& connectionString, const std::string& name) {
  if (name.empty())
    throw Error(kGeneralFailure, "VelaBackup", "The connection string names no database (Initial Catalog)");
  return OpenConnection(
      text::ReplaceAll(connectionString, "Initial Catalog=" + name, "Initial Catalog=Master"));
}

}  // namespace

bool Component::CreateDatabase(const std::string& connectionString, const std::string& msAccessDBPassword) {
  RaiseUpdateProgress(0, GetMessageText(10));
  if (!DropDatabase(connectionString)) return false;
  if (m_Provider == dpSQLServer) {
    std::string name = utils().KeyValue(connectionString, "Initial Catalog", ";");
    try {
      std::unique_ptr<Connection> master = OpenMaster(connectionString, name);
      master->Execute("CREATE DATABASE " + BracketName(name));
      master->Close();
      return true;
    } catch (const Error& error) {
      if (error.Number() != kCommandError) throw;
      std::int32_t answer = kAnswerOk;
      RaiseShowMessage(GetMessageText(40, name), 64, kDatabaseNoticeGuid, answer);
      return false;
    }
  }
  std::string path = utils().KeyValue(connectionString, "Data Source", ";");
  std::string create = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
  if (!msAccessDBPassword.empty())
    create += ";" + utils::FormatKeyValue("Jet OLEDB:Database Password", msAccessDBPassword) + ";";
  data::CreateDatabase(create);
  return true;
}

bool Component::DropDatabase(const std::string& connectionString) {
  if (m_Provider == dpSQLServer) {
    std::string name = utils().KeyValue(connectionString, "Initial Catalog", ";");
    try {
      std::unique_ptr<Connection> master = OpenMaster(connectionString, name);
      std::unique_ptr<Recordset> found =
          master->OpenRecordset("SELECT * FROM sysdatabases WHERE Name = " + QuoteText(name),
                                adOpenForwardOnly, adLockReadOnly, adUseClient);
      if (found->RecordCount() > 0) master->Execute("DROP DATABASE " + BracketName(name));
      found->Close();
      master->Close();
      return true;
    } catch (const Error& error) {
      if (error.Number() != kCommandError && error.Number() != kServerGone) throw;
      std::int32_t answer = kAnswerOk;
      RaiseShowMessage(GetMessageText(34, name), 64, kDatabaseNoticeGuid, answer);
      return false;
    }
  }
  if (m_Provider == dpAccess) {
    std::string path = utils().KeyValue(connectionString, "Data Source", ";");
    if (!path.empty() && utils().FileExists(path)) utils().DeleteFile(path);
  }
  return true;
}

}  // namespace vela
