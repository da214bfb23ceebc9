#include "platform/data/postgres/ServerProvider.h"

#include <cctype>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/data/Providers.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/PgApi.h"
#include "platform/data/postgres/ServerAddress.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerEngineSql.h"
#include "platform/data/postgres/ServerInPlace.h"
#include "platform/data/postgres/ServerManagement.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/data/postgres/ServerTypes.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

constexpr std::string_view kAsideSuffix = "_restoring_";
constexpr std::string_view kAsideCommentMark = "VelaBackup: a restore of ";

// The same connection string naming the maintenance database instead of its own: every other item,
// the login included, stays as it is, but for a role: databases are made, renamed and dropped by the
// login.
std::string MaintenanceConnectionString(std::string_view connectionString) {
  if (utils::KeyValue(connectionString, "Initial Catalog", ";").empty())
    throw Error(kGeneralFailure, kSourceData, "The connection string names no database (Initial Catalog)");
  std::string master = utils::SetKeyValue(connectionString, "Initial Catalog", "Master", ";");
  return utils::RemoveKey(master, "Role", ";");
}

std::unique_ptr<Connection> OpenMaintenance(std::string_view connectionString) {
  return OpenServerConnection(MaintenanceConnectionString(connectionString));
}

ServerSession& Session(Connection& connection) {
  return dynamic_cast<ServerSession&>(connection);
}

// The key of a database aside's advisory lock: FNV-1a of its name, the same in every process.
std::string AsideLockKey(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : std::string("VelaBackup aside ") + std::string(name)) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return std::to_string(static_cast<std::int64_t>(hash));
}

// Whether `name` has the form of a database aside for `target`: the target's name cut to fit, the suffix
// and eight hexadecimal digits.
bool IsAsideNameOf(std::string_view name, std::string_view target) {
  const std::string prefix = NameWithSuffix(target, std::string(kAsideSuffix) + "00000000");
  const std::size_t tag = prefix.size() - 8;
  if (name.size() != prefix.size() || name.substr(0, tag) != std::string_view(prefix).substr(0, tag))
    return false;
  for (char c : name.substr(tag))
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The databases aside this process named, by server and name: the connection string that reaches one,
// its target, and once it is created the session that holds its lock.
struct Aside {
  std::string connectionString;
  std::string target;
  std::unique_ptr<Connection> lock;
};
struct OwnAsides {
  std::mutex mutex;
  std::map<std::string, Aside> byName;
};
OwnAsides& Asides() {
  static OwnAsides asides;
  return asides;
}
std::string AsideKey(const ServerAddress& address, std::string_view name) {
  return address.ServerName() + "/" + std::string(name);
}

struct SwapFault {
  std::mutex mutex;
  std::function<bool(int step)> fault;
};
SwapFault& Fault() {
  static SwapFault fault;
  return fault;
}

void CreateNamedDatabase(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  std::unique_ptr<Connection> master = OpenMaintenance(connectionString);
  const std::string create = "CREATE DATABASE " + QuoteName(address.database);
  CreateServerDatabase(Session(*master), address.database, create);
}

// Our own connections to the database are closed first; anybody else's keep it from being dropped.
void DropNamedDatabase(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  CloseSessionsTo(address, address.database);
  DropServerDatabase(Session(*OpenMaintenance(connectionString)), address.database,
                     "DROP DATABASE IF EXISTS " + QuoteName(address.database));
}

// A new database on the same server, named after the target with a random tag, which this process
// remembers as its own.
std::string AsideServerDatabase(std::string_view connectionString) {
  ServerAddress address = ReadServerAddress(connectionString);
  if (address.database.empty())
    throw Error(kGeneralFailure, kSourceData, "The connection string names no database (Initial Catalog)");
  std::string aside = NameWithSuffix(address.database, std::string(kAsideSuffix) + RandomTag());
  std::string asideString = utils::SetKeyValue(connectionString, "Initial Catalog", aside, ";");
  std::lock_guard lock(Asides().mutex);
  Asides().byName[AsideKey(address, aside)] = {asideString, address.database, nullptr};
  return asideString;
}

// The steps of putting a database in place, each one statement on the maintenance database; tests may
// make one fail (SetSwapFault).
class SwapSteps {
 public:
  explicit SwapSteps(std::string_view connectionString) : master_(OpenMaintenance(connectionString)) {}

  void Run(const std::string& statement) {
    ++step_;
    {
      std::lock_guard lock(Fault().mutex);
      if (Fault().fault && Fault().fault(step_))
        throw Error(kCommandError, kSource, "step " + std::to_string(step_) + " was made to fail", {},
                    statement);
    }
    Session(*master_).RunServerSql(statement);
  }
  bool Exists(const std::string& database) {
    const std::string name[] = {database};
    return PQntuples(Session(*master_)
                         .QueryServerSql("SELECT 1 FROM pg_catalog.pg_database WHERE datname = $1", name)
                         .get()) > 0;
  }

 private:
  std::unique_ptr<Connection> master_;
  int step_ = 0;
};

// A step of the swap failed; `state` says which database holds what now.
[[noreturn]] void SwapFailed(std::int32_t number, const std::string& state, const Error& cause) {
  throw Error(number, kSource, state + " (" + cause.Description() + ")", cause.EngineCode(),
              cause.Statement());
}

// The database built aside takes the target's place. Our own connections to either are closed first. The
// target is renamed aside, the new one takes its name and only then is the old one dropped: a step that
// fails puts back what was there, and the error says which database holds what. A failure that leaves the
// target's name with its old database is kCommandError (kServerGone when the server was lost before the
// swap began); one that leaves the target's name free or holding the new database while the old one is
// kept under another name is kGeneralFailure.
void PutServerDatabaseInPlace(std::string_view aside, std::string_view connectionString) {
  ServerAddress from = ReadServerAddress(aside);
  ServerAddress to = ReadServerAddress(connectionString);
  CloseSessionsTo(from, from.database);
  CloseSessionsTo(to, to.database);
  SwapSteps steps(connectionString);
  const bool replacing = steps.Exists(to.database);
  const std::string old = NameWithSuffix(to.database, "_replaced_" + RandomTag());
  const std::string target = QuoteName(to.database), restored = QuoteName(from.database),
                    kept = QuoteName(old);
  const std::string restoredLeft = "the restored database is left as " + restored;

  if (replacing) {
    try {
      steps.Run("ALTER DATABASE " + target + " RENAME TO " + kept);
    } catch (const Error& error) {
      if (error.Number() == kServerGone)
        SwapFailed(kGeneralFailure,
                   "The server was lost while the database " + target + " was renamed to " + kept +
                       ": it holds its old database under one of the two names; " + restoredLeft,
                   error);
      SwapFailed(kCommandError, "The database " + target + " was kept as it was; " + restoredLeft, error);
    }
  }
  try {
    steps.Run("ALTER DATABASE " + restored + " RENAME TO " + target);
  } catch (const Error& error) {
    if (!replacing)
      SwapFailed(error.Number() == kServerGone ? kGeneralFailure : kCommandError,
                 "No database took the name " + target + "; " + restoredLeft, error);
    try {
      steps.Run("ALTER DATABASE " + kept + " RENAME TO " + target);
    } catch (const Error&) {
      SwapFailed(kGeneralFailure,
                 "No database is named " + target + " now: its old database is kept under the name " + kept +
                     " and " + restoredLeft,
                 error);
    }
    SwapFailed(kCommandError, "The database " + target + " was kept as it was; " + restoredLeft, error);
  }
  ForgetAside(from, from.database);
  // The restored database is the target now: anybody may connect as to a new database, and it no longer
  // carries the mark of a database aside.
  try {
    steps.Run("COMMENT ON DATABASE " + target + " IS NULL; GRANT CONNECT ON DATABASE " + target +
              " TO PUBLIC");
    if (replacing) steps.Run("DROP DATABASE " + kept);
  } catch (const Error& error) {
    SwapFailed(kGeneralFailure,
               "The restored database took the place of " + target +
                   (replacing ? "; its old database could not be dropped and is kept under the name " + kept
                              : "; it could not be opened to every login"),
               error);
  }
}

// Drops the databases aside for the target that are marked as the tool's own and whose restore no
// longer runs (nobody holds their lock); one that somebody is connected to stays.
std::vector<std::string> RemoveServerLeftovers(std::string_view connectionString) {
  ServerAddress target = ReadServerAddress(connectionString);
  std::unique_ptr<Connection> master = OpenMaintenance(connectionString);
  ServerSession& session = Session(*master);
  const std::string comment[] = {AsideComment(target.database)};
  ResultHandle marked = session.QueryServerSql(
      "SELECT datname FROM pg_catalog.pg_database "
      "WHERE pg_catalog.shobj_description(oid, 'pg_database') = $1 ORDER BY datname",
      comment);
  std::vector<std::string> removed;
  for (int row = 0; row < PQntuples(marked.get()); ++row) {
    const std::string name = CellText(marked.get(), row, 0);
    if (!IsAsideNameOf(name, target.database)) continue;
    const std::string key[] = {AsideLockKey(name)};
    if (!CellFlag(session.QueryServerSql("SELECT pg_catalog.pg_try_advisory_lock($1::bigint)", key).get(), 0,
                  0))
      continue;
    try {
      session.RunServerSql("DROP DATABASE " + QuoteName(name));
      removed.push_back("the database \"" + name + "\" on server " + target.ServerName());
    } catch (const Error& error) {
      if (error.Number() == kServerGone) throw;
    }
    session.QueryServerSql("SELECT pg_catalog.pg_advisory_unlock($1::bigint)", key);
  }
  return removed;
}

// The server's own objects: PostgreSQL's catalog, and the system tables the component's catalog queries
// name, which this provider answers with views of the session. A user's table that merely begins with
// "sys" ("system_log") is the user's.
bool IsServerObjectName(std::string_view name) {
  if (text::StartsWithNoCase(name, "pg_")) return true;
  for (std::string_view system : {"sysobjects", "syscolumns", "syscomments", "sysreferences", "sysdatabases",
                                  "sysindexes", "systypes", "sysusers", "sysconstraints", "sysproperties"})
    if (text::EqualsNoCase(name, system)) return true;
  return false;
}

}  // namespace

void CreateServerDatabase(ServerSession& maintenance, const std::string& name, const std::string& createSql) {
  CheckDatabaseName(name, createSql);
  std::string target;
  {
    std::lock_guard lock(Asides().mutex);
    auto found = Asides().byName.find(AsideKey(maintenance.Address(), name));
    if (found != Asides().byName.end()) {
      Aside& aside = found->second;
      target = aside.target;
      // Locked before it exists: no other restore can take it for the leftover of one that ended.
      if (!aside.lock) {
        std::unique_ptr<Connection> holder = OpenMaintenance(aside.connectionString);
        const std::string key[] = {AsideLockKey(name)};
        Session(*holder).QueryServerSql("SELECT pg_catalog.pg_advisory_lock($1::bigint)", key);
        aside.lock = std::move(holder);
      }
    }
  }
  if (target.empty()) {
    maintenance.RunServerSql(createSql);
    return;
  }
  try {
    maintenance.RunServerSql(createSql);
  } catch (const Error&) {
    ForgetAside(maintenance.Address(), name);
    throw;
  }
  try {
    maintenance.RunServerSql("REVOKE CONNECT ON DATABASE " + QuoteName(name) +
                             " FROM PUBLIC; COMMENT ON DATABASE " + QuoteName(name) + " IS " +
                             QuoteText(AsideComment(target)));
  } catch (const Error&) {
    // Unmarked, it would be nobody's: it goes now.
    try {
      maintenance.RunServerSql("DROP DATABASE " + QuoteName(name));
    } catch (const Error&) {
    }
    ForgetAside(maintenance.Address(), name);
    throw;
  }
}

void DropServerDatabase(ServerSession& maintenance, const std::string& name, const std::string& dropSql) {
  try {
    maintenance.RunServerSql(dropSql);
  } catch (const Error&) {
    ForgetAside(maintenance.Address(), name);
    throw;
  }
  ForgetAside(maintenance.Address(), name);
}

void ForgetAside(const ServerAddress& address, std::string_view name) {
  std::unique_ptr<Connection> holder;
  std::lock_guard lock(Asides().mutex);
  auto found = Asides().byName.find(AsideKey(address, name));
  if (found == Asides().byName.end()) return;
  holder = std::move(found->second.lock);
  Asides().byName.erase(found);
}

std::string AsideComment(std::string_view target) {
  return std::string(kAsideCommentMark) + QuoteName(target) + ", under way or ended without finishing";
}

void SetSwapFault(std::function<bool(int step)> fault) {
  std::lock_guard lock(Fault().mutex);
  Fault().fault = std::move(fault);
}

ProviderEntry ServerProviderEntry() {
  ProviderEntry entry;
  entry.name = kServerProviderName;
  entry.engine = dpSQLServer;
  entry.passwordKeys = {"Password", "Pwd"};
  // "Role" is the role a restore runs as (the restore adds it to the connection of the database it builds).
  entry.knownKeys = {
      "Provider", "Data Source", "Server", "Initial Catalog",       "Database", "UserID", "User ID",
      "UID",      "Password",    "Pwd",    "Persist Security Info", "Role"};
  entry.columnLimits = {kLargestNumericPrecision, kLargestTextLength, 0};  // a bytea has no length
  entry.open = &OpenServerConnection;
  entry.create = &CreateNamedDatabase;
  entry.drop = &DropNamedDatabase;
  entry.aside = &AsideServerDatabase;
  entry.putInPlace = &PutServerDatabaseInPlace;
  entry.removeLeftovers = &RemoveServerLeftovers;
  entry.rights = &ReadServerDatabaseRights;
  entry.maintenance = &MaintenanceConnectionString;
  entry.isSystemObjectName = &IsServerObjectName;
  entry.fromShortForm = &ConnectionStringFromUrl;
  entry.isLocalSocketFolder = &IsSocketFolder;
  entry.managementProgId = kManagementProgId;
  entry.management = &NewServerManagement;
  entry.listCopyCode = &ListServerCopyCode;
  entry.checkEngineObject = &CheckServerEngineSql;
  return entry;
}

}  // namespace vela::data::postgres
