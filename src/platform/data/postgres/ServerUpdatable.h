// The updatable recordset of a server connection (adLockOptimistic): its rows read in batches through a
// server-side cursor, AddNew ... Update inserting a row.
#pragma once

#include <memory>
#include <string>

#include "platform/data/postgres/ServerSession.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// Opens the recordset over a query in PostgreSQL's dialect ("SELECT * FROM "t""); the session must
// outlive it.
std::unique_ptr<Recordset> OpenUpdatableRecordset(ServerSession& session, std::string statement);

}  // namespace vela::data::postgres
