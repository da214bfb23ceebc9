// Restores into an existing database: on a server, inside one transaction on the target, where the login
// owns it but may not create databases or where only chosen tables are replaced; into a file, in a copy of
// it made aside, where only chosen tables are replaced. Everywhere else the new database is built aside.
#include <set>

#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/utils/KeyValue.h"
#include "restore/Restore.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

bool Restorer::OpenBuild(const std::string& connectionString, const std::string& msAccessDBPassword,
                         RestorationObjects& objects) {
  m_Placing = Placing::kAside;
  // A server that cannot say leaves the choice to the making of a database aside, which names the fault.
  DatabaseRights rights;
  try {
    rights = ReadDatabaseRights(connectionString);
  } catch (const Error&) {
    rights = {};
  }
  if (rights.exists && m_Provider == dpSQLServer &&
      (m_ReplaceChosenTablesOnly || (!rights.mayCreate && rights.owns)))
    m_Placing = Placing::kInPlace;
  else if (rights.exists && m_Provider == dpAccess && m_ReplaceChosenTablesOnly)
    m_Placing = Placing::kCopyAside;

  if (m_Placing == Placing::kAside) {
    if (!CreateDatabase(connectionString, msAccessDBPassword)) return false;
    InitializeRestorationObjects(WithDatabasePassword(m_Aside, msAccessDBPassword), objects);
    return true;
  }
  operation_.RaiseUpdateProgress(0, GetMessageText(10));
  if (m_Placing == Placing::kInPlace) {
    // Everything from here to Conclude is one transaction: closed uncommitted, the target is as it was.
    InitializeRestorationObjects(WithRole(connectionString), objects);
    objects.connection->BeginTrans();
    return true;
  }
  // The copy keeps the target's protection: opened with its password, it is written with the same one.
  const bool isProtected = IsProtectedDatabase(connectionString);
  auto opened = [&](const std::string& string) {
    return isProtected ? WithDatabasePassword(string, msAccessDBPassword) : string;
  };
  m_Aside = NewAside(connectionString);
  {
    std::unique_ptr<Connection> target = OpenConnection(opened(connectionString));
    target->SnapshotTo(utils().KeyValue(m_Aside, "Data Source", ";"));
    target->Close();
  }
  InitializeRestorationObjects(opened(m_Aside), objects);
  return true;
}

bool Restorer::MakeRoom(const std::string& connectionString, const backupfile::BackupDocument& document,
                        Catalog& catalog) {
  if (m_Placing == Placing::kAside) return true;
  return Trapped("MakeRoom", [&](Procedure& at) {
    // Chosen tables: those of the document, which holds only what the choice kept. The whole database: the
    // schemas its tables and its own schema objects are in ("" the default one).
    std::vector<std::string> tables, schemas;
    std::set<std::string> seen;
    for (const std::vector<backupfile::TableEntry>& group : document.groups)
      for (const backupfile::TableEntry& entry : group) {
        if (!entry.IsTable()) continue;
        if (m_ReplaceChosenTablesOnly)
          tables.push_back(entry.name);
        else if (seen.insert(entry.schema.value_or("")).second)
          schemas.push_back(entry.schema.value_or(""));
      }
    if (!m_ReplaceChosenTablesOnly && document.engineObjects)
      for (const EngineObject& object : document.engineObjects->objects)
        if (object.kind == "schema" && seen.insert(object.name).second) schemas.push_back(object.name);
    if (m_ReplaceChosenTablesOnly && tables.empty()) return true;
    try {
      at();
      catalog.RemoveForRestore(tables, schemas);
      catalog.Refresh();
      return true;
    } catch (const Error& error) {
      if (error.Number() != kCommandError) throw;
      utils().RecordError(error.Number(), "VelaBackup.MakeRoom", error.Description(),
                          static_cast<std::int32_t>(at.Line()), 0);
      const std::string name = m_Provider == dpSQLServer
                                   ? utils().KeyValue(connectionString, "Initial Catalog", ";")
                                   : utils().KeyValue(connectionString, "Data Source", ";");
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(70, name, error.Description()), 64, kInPlaceBlockedGuid,
                                  answer);
      operation_.Refuse(OutcomeReason::kTargetDatabase);
      return false;
    }
  });
}

}  // namespace vela
