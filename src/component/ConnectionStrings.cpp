#include "component/ConnectionStrings.h"

#include "component/Procedure.h"
#include "platform/text/Strings.h"

namespace vela {

DataProvider GetDBMS(const Utils& utils, std::string_view connectionString) {
  return Trapped("GetDBMS", [&](Procedure& at) {
    at();
    std::string provider = utils.KeyValue(connectionString, "Provider", ";");
    if (provider == "SQLOLEDB.1") return dpSQLServer;
    if (provider == "Microsoft.Jet.OLEDB.4.0") return dpAccess;
    at();
    throw Error(kComponentError, "CBackup::GetDBMS", "Unknown Provider");
  });
}

ConnectionParts GetConnectionParts(const Utils& utils, std::string_view connectionString) {
  ConnectionParts parts;
  parts.dataSource = utils.KeyValue(connectionString, "Data Source", ";");
  parts.initialCatalog = utils.KeyValue(connectionString, "Initial Catalog", ";");
  parts.user = utils.KeyValue(connectionString, "UserID", ";");
  parts.password = utils.KeyValue(connectionString, "Password", ";");
  return parts;
}

bool IsLocalServer(const Utils& utils, std::string_view server) {
  using text::EqualsNoCase;
  using text::StartsWithNoCase;
  if (EqualsNoCase(server, "Local") || StartsWithNoCase(server, "Local\\")) return true;
  if (EqualsNoCase(server, "(Local)") || StartsWithNoCase(server, "(Local)\\")) return true;
  std::string computer = utils.ComputerName();
  if (computer.empty()) return false;
  return EqualsNoCase(server, computer) || StartsWithNoCase(server, computer + "\\");
}

bool IsInList(std::string_view value, std::string_view list) {
  if (list.empty()) return false;
  for (const std::string& item : text::Split(list, ';'))
    if (text::EqualsNoCase(item, value)) return true;
  return false;
}

}  // namespace vela
