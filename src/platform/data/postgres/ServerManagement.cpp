#include "platform/data/postgres/ServerManagement.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <regex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerAddress.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerProvider.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/text/Strings.h"
#include "platform/utils/ChildProcess.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {
namespace {

namespace fs = std::filesystem;

// The major version of a version text: 15 for "15.10 (Debian 15.10-0+deb12u1)"; 0 when there is none.
int MajorOf(std::string_view version) {
  int major = 0;
  for (char c : version) {
    if (c < '0' || c > '9') break;
    major = major * 10 + (c - '0');
    if (major > 1000) return 0;
  }
  return major;
}

// What a tool says of its version ("pg_dump (PostgreSQL) 15.10 (Debian ...)"): "15.10".
std::string ToolVersion(const std::string& tool) {
  std::string said;
  utils::ChildOutcome outcome = utils::RunChild({{tool, "--version"}, {}},
                                                [&](utils::Stream stream, std::string_view line) {
                                                  if (stream == utils::Stream::kOutput && said.empty())
                                                    said = line;
                                                },
                                                {});
  std::smatch match;
  static const std::regex pattern(R"(\(PostgreSQL\) ([0-9]+(\.[0-9]+)*))");
  if (outcome.exitStatus != 0 || !std::regex_search(said, match, pattern))
    throw Error(kGeneralFailure, kSourceData,
                "Could not tell the version of " + tool + " (it said \"" + said + "\")");
  return match[1].str();
}

// The folder of PostgreSQL's tools that serves a server of this major version: VELA_PG_BINDIR when set,
// else the oldest installed version that is not older than the server (/usr/lib/postgresql/<n>/bin) or,
// `newest`, the newest installed (which reads the files of every older one), else whatever the PATH
// offers. `major` receives the tools' major version when the folder's name says it, 0 when the tools
// must be asked.
std::string ToolFolder(int serverMajor, int& major, bool newest = false) {
  major = 0;
  if (const char* chosen = std::getenv("VELA_PG_BINDIR"); chosen && *chosen) return chosen;
  int best = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const int installed = MajorOf(entry.path().filename().string());
    if (installed < serverMajor || !fs::exists(entry.path() / "bin" / "pg_dump", ec)) continue;
    if (best == 0 || (newest ? installed > best : installed < best)) best = installed;
  }
  if (best != 0) {
    major = best;
    return "/usr/lib/postgresql/" + std::to_string(best) + "/bin";
  }
  if (const char* path = std::getenv("PATH"))
    for (const std::string& folder : text::Split(path, ':'))
      if (!folder.empty() && ::access((fs::path(folder) / "pg_dump").c_str(), X_OK) == 0) return folder;
  return "/usr/bin";
}

// The tool's messages that say what went wrong, kept while it runs; its progress lines are not.
class ToolMessages {
 public:
  void Add(std::string_view line) {
    lines_.emplace_back(line);
    if (lines_.size() > 6) lines_.pop_front();
  }
  std::string Text() const {
    std::string text;
    for (const std::string& line : lines_) text += (text.empty() ? "" : "\n") + line;
    return text;
  }

 private:
  std::deque<std::string> lines_;
};

bool IsProgressLine(std::string_view line, std::string_view tool) {
  if (!line.starts_with(tool) || line.size() <= tool.size() + 2) return false;
  std::string_view rest = line.substr(tool.size() + 2);
  for (std::string_view word : {"error:", "warning:", "detail:", "hint:", "from TOC entry"})
    if (rest.starts_with(word)) return false;
  return true;
}

[[noreturn]] void ToolFailed(const std::string& name, int status, const ToolMessages& messages) {
  std::string said = messages.Text();
  throw Error(kCommandError, kSourceData,
              name +
                  (status < 0 ? std::string(" was ended by a signal")
                              : " ended with status " + std::to_string(status)) +
                  (said.empty() ? std::string() : ": " + said));
}

class ServerManagement final : public DatabaseManagement {
 public:
  void Connect() override {
    address_ = ReadServerAddress(LoginString("Master"));
    connection_ = OpenServerConnection(LoginString("Master"));
    auto& session = dynamic_cast<ServerSession&>(*connection_);
    ResultHandle version = session.QueryServerSql("SHOW server_version");
    serverVersion_ = PQgetvalue(version.get(), 0, 0);
    folder_ = ToolFolder(MajorOf(serverVersion_), folderMajor_);
  }

  std::string ToolsMissing(bool restore) override {
    const std::string name = restore ? "pg_restore" : "pg_dump";
    const fs::path path = fs::path(folder_) / name;
    if (::access(path.c_str(), X_OK) != 0)
      return name + " is not installed (looked for " + path.string() +
             "): install PostgreSQL's client tools, or name their folder in VELA_PG_BINDIR";
    try {
      Tool(name);
    } catch (const Error& error) {
      return error.Description();
    }
    return {};
  }

  std::string MasterDBPath() override {
    fs::path base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state && fs::path(state).is_absolute())
      base = state;
    else if (const char* home = std::getenv("HOME"); home && *home)
      base = fs::path(home) / ".local" / "state";
    else
      throw Error(kPathAccess, kSourceData,
                  "No folder for server backups: neither XDG_STATE_HOME nor HOME is set");
    fs::path folder = base / "velabackup" / "server-backups";
    fs::create_directories(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
      throw Error(kPathAccess, kSourceData,
                  "Could not make the folder " + folder.string() + ": " + std::strerror(errno));
    // A full copy of a database lands here: the folder is the user's own and nobody else's.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
      throw Error(kPathAccess, kSourceData,
                  "The folder " + folder.string() + " for server backups is not the user's own");
    if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
      throw Error(kPathAccess, kSourceData, "Could not make the folder " + folder.string() + " private");
    return folder.string();
  }

  void BackupDatabase(std::string& database, std::string& file, NativeProgress& progress) override {
    const std::string tool = Tool("pg_dump");
    // Progress counts the tables whose rows are dumped, out of the database's own tables.
    std::int64_t tables = 0;
    {
      std::unique_ptr<Connection> source = OpenServerConnection(LoginString(database));
      ResultHandle count = dynamic_cast<ServerSession&>(*source).QueryServerSql(
          "SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.relkind = "
          "'r' "
          "AND n.nspname NOT IN ('pg_catalog', 'information_schema') AND n.nspname NOT LIKE 'pg\\_toast%'");
      tables = std::atoll(PQgetvalue(count.get(), 0, 0));
    }
    std::int64_t done = 0;
    Run(tool, "pg_dump",
        {"--format=custom", "--verbose", "--file=" + file,
         "--dbname=" + ConninfoItem("dbname", CatalogDatabase(database))},
        progress, [&](std::string_view line) {
          if (line.starts_with("pg_dump: dumping contents of table "))
            return ++done * 100 / std::max<std::int64_t>(tables, 1);
          return std::int64_t{-1};
        });
    if (progress.NativeStopRequested()) {
      std::error_code ec;
      fs::remove(file, ec);  // half a dump is of no use to anyone
    }
  }

  void RestoreDatabase(std::string& database, std::string& file, NativeProgress& progress) override {
    const std::string tool = Tool("pg_restore");
    // Progress counts the objects restored out of those the backup lists.
    std::int64_t objects = 0;
    ToolMessages listed;
    utils::ChildOutcome list = utils::RunChild({{tool, "--list", file}, {}},
                                               [&](utils::Stream stream, std::string_view line) {
                                                 if (stream == utils::Stream::kError)
                                                   listed.Add(line);
                                                 else if (!line.empty() && line.front() != ';')
                                                   ++objects;
                                               },
                                               {});
    if (list.exitStatus != 0) ToolFailed("pg_restore", list.exitStatus, listed);

    auto& session = dynamic_cast<ServerSession&>(*connection_);
    CreateServerDatabase(session, CatalogDatabase(database),
                         "CREATE DATABASE " + QuoteName(CatalogDatabase(database)) + " TEMPLATE template0");
    // Under a role the login makes the database and hands it to the role, which then makes everything in
    // it: the copy's code runs with the role's rights, not the login's.
    std::vector<std::string> arguments = {"--verbose", "--exit-on-error", "--no-owner", "--no-privileges"};
    if (!Role.empty()) {
      session.RunServerSql("ALTER DATABASE " + QuoteName(CatalogDatabase(database)) + " OWNER TO " +
                           QuoteName(Role));
      arguments.push_back("--role=" + Role);
    }
    arguments.push_back("--dbname=" + ConninfoItem("dbname", CatalogDatabase(database)));
    arguments.push_back(file);
    std::int64_t done = 0;
    // The restoring login (or role) owns what it makes; grants to roles of the source's server stay behind.
    const bool stopped = Run(tool, "pg_restore", std::move(arguments), progress, [&](std::string_view line) {
      for (std::string_view step : {"pg_restore: creating ", "pg_restore: processing data ",
                                    "pg_restore: executing ", "pg_restore: processing item "})
        if (line.starts_with(step)) return ++done * 100 / std::max<std::int64_t>(objects, 1);
      return std::int64_t{-1};
    });
    if (stopped) EndSessionsOfStoppedTool(session, CatalogDatabase(database));
  }

  void Disconnect() override { connection_.reset(); }

 private:
  // A server connection string for `database` with the component's login.
  std::string LoginString(std::string_view database) const {
    std::string text = std::string("Provider=") + kServerProviderName;
    text = utils::SetKeyValue(text, "Data Source", InstanceName, ";");
    text = utils::SetKeyValue(text, "Initial Catalog", database, ";");
    if (!UserName.empty()) text = utils::SetKeyValue(text, "UserID", UserName, ";");
    if (!Password.empty()) text = utils::SetKeyValue(text, "Password", Password, ";");
    return text;
  }

  void RequireConnected() const {
    if (!connection_)
      throw Error(kGeneralFailure, kSourceData, "The database-management component is not connected");
  }

  // The tool's path, once its version is known to serve the server.
  std::string Tool(const std::string& name) const {
    RequireConnected();
    std::string path = (fs::path(folder_) / name).string();
    // Tools of the distribution's versioned folders need not be asked (each asking costs a process).
    if (folderMajor_ != 0) return path;
    std::string version = ToolVersion(path);
    if (MajorOf(version) < MajorOf(serverVersion_))
      throw Error(kNotSupported, kSourceData,
                  name + " " + version + " (" + path + ") cannot work with the PostgreSQL " + serverVersion_ +
                      " server: install the client tools of version " +
                      std::to_string(MajorOf(serverVersion_)) +
                      " or later, or name their folder in VELA_PG_BINDIR");
    return path;
  }

  // Runs a tool against the server with the login; `step` turns a line into a percentage (-1: not one).
  template <class Step>
  bool Run(const std::string& path, const std::string& name, std::vector<std::string> arguments,
           NativeProgress& progress, Step&& step) {
    utils::ChildRun run;
    run.arguments = {path, "--no-password"};
    if (!address_.host.empty()) run.arguments.push_back("--host=" + address_.host);
    if (!address_.port.empty()) run.arguments.push_back("--port=" + address_.port);
    if (!address_.user.empty()) run.arguments.push_back("--username=" + address_.user);
    run.arguments.insert(run.arguments.end(), arguments.begin(), arguments.end());
    // The password goes to the child's environment only, which no other user can read.
    if (!address_.password.empty()) run.environment.emplace_back("PGPASSWORD", address_.password);
    ToolMessages messages;
    std::int64_t shown = 0;
    progress.SetSQLBackupProgress(0);
    utils::ChildOutcome outcome = utils::RunChild(
        run,
        [&](utils::Stream, std::string_view line) {
          const std::int64_t percent = step(line);
          if (percent < 0) {
            if (!IsProgressLine(line, name)) messages.Add(line);
            return;
          }
          // 100 is said once the tool has ended well.
          const std::int64_t value = std::min<std::int64_t>(percent, 99);
          if (value > shown) progress.SetSQLBackupProgress(static_cast<std::int16_t>(shown = value));
        },
        [&] { return progress.NativeStopRequested(); });
    if (outcome.stopped) return true;
    if (outcome.exitStatus != 0) ToolFailed(name, outcome.exitStatus, messages);
    progress.SetSQLBackupProgress(100);
    return false;
  }

  // The server goes on with the statement of a tool that was stopped until it notices the tool is gone;
  // its session is ended now so that the half-made database can be dropped. Nobody else knows the name
  // of a database the component made moments ago.
  static void EndSessionsOfStoppedTool(ServerSession& session, const std::string& database) {
    const std::string name[] = {database};
    for (int attempt = 0; attempt < 100; ++attempt) {
      ResultHandle left = session.QueryServerSql(
          "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = $1 AND pid <> "
          "pg_backend_pid()",
          name);
      if (std::atoll(PQgetvalue(left.get(), 0, 0)) == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  ServerAddress address_;
  std::unique_ptr<Connection> connection_;
  std::string serverVersion_;
  std::string folder_;
  int folderMajor_ = 0;
};

}  // namespace

std::string ConninfoItem(std::string_view keyword, std::string_view value) {
  std::string text(keyword);
  text += "='";
  for (char c : value) {
    if (c == '\'' || c == '\\') text += '\\';
    text += c;
  }
  return text + "'";
}

std::unique_ptr<DatabaseManagement> NewServerManagement() {
  return std::make_unique<ServerManagement>();
}

std::vector<CodeObject> ListServerCopyCode(const std::filesystem::path& copy) {
  int major = 0;
  const std::string tool = (fs::path(ToolFolder(0, major, true)) / "pg_restore").string();
  // The script of the copy's definitions, each after a header "-- Name: n; Type: t; Schema: s; Owner: o",
  // read from the right since a name may hold anything. An index holds code when its statement computes
  // its keys or names the rows it covers.
  static const std::vector<std::pair<std::string_view, std::string_view>> kinds = {
      {"FUNCTION", "function"},
      {"PROCEDURE", "procedure"},
      {"AGGREGATE", "aggregate"},
      {"TRIGGER", "trigger"},
      {"EVENT TRIGGER", "event trigger"},
      {"RULE", "rule"},
      {"VIEW", "view"},
      {"MATERIALIZED VIEW", "materialized view"},
      {"INDEX", "index"}};
  std::vector<CodeObject> found;
  std::optional<CodeObject> index;  // an index whose statement is still to be read
  std::string statement;
  ToolMessages messages;
  auto endIndex = [&] {
    std::size_t keys = statement.find(" USING ");
    keys = statement.find('(', keys == std::string::npos ? 0 : keys);
    if (keys != std::string::npos && (statement.find('(', keys + 1) != std::string::npos ||
                                      statement.find(" WHERE ", keys) != std::string::npos))
      found.push_back(std::move(*index));
    index.reset();
    statement.clear();
  };
  utils::ChildOutcome outcome = utils::RunChild(
      {{tool, "--schema-only", "--file=-", copy.string()}, {}},
      [&](utils::Stream stream, std::string_view line) {
        if (stream == utils::Stream::kError) {
          messages.Add(line);
          return;
        }
        if (index && !line.starts_with("--")) {
          statement.append(line).push_back(' ');
          if (line.ends_with(";")) endIndex();
          return;
        }
        if (!line.starts_with("-- Name: ")) return;
        std::size_t owner = line.rfind("; Owner: ");
        std::size_t schema = line.rfind("; Schema: ", owner);
        std::size_t type = schema == std::string_view::npos ? schema : line.rfind("; Type: ", schema);
        if (owner == std::string_view::npos || schema == std::string_view::npos ||
            type == std::string_view::npos || type < 9)
          return;
        std::string_view name = line.substr(9, type - 9);
        std::string_view kind = line.substr(type + 8, schema - type - 8);
        std::string_view space = line.substr(schema + 10, owner - schema - 10);
        for (const auto& [engineKind, words] : kinds) {
          if (kind != engineKind) continue;
          CodeObject object{std::string(words),
                            (space == "-" ? std::string() : std::string(space) + ".") + std::string(name)};
          if (kind == "INDEX")
            index = std::move(object);
          else
            found.push_back(std::move(object));
        }
      },
      {});
  if (outcome.exitStatus != 0) ToolFailed("pg_restore", outcome.exitStatus, messages);
  return found;
}

}  // namespace vela::data::postgres
