// The database-management component of the server engine, on PostgreSQL's own pg_dump and pg_restore
// (custom format), run as child processes on this computer.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "platform/data/DatabaseManagement.h"
#include "velabackup/data/Connection.h"

namespace vela::data::postgres {

// The name the component is created by.
inline constexpr const char* kManagementProgId = "Velacorp.Data.Management.SQL.11";

std::unique_ptr<DatabaseManagement> NewServerManagement();

// The objects holding code in a native backup (pg_dump's custom format), as pg_restore reads them from the
// file alone: functions, procedures, aggregates, triggers, event triggers, rules, views, materialized
// views, and indexes over expressions or part of the rows.
std::vector<CodeObject> ListServerCopyCode(const std::filesystem::path& copy);

// A value for a libpq connection-string item, quoted so that nothing in it reads as another item:
// "dbname='x'" for a name holding blanks, quotes or "=".
std::string ConninfoItem(std::string_view keyword, std::string_view value);

}  // namespace vela::data::postgres
