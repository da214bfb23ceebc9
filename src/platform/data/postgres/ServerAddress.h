// Reading a server connection string ("Data Source", "Initial Catalog", "UserID", "Password", and "Role",
// which a restore under a role sets for the database it builds) into the keyword/value arrays libpq's
// PQconnectdbParams takes. No conninfo text is ever built, so no value needs quoting and none can add an
// option of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vela::data::postgres {

// The "Provider" value of a server connection string.
inline constexpr const char* kServerProviderName = "SQLOLEDB.1";

struct ServerAddress {
  std::string host;      // empty: the local server, reached the way libpq does by default
  std::string port;      // empty: PGPORT or libpq's default
  std::string database;  // "Master" (any case) is read as the maintenance database "postgres"
  std::string user;
  std::string password;
  // "Role": the role every statement of the session runs as (SET ROLE right after the login); empty: the
  // login's own.
  std::string role;

  // The server as messages name it: "host:port", or "(local)".
  std::string ServerName() const;
};

// The server database an "Initial Catalog" names: "Master" (any case) is the maintenance database.
std::string CatalogDatabase(std::string_view initialCatalog);

// Refuses, with kCommandError naming it, a database name longer than the bytes the server keeps: the server
// would cut it short, to the name of another database. `statement` is the statement that names it, if any.
// Every database name the provider sends the server passes here.
void CheckDatabaseName(std::string_view name, std::string_view statement = {});

// Reads the connection string; a database name the server would cut short is refused (CheckDatabaseName).
// "Data Source" is a host, "host,port", or "(local)" / "Local" / this computer's name, optionally followed by
// "\" and an instance name (an instance name of digits names the port).
ServerAddress ReadServerAddress(std::string_view connectionString);

// The connection string a "postgresql://" (or "postgres://") URL names, its items read as libpq reads
// them: Data Source (the host, "(local)" without one, ",port" after it), Initial Catalog, UserID and
// Password. nullopt for a text that is no such URL. A URL that cannot be read, names several servers or
// no database, or carries parameters a connection string has no place for, fails with kInvalidArgument.
std::optional<std::string> ConnectionStringFromUrl(std::string_view text);

// Whether a server name is a folder of the server's local sockets: libpq reads a host that begins with
// "/" so ("/run/postgresql", optionally with ",port").
bool IsSocketFolder(std::string_view server);

// The keyword/value pairs for PQconnectdbParams, and the null-terminated arrays pointing into them.
class ConnectParameters {
 public:
  explicit ConnectParameters(const ServerAddress& address);
  const char* const* Keywords() const { return keywords_.data(); }
  const char* const* Values() const { return values_.data(); }
  // The value given for a keyword, or nullptr when none is.
  const char* Find(std::string_view keyword) const;

 private:
  std::vector<std::pair<std::string, std::string>> items_;
  std::vector<const char*> keywords_;
  std::vector<const char*> values_;
};

}  // namespace vela::data::postgres
