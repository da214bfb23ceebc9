#include "platform/data/postgres/ServerAddress.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <climits>
#include <map>

#include "platform/data/postgres/IndexNames.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

std::string ThisComputersName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsLocalName(std::string_view server) {
  if (server.empty() || text::EqualsNoCase(server, "(local)") || text::EqualsNoCase(server, "Local"))
    return true;
  std::string computer = ThisComputersName();
  if (computer.empty()) return false;
  if (text::EqualsNoCase(server, computer)) return true;
  // The computer's name without its domain ("box" for "box.example.org") names it as well.
  std::size_t dot = computer.find('.');
  return dot != std::string::npos && text::EqualsNoCase(server, std::string_view(computer).substr(0, dot));
}

[[noreturn]] void RefuseUrl(std::string why) {
  throw Error(kInvalidArgument, kSourceServerProvider, std::move(why));
}

// The items of a URL, as libpq reads them.
std::map<std::string, std::string> UrlItems(std::string_view url) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(std::string(url).c_str(), &message);
  if (options == nullptr) {
    std::string reason = message != nullptr ? message : "out of memory";
    PQfreemem(message);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    RefuseUrl("the URL cannot be read: " + reason);
  }
  std::map<std::string, std::string> items;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option)
    if (option->val != nullptr) items[option->keyword] = option->val;
  PQconninfoFree(options);
  return items;
}

}  // namespace

std::optional<std::string> ConnectionStringFromUrl(std::string_view text) {
  if (!text.starts_with("postgresql://") && !text.starts_with("postgres://")) return std::nullopt;
  std::map<std::string, std::string> items = UrlItems(text);
  for (const auto& [keyword, value] : items)
    if (keyword != "host" && keyword != "port" && keyword != "dbname" && keyword != "user" &&
        keyword != "password")
      RefuseUrl("the URL parameter \"" + keyword +
                "\" has no place in a connection string; give host, port, user and database only");
  std::string host = items["host"], port = items["port"];
  if (host.find(',') != std::string::npos || port.find(',') != std::string::npos)
    RefuseUrl("the URL names several servers; give one");
  if (items["dbname"].empty()) RefuseUrl("the URL names no database (postgresql://host/DATABASE)");

  std::string source = host.empty() ? "(local)" : host;
  if (!port.empty()) source += "," + port;
  std::string connectionString =
      utils::SetKeyValue(std::string("Provider=") + kServerProviderName, "Data Source", source, ";");
  connectionString = utils::SetKeyValue(connectionString, "Initial Catalog", items["dbname"], ";");
  if (!items["user"].empty())
    connectionString = utils::SetKeyValue(connectionString, "UserID", items["user"], ";");
  if (!items["password"].empty())
    connectionString = utils::SetKeyValue(connectionString, "Password", items["password"], ";");
  return connectionString;
}

bool IsSocketFolder(std::string_view server) {
  return server.starts_with('/');
}

std::string ServerAddress::ServerName() const {
  if (host.empty()) return port.empty() ? "(local)" : "(local):" + port;
  return port.empty() ? host : host + ":" + port;
}

std::string CatalogDatabase(std::string_view initialCatalog) {
  return text::EqualsNoCase(initialCatalog, "Master") ? "postgres" : std::string(initialCatalog);
}

void CheckDatabaseName(std::string_view name, std::string_view statement) {
  if (name.size() > kMaxNameBytes)
    throw Error(kCommandError, kSourceServerProvider,
                "The database name \"" + std::string(name) + "\" is longer than the " +
                    std::to_string(kMaxNameBytes) + " bytes the server keeps",
                {}, std::string(statement));
}

ServerAddress ReadServerAddress(std::string_view connectionString) {
  ServerAddress address;
  std::string source = std::string(text::Trim(utils::KeyValue(connectionString, "Data Source", ";")));
  if (source.empty()) source = std::string(text::Trim(utils::KeyValue(connectionString, "Server", ";")));

  // "host,port" (the port after the last comma).
  std::size_t comma = source.rfind(',');
  if (comma != std::string::npos) {
    address.port = std::string(text::Trim(std::string_view(source).substr(comma + 1)));
    source = std::string(text::Trim(std::string_view(source).substr(0, comma)));
  }
  // "server\instance": the instance, when it is a number, names the port.
  std::size_t backslash = source.find('\\');
  if (backslash != std::string::npos) {
    std::string instance = source.substr(backslash + 1);
    if (address.port.empty() && AllDigits(instance)) address.port = instance;
    source.resize(backslash);
  }
  if (!IsLocalName(source)) address.host = source;

  address.database = utils::KeyValue(connectionString, "Initial Catalog", ";");
  if (address.database.empty()) address.database = utils::KeyValue(connectionString, "Database", ";");
  address.database = CatalogDatabase(address.database);
  CheckDatabaseName(address.database);

  address.user = utils::KeyValue(connectionString, "UserID", ";");
  if (address.user.empty()) address.user = utils::KeyValue(connectionString, "User ID", ";");
  if (address.user.empty()) address.user = utils::KeyValue(connectionString, "UID", ";");
  address.password = utils::KeyValue(connectionString, "Password", ";");
  if (address.password.empty()) address.password = utils::KeyValue(connectionString, "Pwd", ";");
  address.role = utils::KeyValue(connectionString, "Role", ";");
  return address;
}

ConnectParameters::ConnectParameters(const ServerAddress& address) {
  auto add = [this](const char* keyword, const std::string& value) {
    if (!value.empty()) items_.emplace_back(keyword, value);
  };
  add("host", address.host);
  add("port", address.port);
  add("dbname", address.database);
  add("user", address.user);
  add("password", address.password);
  add("client_encoding", "UTF8");
  add("application_name", "VelaBackup");
  // The session forms every value is read and written in: ISO dates, times in UTC, floats exact, bytea in
  // hex. No value here holds a blank, so none needs libpq's escaping of "options".
  add("options", "-c DateStyle=ISO,YMD -c TimeZone=UTC -c extra_float_digits=3 -c bytea_output=hex");
  for (const auto& [keyword, value] : items_) {
    keywords_.push_back(keyword.c_str());
    values_.push_back(value.c_str());
  }
  keywords_.push_back(nullptr);
  values_.push_back(nullptr);
}

const char* ConnectParameters::Find(std::string_view keyword) const {
  for (const auto& [key, value] : items_)
    if (key == keyword) return value.c_str();
  return nullptr;
}

}  // namespace vela::data::postgres
