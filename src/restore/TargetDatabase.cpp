// The target database: the new one is built aside and put in place of the target when the restore succeeds;
// a failed, refused or cancelled restore removes it. How a database is created, reached, replaced and
// removed is the provider's knowledge; the component sends the server its statements through the
// maintenance database and shows the notices.
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "platform/utils/KeyValue.h"
#include "restore/Restore.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

bool Restorer::CreateDatabase(const std::string& connectionString, const std::string& msAccessDBPassword) {
  operation_.RaiseUpdateProgress(0, GetMessageText(10));
  m_Aside = NewAside(connectionString);
  if (m_Provider == dpSQLServer) {
    std::string name = utils().KeyValue(connectionString, "Initial Catalog", ";");
    std::string aside = utils().KeyValue(m_Aside, "Initial Catalog", ";");
    try {
      std::unique_ptr<Connection> master = OpenConnection(MaintenanceConnectionString(connectionString));
      master->Execute("CREATE DATABASE " + BracketName(aside));
      // The login makes the database; under a role the role owns it and makes everything in it.
      if (!m_Role.empty())
        master->Execute("ALTER DATABASE " + BracketName(aside) + " OWNER TO " + BracketName(m_Role));
      master->Close();
      return true;
    } catch (const Error& error) {
      m_Aside.clear();
      if (error.Number() != kCommandError) throw;
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(40, name), 64, kTargetDatabaseGuid, answer);
      operation_.Refuse(OutcomeReason::kTargetDatabase);
      return false;
    }
  }
  std::string path = utils().KeyValue(m_Aside, "Data Source", ";");
  std::string create = "Provider=Microsoft.Jet.OLEDB.4.0;" + utils::FormatKeyValue("Data Source", path);
  // The new file is protected by the password given for it, else by the one the connection string holds:
  // a password is never dropped.
  std::string password = msAccessDBPassword.empty()
                             ? utils().KeyValue(connectionString, "Jet OLEDB:Database Password", ";")
                             : msAccessDBPassword;
  if (!password.empty()) create = utils::SetKeyValue(create, "Jet OLEDB:Database Password", password, ";");
  data::CreateDatabase(create);
  return true;
}

bool Restorer::MayReplaceTarget(const std::string& connectionString, const std::string& msAccessDBPassword) {
  if (m_Provider != dpAccess || m_ReplaceProtectedWithPlain || !msAccessDBPassword.empty() ||
      !utils().KeyValue(connectionString, "Jet OLEDB:Database Password", ";").empty() ||
      !IsProtectedDatabase(connectionString))
    return true;
  std::int32_t answer = kAnswerOk;
  operation_.RaiseShowMessage(GetMessageText(50, utils().KeyValue(connectionString, "Data Source", ";")), 64,
                              kProtectedTargetGuid, answer);
  operation_.Refuse(OutcomeReason::kTargetDatabase);
  return false;
}

std::string Restorer::NewAside(const std::string& connectionString) {
  // Clearing up is no part of the restore: a server that cannot be reached now is named by the step that
  // needs it (or the restore is refused before it reaches one).
  std::vector<std::string> removed;
  try {
    removed = RemoveLeftovers(connectionString);
  } catch (const Error&) {
    removed.clear();
  }
  for (std::string& folder : WorkFolder::RemoveLeftovers(utils())) removed.push_back(std::move(folder));
  if (!removed.empty()) {
    std::string list;
    for (const std::string& item : removed) list += "\n" + item;
    std::int32_t answer = kAnswerOk;
    operation_.RaiseShowMessage(GetMessageText(47, list), 64, kLeftoversRemovedGuid, answer);
  }
  return AsideOf(connectionString);
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
      operation_.RaiseShowMessage(GetMessageText(34, name), 64, kTargetDatabaseGuid, answer);
      operation_.Refuse(OutcomeReason::kTargetDatabase);
      return false;
    }
  }
  if (m_Provider == dpAccess) data::DropDatabase(connectionString);
  return true;
}

bool Restorer::PutInPlace(const std::string& connectionString) {
  return Trapped("PutInPlace", [&](Procedure& at) {
    at();
    try {
      PutDatabaseInPlace(m_Aside, connectionString);
      m_Aside.clear();
      return true;
    } catch (const Error& error) {
      if (m_Provider != dpSQLServer) throw;
      // A server keeps a database others are connected to: the target stays, the new one goes. Any other
      // failure left the target's name free or holding the new database, and the error says where each
      // database is: nothing of it is removed.
      if (error.Number() != kCommandError && error.Number() != kServerGone) {
        m_Aside.clear();
        throw;
      }
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(
          GetMessageText(34, utils().KeyValue(connectionString, "Initial Catalog", ";")), 64,
          kTargetDatabaseGuid, answer);
      operation_.Refuse(OutcomeReason::kTargetDatabase);
      return false;
    }
  });
}

std::string Restorer::AsideOf(const std::string& connectionString) const {
  return WithRole(AsideConnectionString(connectionString));
}

std::string Restorer::WithDatabasePassword(const std::string& connectionString, const std::string& password) {
  if (password.empty() || !utils::KeyValue(connectionString, "Jet OLEDB:Database Password", ";").empty())
    return connectionString;
  return utils::SetKeyValue(connectionString, "Jet OLEDB:Database Password", password, ";");
}

std::string Restorer::WithRole(const std::string& connectionString) const {
  return m_Role.empty() ? connectionString : utils::SetKeyValue(connectionString, "Role", m_Role, ";");
}

void Restorer::CheckRole(const std::string& connectionString) const {
  if (m_Role.empty()) return;
  if (m_Provider != dpSQLServer)
    throw Error(kInvalidArgument, kSourceComponent,
                "A restore runs under a role (\"" + m_Role + "\") into a server database only");
  // Opening a connection under the role fails, naming the role and why, when the login may not become it.
  std::unique_ptr<Connection> master =
      OpenConnection(utils::SetKeyValue(MaintenanceConnectionString(connectionString), "Role", m_Role, ";"));
  master->Close();
}

void Restorer::DropAside() noexcept {
  if (m_Aside.empty()) return;
  try {
    data::DropDatabase(m_Aside);
  } catch (...) {
    // What cannot be removed now is a file or database with a name of its own, beside the target.
  }
  m_Aside.clear();
}

}  // namespace vela
