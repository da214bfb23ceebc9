#include "platform/data/postgres/ServerProvider.h"

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerAddress.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

// The same connection string naming the maintenance database instead of its own: every other item,
// the login included, stays as it is.
std::string MaintenanceConnectionString(std::string_view connectionString) {
  if (utils::KeyValue(connectionString, "Initial Catalog", ";").empty())
    throw Error(kGeneralFailure, kSourceData, "The connection string names no database (Initial Catalog)");
  return utils::SetKeyValue(connectionString, "Initial Catalog", "Master", ";");
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
  entry.name = "SQLOLEDB.1";
  entry.engine = dpSQLServer;
  entry.passwordKeys = {"Password", "Pwd"};
  entry.open = &OpenServerConnection;
  entry.create = &CreateServerDatabase;
  entry.drop = &DropServerDatabase;
  entry.maintenance = &MaintenanceConnectionString;
  entry.isSystemObjectName = &IsServerObjectName;
  return entry;
}

}  // namespace vela::data::postgres
