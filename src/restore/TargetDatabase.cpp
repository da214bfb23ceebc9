// The target database: removed and made anew before a text backup is rebuilt, removed after a cancel.
// How a database is created, reached and removed is the provider's knowledge; the component sends the
// server its statements through the maintenance database and shows the notices.
#include "component/Messages.h"
#include "platform/data/SqlText.h"
#include "platform/utils/KeyValue.h"
#include "restore/Restore.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

constexpr const char* kDatabaseNoticeGuid = "{7A29569B-FE02-40CC-8553-E0A147D6B861}";

}  // namespace

bool Restorer::CreateDatabase(const std::string& connectionString, const std::string& msAccessDBPassword) {
  operation_.RaiseUpdateProgress(0, GetMessageText(10));
  if (!DropDatabase(connectionString)) return false;
  if (m_Provider == dpSQLServer) {
    std::string name = utils().KeyValue(connectionString, "Initial Catalog", ";");
    try {
      std::unique_ptr<Connection> master = OpenConnection(MaintenanceConnectionString(connectionString));
      master->Execute("CREATE DATABASE " + BracketName(name));
      master->Close();
      return true;
    } catch (const Error& error) {
      if (error.Number() != kCommandError) throw;
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(40, name), 64, kDatabaseNoticeGuid, answer);
      return false;
    }
  }
  std::string path = utils().KeyValue(connectionString, "Data Source", ";");
  std::string create = "Provider=Microsoft.Jet.OLEDB.4.0;" + utils::FormatKeyValue("Data Source", path);
  if (!msAccessDBPassword.empty())
    create += ";" + utils::FormatKeyValue("Jet OLEDB:Database Password", msAccessDBPassword) + ";";
  data::CreateDatabase(create);
  return true;
}

bool Restorer::DropDatabase(const std::string& connectionString) {
  if (m_Provider == dpSQLServer) {
    std::string name = utils().KeyValue(connectionString, "Initial Catalog", ";");
    try {
      std::unique_ptr<Connection> master = OpenConnection(MaintenanceConnectionString(connectionString));
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
      operation_.RaiseShowMessage(GetMessageText(34, name), 64, kDatabaseNoticeGuid, answer);
      return false;
    }
  }
  if (m_Provider == dpAccess) data::DropDatabase(connectionString);
  return true;
}

}  // namespace vela
