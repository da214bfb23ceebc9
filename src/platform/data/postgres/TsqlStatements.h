// The component's statements realised on PostgreSQL. Every statement is read token by token (never by
// text replacement over the whole statement): [bracketed] names become "quoted" ones, a "dbo." owner
// before a name and NOT FOR REPLICATION are dropped, and "?" placeholders become $1, $2, ... in
// parameterised statements. The statements PostgreSQL has no form of are carried out on the session:
//   SET IDENTITY_INSERT [t] ON / OFF   OFF moves the sequences of t's identity and serial columns past the
//                                      highest value in them;
//   CREATE DEFAULT [d] AS value        the default is kept in the session until sp_bindefault binds it to
//   EXEC sp_bindefault 'd', 't.c'      a column, and only a value ServerDefaultSql accepts reaches the
//   server; CREATE [UNIQUE] [CLUSTERED] INDEX, ALTER TABLE ... ADD CONSTRAINT ... PRIMARY KEY / UNIQUE
//                                      made under a free name when the name is taken (IndexNames.h), and
//                                      marked clustered with ALTER TABLE ... CLUSTER ON;
//   CREATE DATABASE / DROP DATABASE    DROP closes this process's own connections to the database first;
//   sysobjects, syscolumns, syscomments, sysreferences, sysdatabases
//                                      temporary views over pg_catalog, made once per session the first time
//                                      a statement names one of them.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/data/postgres/ServerSession.h"

namespace vela::data::postgres {

// The statement in PostgreSQL's dialect, read token by token: every [name] becomes "name", a "dbo." owner
// and NOT FOR REPLICATION are dropped and, when `numberPlaceholders`, every "?" outside texts and names
// becomes $1, $2, ... in order. Returns the statement and, through `placeholders`, how many "?" it held.
// Whether a name is a schema of the database other than the default one. A bracketed name
// "[schema.table]" whose first part is such a schema names that schema's table, "schema"."table" (the
// catalog names tables of other schemas so); any other name stays whole.
using SchemaTest = std::function<bool(std::string_view)>;
// The test asking the session's database.
SchemaTest SchemasOf(ServerSession& session);
// A bracketed name in PostgreSQL's dialect, read as above.
std::string BracketedNameSql(std::string_view name, const SchemaTest& isSchema);

std::string ToServerSql(std::string_view sql, bool numberPlaceholders, int* placeholders = nullptr,
                        const SchemaTest& isSchema = {});

// What a statement of the component's dialect asks of the server, read from its tokens.
struct TsqlStatement {
  enum class Kind {
    kPlain,           // text: the statement in PostgreSQL's dialect
    kIdentityInsert,  // table, on
    kCreateDefault,   // name, text: the default's value as written
    kBindDefault,     // name: the default; table, tableName, column: the column it is bound to
    kCreateIndex,     // text + the index's name + tail; name, table, clustered
    kCreateDatabase,  // name, text
    kDropDatabase,    // name, text
  };
  Kind kind = Kind::kPlain;
  std::string text;
  std::string tail;
  std::string name;       // the default, index (or key constraint) or database, as given
  std::string table;      // the table in PostgreSQL's dialect
  std::string tableName;  // the table as given
  std::string column;     // the column as given
  bool on = false;
  bool clustered = false;
  bool systemTables =
      false;  // kPlain: names sysobjects, syscolumns, syscomments, sysreferences or sysdatabases
};

// Reads a statement. A malformed sp_bindefault call or a database name PostgreSQL would cut short fails
// with kCommandError; any other statement it does not know is kPlain, for the server to judge.
TsqlStatement ReadTsqlStatement(std::string_view sql, const SchemaTest& isSchema = {});

// The name an index given `name` is tried under at the `attempt`th try (0 first): the name itself when it
// fits PostgreSQL's 63 bytes, else the name cut short at a character boundary; later tries end in "_2",
// "_3", ... within the 63 bytes.
std::string IndexNameCandidate(std::string_view name, int attempt);

class TsqlStatements {
 public:
  // The session must outlive this object.
  explicit TsqlStatements(ServerSession& session) : session_(&session), schemas_(SchemasOf(session)) {}

  // Runs a statement of the component's dialect that returns no rows.
  void Execute(std::string_view sql);
  // A query of the component's dialect in PostgreSQL's; whatever the query relies on in this session is
  // made first.
  std::string Query(std::string_view sql);
  // Makes the views over the catalog that stand in for the system tables, once per session; a read-only
  // transaction cannot make them, so one makes them before it begins.
  void MakeSystemViews();

 private:
  void EndIdentityInsert(const TsqlStatement& statement, std::string_view sql);
  void BindDefault(const TsqlStatement& statement, std::string_view sql);
  void CreateIndex(const TsqlStatement& statement);
  void DropDatabase(const TsqlStatement& statement);

  ServerSession* session_;
  SchemaTest schemas_;
  bool systemViews_ = false;
  std::string identityInsert_;                   // the table whose identity values are given, if any
  std::map<std::string, std::string> defaults_;  // CREATE DEFAULT: lower-case name -> value as written
};

}  // namespace vela::data::postgres
