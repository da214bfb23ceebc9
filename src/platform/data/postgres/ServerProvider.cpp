#include "platform/data/postgres/ServerProvider.h"

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

bool IsServerObjectName(std::string_view name) {
  return text::StartsWithNoCase(name, "sys") || text::StartsWithNoCase(name, "pg_");
}

}  // namespace

ProviderEntry ServerProviderEntry() {
  ProviderEntry entry;
  entry.name = "SQLOLEDB.1";
  entry.engine = dpSQLServer;
  entry.passwordKeys = {"Password", "Pwd"};
  entry.maintenance = &MaintenanceConnectionString;
  entry.isSystemObjectName = &IsServerObjectName;
  return entry;
}

}  // namespace vela::data::postgres
