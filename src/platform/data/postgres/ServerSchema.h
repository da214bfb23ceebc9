// The catalog and the COLUMNS schema rowset of a server database, read from and written to pg_catalog.
#pragma once

#include <memory>
#include <string_view>

#include "platform/data/postgres/ServerSession.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// A catalog over the session's database; the session must outlive it.
std::unique_ptr<Catalog> OpenServerCatalog(ServerSession& session);

// The COLUMNS schema rowset of one table (a client-side rowset).
std::unique_ptr<Recordset> OpenServerSchemaColumns(ServerSession& session, std::string_view tableName);

}  // namespace vela::data::postgres
