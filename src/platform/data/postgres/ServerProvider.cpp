#include "platform/data/postgres/ServerProvider.h"

#include "platform/data/Providers.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerAddress.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerManagement.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

// The same connection string naming the maintenance database instead of its own: every other item,
// the login included, stays as it is, but for a role: databases are made, renamed and dropped by the
// login.
std::string MaintenanceConnectionString(std::string_view connectionString) {
  if (utils::KeyValue(connectionString, "Initial Catalog", ";").empty())
    throw Error(kGeneralFailure, kSourceData, "The connection string names no database (Initial Catalog)");
  std::string master = utils::SetKeyValue(connectionString, "Initial Catalog", "Master", ";");
  return utils::RemoveKey(master, "Role", ";");
}

// Runs one statement on the maintenance database of the server the connection string names.
void RunOnMaintenance(std::string_view connectionString, const std::string& statement) {
  std::unique_ptr<Connection> master = OpenServerConnection(MaintenanceConnectionString(connectionString));
  dynamic_cast<ServerSession&>(*master).RunServerSql(statement);
}

void CreateServerDatabase(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  RunOnMaintenance(connectionString, "CREATE DATABASE " + QuoteName(address.database));
}

// Our own connections to the database are closed first; anybody else's keep it from being dropped.
void DropServerDatabase(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  CloseSessionsTo(address, address.database);
  RunOnMaintenance(connectionString, "DROP DATABASE IF EXISTS " + QuoteName(address.database));
}

// The server's own objects: PostgreSQL's catalog, and the system tables the component's catalog queries
// name, which this provider answers with views of the session. A user's table that merely begins with
// "sys" ("system_log") is the user's.
// A new database on the same server, named after the target with a random tag.
std::string AsideServerDatabase(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  if (address.database.empty())
    throw Error(kGeneralFailure, kSourceData, "The connection string names no database (Initial Catalog)");
  std::string aside = NameWithSuffix(address.database, "_restoring_" + RandomTag());
  return utils::SetKeyValue(connectionString, "Initial Catalog", aside, ";");
}

// The target goes and the database built aside takes its name. Our own connections to either are closed
// first; anybody else's keep the target from being dropped, and it stays.
void PutServerDatabaseInPlace(std::string_view aside, std::string_view connectionString) {
  ServerAddress from = ReadServerAddress(aside);
  ServerAddress to = ReadServerAddress(connectionString);
  CloseSessionsTo(from, from.database);
  CloseSessionsTo(to, to.database);
  RunOnMaintenance(connectionString, "DROP DATABASE IF EXISTS " + QuoteName(to.database));
  RunOnMaintenance(connectionString,
                   "ALTER DATABASE " + QuoteName(from.database) + " RENAME TO " + QuoteName(to.database));
}

bool IsServerObjectName(std::string_view name) {
  if (text::StartsWithNoCase(name, "pg_")) return true;
  for (std::string_view system : {"sysobjects", "syscolumns", "syscomments", "sysreferences", "sysdatabases",
                                  "sysindexes", "systypes", "sysusers", "sysconstraints", "sysproperties"})
    if (text::EqualsNoCase(name, system)) return true;
  return false;
}

}  // namespace

ProviderEntry ServerProviderEntry() {
  ProviderEntry entry;
  entry.name = kServerProviderName;
  entry.engine = dpSQLServer;
  entry.passwordKeys = {"Password", "Pwd"};
  entry.open = &OpenServerConnection;
  entry.create = &CreateServerDatabase;
  entry.drop = &DropServerDatabase;
  entry.aside = &AsideServerDatabase;
  entry.putInPlace = &PutServerDatabaseInPlace;
  entry.maintenance = &MaintenanceConnectionString;
  entry.isSystemObjectName = &IsServerObjectName;
  entry.fromShortForm = &ConnectionStringFromUrl;
  entry.isLocalSocketFolder = &IsSocketFolder;
  entry.managementProgId = kManagementProgId;
  entry.management = &NewServerManagement;
  entry.listCopyCode = &ListServerCopyCode;
  return entry;
}

}  // namespace vela::data::postgres
