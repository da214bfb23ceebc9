// The registry entry of the server-database provider ("SQLOLEDB.1", PostgreSQL), and the databases it
// builds aside for a restore.
//
// A database aside is named after its target ("<target>_restoring_<tag>", the target's name cut to fit) and
// is this process's own from before it exists until it is put in place or dropped: an advisory lock on a
// key of its name is held by a session of this process on the maintenance database, taken before the
// database is created. Once created it is private (PUBLIC may not connect) and carries a comment naming
// the tool and its target. A restore that ended without removing its database aside (the process killed,
// the server stopped) leaves one whose lock nobody holds: the next restore of the same target drops it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data/Providers.h"
#include "platform/data/postgres/ServerSession.h"

namespace vela::data::postgres {

ProviderEntry ServerProviderEntry();

// Runs `createSql`, the statement that creates the database `name`, on `maintenance`. A database this
// process named aside is locked first and made private and marked after; any other is created as it is.
void CreateServerDatabase(ServerSession& maintenance, const std::string& name, const std::string& createSql);

// Runs `dropSql`, the statement that drops the database `name`, on `maintenance`. A database this process
// built aside is no longer its own to keep once that was tried, whether it went or not.
void DropServerDatabase(ServerSession& maintenance, const std::string& name, const std::string& dropSql);

// The database `name` on the server `address` names is gone or no longer ours to keep: its lock is let go.
void ForgetAside(const ServerAddress& address, std::string_view name);

// The comment that marks a database aside for `target` as the tool's own.
std::string AsideComment(std::string_view target);

// For tests: called with the number of each step that changes a database while one is put in place (1,
// 2, ...); a step for which it returns true fails as if the server had refused it. Empty: none fails.
void SetSwapFault(std::function<bool(int step)> fault);

}  // namespace vela::data::postgres
