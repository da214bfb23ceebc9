// Reading connection strings: which engine, which server and database, and name lists.
#pragma once

#include <string>
#include <string_view>

#include "velabackup/Enums.h"
#include "velabackup/Utils.h"

namespace vela {

// The engine named by the "Provider" value, compared exactly ("SQLOLEDB.1", "Microsoft.Jet.OLEDB.4.0").
// Anything else fails with kComponentError, source "CBackup::GetDBMS", "Unknown Provider".
DataProvider GetDBMS(const Utils& utils, std::string_view connectionString);

class Operation;

// The engine of a connection string at the start of a save or restore, as GetDBMS gives it; keys its
// provider does not read draw notice 49, naming them and the keys it takes, and a password under such a
// key is refused (data::CheckConnectionKeys).
DataProvider CheckConnectionString(Operation& operation, std::string_view connectionString);

struct ConnectionParts {
  std::string dataSource, initialCatalog, user, password, role;
};
// "Data Source", "Initial Catalog", "UserID" (one word), "Password" and "Role"; absent keys give empty
// texts.
ConnectionParts GetConnectionParts(const Utils& utils, std::string_view connectionString);

// True for "Local", "(Local)", this computer's name, and each of them followed by "\" and an instance
// name, without regard to case; and for an absolute path, a folder of the local server's sockets.
bool IsLocalServer(const Utils& utils, std::string_view server);

// True when one of the ";"-separated items of `list` (untrimmed, empty items kept) equals `value` without
// regard to case.
bool IsInList(std::string_view value, std::string_view list);

}  // namespace vela
