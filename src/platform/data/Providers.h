// The providers this build knows, one entry each: the provider's name and engine, and what only the
// engine knows (opening, creating and removing its databases, putting a direct copy in place, reaching the
// maintenance database, its own object names and its password keys). Each provider folder (sqlite/,
// postgres/) supplies its entry; the list is spelled out in Providers.cpp so that no static-initialisation
// order is relied on. An operation a provider does not offer is left empty and fails with kNotSupported,
// or, for opening a connection, as a provider that cannot be found.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/Enums.h"
#include "velabackup/data/Connection.h"

namespace vela::data {

class DatabaseManagement;

struct ProviderEntry {
  std::string name;                       // the "Provider" value of a connection string
  DataProvider engine = dpUnknown;        // the engine a backup records
  std::vector<std::string> passwordKeys;  // connection-string keys that hold a password
  std::function<std::unique_ptr<Connection>(std::string_view connectionString)> open;
  std::function<void(std::string_view connectionString)> create;
  std::function<void(std::string_view connectionString)> drop;
  std::function<bool(const std::filesystem::path& copy, std::string_view connectionString)> placeCopy;
  std::function<std::string(std::string_view connectionString)> aside;
  std::function<void(std::string_view aside, std::string_view connectionString)> putInPlace;
  std::function<std::string(std::string_view connectionString)> maintenance;
  std::function<bool(std::string_view name)> isSystemObjectName;
  // The engine's database-management component for native backups, and the name it is created by.
  std::string managementProgId;
  std::function<std::unique_ptr<DatabaseManagement>()> management;
};

std::span<const ProviderEntry> RegisteredProviders();

// Eight random hexadecimal digits, for the names of databases built aside, which must not meet another's.
std::string RandomTag();

}  // namespace vela::data
