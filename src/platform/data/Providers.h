// The providers this build knows, one entry each: the provider's name and engine, and what only the
// engine knows (opening, creating and removing its databases, putting a direct copy in place and checking
// one, reaching the maintenance database, its own object names, its password keys, its short form of a
// connection and the folder of its local sockets). Each provider folder (sqlite/,
// postgres/) supplies its entry; the list is spelled out in Providers.cpp so that no static-initialisation
// order is relied on. An operation a provider does not offer is left empty and fails with kNotSupported,
// or, for opening a connection, as a provider that cannot be found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/Enums.h"
#include "velabackup/data/Connection.h"

namespace vela::data {

class DatabaseManagement;

// The largest precision of a decimal column the engine makes, and its largest text and binary lengths (0:
// the engine declares no such length, and none is checked).
struct ColumnLimits {
  std::int64_t precision = 0, textLength = 0, binaryLength = 0;
};

struct ProviderEntry {
  std::string name;                       // the "Provider" value of a connection string
  DataProvider engine = dpUnknown;        // the engine a backup records
  std::vector<std::string> passwordKeys;  // connection-string keys that hold a password
  std::vector<std::string> knownKeys;     // the connection-string keys it reads or accepts
  ColumnLimits columnLimits;              // the sizes of the columns it makes
  std::function<std::unique_ptr<Connection>(std::string_view connectionString)> open;
  std::function<void(std::string_view connectionString)> create;
  std::function<void(std::string_view connectionString)> drop;
  std::function<bool(const std::filesystem::path& copy, std::string_view connectionString)> placeCopy;
  std::function<std::string(std::string_view connectionString)> aside;
  std::function<void(std::string_view aside, std::string_view connectionString)> putInPlace;
  // Removes what a restore of that target left behind that is marked as ours and whose maker is no longer
  // running; one description per thing removed, for people.
  std::function<std::vector<std::string>(std::string_view connectionString)> removeLeftovers;
  std::function<std::string(std::string_view connectionString)> maintenance;
  std::function<bool(std::string_view name)> isSystemObjectName;
  // The connection string a short form names ("postgresql://..."); nullopt for a text of another form.
  std::function<std::optional<std::string>(std::string_view text)> fromShortForm;
  // Whether a server name is a folder of the engine's local sockets.
  std::function<bool(std::string_view server)> isLocalSocketFolder;
  // The check of a direct copy from its first `directCopyHeaderBytes` bytes and its size.
  std::size_t directCopyHeaderBytes = 0;
  std::function<DirectCopyCheck(std::string_view start, std::uint64_t size)> checkDirectCopy;
  // The objects of a direct copy that hold code, read by the engine's own tools.
  std::function<std::vector<CodeObject>(const std::filesystem::path& copy)> listCopyCode;
  // The check of every page of a direct copy unpacked into a file, keyed with `password` when one is given.
  std::function<DirectCopyCheck(const std::filesystem::path& copy, std::string_view password)> checkCopyPages;
  // Whether the database exists, may be created by the login, and is the login's.
  std::function<DatabaseRights(std::string_view connectionString)> rights;
  // Whether the database exists and is protected with a password.
  std::function<bool(std::string_view connectionString)> isProtected;
  // Why an engine object from a backup cannot be made from its SQL, or "" (EngineSql.h of the provider);
  // empty for a provider that makes no engine objects.
  std::function<std::string(const EngineObject& object)> checkEngineObject;
  // The SQL of a table's engine object without its foreign keys to the tables `leftOut` names; nullopt
  // when the provider cannot say it so.
  std::function<std::optional<std::string>(const EngineObject& table,
                                           const std::function<bool(std::string_view)>& leftOut)>
      withoutKeysTo;
  // The engine's database-management component for native backups, and the name it is created by.
  std::string managementProgId;
  std::function<std::unique_ptr<DatabaseManagement>()> management;
};

std::span<const ProviderEntry> RegisteredProviders();

// Eight random hexadecimal digits, for the names of databases built aside, which must not meet another's.
std::string RandomTag();

}  // namespace vela::data
