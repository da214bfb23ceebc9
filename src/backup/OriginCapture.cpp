// Origin capture: where and when a backup is made, for people who look at it later.
#include <ctime>

#include "backup/Save.h"
#include "component/ConnectionStrings.h"
#include "velabackup/data/Connection.h"

namespace vela {

backupfile::OriginEntry CaptureOrigin(const Utils& utils, const data::Connection& connection,
                                      DataProvider provider) {
  backupfile::OriginEntry origin;
  // The database by its name alone: a file's folder and a server's address stay on this computer.
  const ConnectionParts parts = GetConnectionParts(utils, connection.ConnectionString());
  origin.database = provider == dpSQLServer ? parts.initialCatalog : utils.NamePart(parts.dataSource);
  origin.engine = connection.EngineVersion();
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char made[32] = {};
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(made, sizeof made, "%Y-%m-%dT%H:%M:%SZ", &utc);
  origin.made = made;
  origin.tool = "VelaBackup " VELA_VERSION;
  return origin;
}

}  // namespace vela
