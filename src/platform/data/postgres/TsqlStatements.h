// The component's statements realised on PostgreSQL: every statement is read token by token (never by
// text replacement over the whole statement); those PostgreSQL has a form of are sent in it, the others
// (SET IDENTITY_INSERT, CREATE DEFAULT, the system tables of the catalog queries, CREATE / DROP DATABASE)
// are carried out on the session.
#pragma once

#include <string>
#include <string_view>

#include "platform/data/postgres/ServerSession.h"

namespace vela::data::postgres {

class TsqlStatements {
 public:
  // The session must outlive this object.
  explicit TsqlStatements(ServerSession& session) : session_(&session) {}

  // Runs a statement of the component's dialect that returns no rows.
  void Execute(std::string_view sql);
  // A query of the component's dialect in PostgreSQL's; whatever the query relies on in this session is
  // made first.
  std::string Query(std::string_view sql);

 private:
  ServerSession* session_;
};

}  // namespace vela::data::postgres
