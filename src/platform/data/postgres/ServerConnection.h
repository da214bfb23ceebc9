// The server-database connection ("SQLOLEDB.1") on PostgreSQL through libpq.
//
// Statements arrive in the component's dialect and are read token by token into PostgreSQL's (ToServerSql).
// A forward-only, read-only, server-side recordset streams its rows (a single SELECT's as the lines of a COPY
// in text form, any other statement's in libpq's single-row mode) and holds only the current row; while it
// is open the connection runs no other command. Every other read-only
// recordset is read whole into a BufferedRecordset. Updatable recordsets, the catalog, schema rowsets and
// snapshots are not offered yet (kNotSupported).
#pragma once

#include <memory>
#include <string_view>

#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// Opens a connection. A refused login fails with kAuthenticationFailed, an unknown database with
// kCommandError, an unreachable server with kServerGone; each message names the server and the database.
std::unique_ptr<Connection> OpenServerConnection(std::string_view connectionString);

}  // namespace vela::data::postgres
