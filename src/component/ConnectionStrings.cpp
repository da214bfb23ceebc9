#include "component/ConnectionStrings.h"

#include "component/Messages.h"
#include "component/Operation.h"
#include "component/Procedure.h"
#include "platform/text/Strings.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {

DataProvider GetDBMS(const Utils& utils, std::string_view connectionString) {
  return Trapped("GetDBMS", [&](Procedure& at) {
    at();
    DataProvider engine = data::ProviderEngine(utils.KeyValue(connectionString, "Provider", ";"));
    if (engine != dpUnknown) return engine;
    at();
    throw Error(kComponentError, kSourceGetDBMS, "Unknown Provider");
  });
}

DataProvider CheckConnectionString(Operation& operation, std::string_view connectionString) {
  const DataProvider engine = GetDBMS(operation.utils(), connectionString);
  const data::ConnectionKeys keys = data::CheckConnectionKeys(connectionString);
  if (!keys.unread.empty()) {
    auto listed = [](const std::vector<std::string>& names) {
      std::string list;
      for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
      return list;
    };
    std::int32_t answer = kAnswerOk;
    operation.RaiseShowMessage(
        GetMessageText(49, listed(keys.unread), operation.utils().KeyValue(connectionString, "Provider", ";"),
                       listed(keys.known)),
        64, kUnreadKeysGuid, answer);
  }
  return engine;
}

ConnectionParts GetConnectionParts(const Utils& utils, std::string_view connectionString) {
  ConnectionParts parts;
  parts.dataSource = utils.KeyValue(connectionString, "Data Source", ";");
  parts.initialCatalog = utils.KeyValue(connectionString, "Initial Catalog", ";");
  parts.user = utils.KeyValue(connectionString, "UserID", ";");
  parts.password = utils.KeyValue(connectionString, "Password", ";");
  parts.role = utils.KeyValue(connectionString, "Role", ";");
  return parts;
}

bool IsLocalServer(const Utils& utils, std::string_view server) {
  using text::EqualsNoCase;
  using text::StartsWithNoCase;
  if (EqualsNoCase(server, "Local") || StartsWithNoCase(server, "Local\\")) return true;
  if (EqualsNoCase(server, "(Local)") || StartsWithNoCase(server, "(Local)\\")) return true;
  // A folder of the server's local sockets is on this computer; the provider knows its form.
  if (data::IsLocalSocketFolder(server)) return true;
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
