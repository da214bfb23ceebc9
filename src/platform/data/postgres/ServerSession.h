// What the parts of the server provider share of an open connection: running PostgreSQL's own SQL as it
// stands, without the reading of the component's dialect that Connection::Execute does, and the address
// the connection reached.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/postgres/PgApi.h"
#include "platform/data/postgres/ServerAddress.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

struct SchemaSnapshot;

class ServerSession {
 public:
  virtual ~ServerSession() = default;

  // Runs PostgreSQL statements as they stand (several may be separated by ";"); a failure raises the
  // server's error.
  virtual void RunServerSql(const std::string& sql) = 0;
  // Runs one PostgreSQL query as it stands, with `parameters` bound as texts to $1, $2, ...; the whole
  // result. A failure raises the server's error.
  virtual ResultHandle QueryServerSql(const std::string& sql,
                                      std::span<const std::string> parameters = {}) = 0;
  // As QueryServerSql, the statement prepared once per session: for the catalog queries a restore repeats
  // for every table, which the server then plans once.
  virtual ResultHandle QueryPreparedServerSql(const std::string& sql,
                                              std::span<const std::string> parameters) = 0;
  // Runs PostgreSQL queries as they stand, separated by ";", in one exchange with the server; the result of
  // each, in order. A failure raises the server's error.
  virtual std::vector<ResultHandle> QueryServerSqlAll(const std::string& sql) = 0;

  // Runs one PostgreSQL statement with `parameters` bound to $1, $2, ... as Connection::Execute binds them
  // (typed, binaries in binary form), prepared once per statement text and types. A failure raises the
  // server's error.
  virtual void RunServerSql(const std::string& sql, std::span<const Parameter> parameters) = 0;
  // Whether the session is inside a transaction block, begun by whoever; a run of rows the connection
  // still has on its way (in a transaction of its own) is ended first.
  virtual bool InTransaction() = 0;

  // While every read sees the database as it stood at one moment (Connection::BeginReadSnapshot), the
  // catalog as read once in that moment (ServerSchema.h); nullptr at any other time.
  virtual SchemaSnapshot* ReadSnapshot() { return nullptr; }

  // The server and database this session reached.
  virtual const ServerAddress& Address() const = 0;
};

// Closes every open connection of this process to `database` on the server `address` names, so that the
// database can be dropped; those connections then report themselves closed.
void CloseSessionsTo(const ServerAddress& address, std::string_view database);

}  // namespace vela::data::postgres
