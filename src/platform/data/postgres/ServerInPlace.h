// A restore into an existing server database, inside one transaction on it: what the login may do with the
// database, and making room in it for what the restore makes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/data/postgres/ServerSession.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// Whether the database exists, whether the login may create databases, and whether it owns the database
// (or inherits the rights of the role that does), as the maintenance database tells.
DatabaseRights ReadServerDatabaseRights(std::string_view connectionString);

// Catalog::RemoveForRestore: in a savepoint of the session's transaction (or a transaction of its own), the
// objects are listed, those the login does not own refused, the rest dropped with what depends on them,
// and what else that took compared with what stood before; anything else gone undoes it all.
void RemoveServerObjectsForRestore(ServerSession& session, const std::vector<std::string>& tables,
                                   const std::vector<std::string>& schemas);

}  // namespace vela::data::postgres
