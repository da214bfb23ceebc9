// Key restoration: the foreign keys of every restored table, once all tables hold their rows. A key the
// engine rejects is recorded, shown to the host and ends the pass.
#include <algorithm>

#include "component/ConnectionStrings.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "restore/Restore.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

bool Restorer::RestoreForeignKeys(const backupfile::BackupDocument& document, Connection& connection,
                                  Catalog& catalog, const std::string& msAccessIgnoreRelations) {
  return Trapped("RestoreForeignKeys", [&](Procedure& at) {
    for (const std::vector<backupfile::TableEntry>& group : document.groups) {
      for (const backupfile::TableEntry& entry : group) {
        if (operation_.Cancelled()) continue;
        if (!entry.IsTable()) continue;
        // A file table made by its own statement has every key of it already; a table without foreign
        // keys has none to add, and its catalog is not read.
        if (MadeAsWritten(entry.name)) continue;
        if (std::none_of(entry.keys.begin(), entry.keys.end(),
                         [](const backupfile::KeyEntry& key) { return key.type == adKeyForeign; }))
          continue;
        at();
        Table table = catalog.GetTable(m_Provider == dpSQLServer ? BracketName(entry.name) : entry.name);
        at();
        if (!RestoreKeys(entry, connection, table, catalog, true, msAccessIgnoreRelations)) return false;
      }
    }
    return true;
  });
}

bool Restorer::RestoreKeys(const backupfile::TableEntry& entry, Connection& connection,
                           const Table& catalogTable, Catalog& catalog, bool foreignOnly,
                           const std::string& msAccessIgnoreRelations) {
  return Trapped("RestoreKeys", [&](Procedure& at) {
    std::int64_t keyCounter = 0;
    const std::string tableName = Unbracket(catalogTable.name);
    for (const backupfile::KeyEntry& stored : entry.keys) {
      ++keyCounter;
      at();
      if (!stored.type) continue;
      const int type = *stored.type;
      if (!((type == adKeyForeign && foreignOnly) || (type != adKeyForeign && !foreignOnly))) continue;

      at();
      Key key;
      const std::string& storedName = stored.name;
      // A key keeps its name, bracketed where it reaches SQL; only a name that is a GUID (the file
      // engine's own relations) is replaced by one of the table's.
      if (m_Provider == dpSQLServer && backupfile::IsRowGUID(storedName))
        key.name = text::ReplaceAll(tableName, " ", "_") + "_" + std::to_string(keyCounter);
      else
        key.name = storedName;
      at();
      key.deleteRule = static_cast<int>(stored.deleteRule.Require());
      key.updateRule = static_cast<int>(stored.updateRule.Require());
      key.relatedTable = stored.relatedTable;
      key.type = type;

      bool missingColumn = false;
      for (const backupfile::KeyColumnEntry& reference : stored.columns) {
        at();
        const backupfile::ColumnEntry* found = entry.FindColumn(reference.name);
        if (found == nullptr) {
          missingColumn = true;
          break;
        }
        Column column;
        column.name = found->name;
        if (reference.relatedColumn) column.relatedColumn = *reference.relatedColumn;
        key.columns.push_back(std::move(column));
      }
      if (missingColumn) continue;

      if (type != adKeyForeign) {
        at();
        catalog.AppendKey(catalogTable.name, key);
        continue;
      }
      at();
      bool create = m_IntelligentTableStructure || !IsSystemObjectName(connection.Provider(), key.name) ||
                    text::EqualsNoCase(tableName, "VelaUserPermissions");
      if (!create) continue;
      try {
        if (m_Provider == dpAccess) {
          std::string first = key.columns.empty() ? std::string() : key.columns.front().name;
          if (IsInList(tableName + "." + first, msAccessIgnoreRelations)) continue;
          at();
          catalog.AppendKey(catalogTable.name, key);
        } else if (m_Provider == dpSQLServer) {
          // Every rule the key has, NO ACTION (the engine's own) left unsaid.
          std::string rules;
          if (const std::string words = RuleWords(key.deleteRule); !words.empty())
            rules = "ON DELETE " + words;
          if (const std::string words = RuleWords(key.updateRule); !words.empty())
            rules += std::string(rules.empty() ? "" : " ") + "ON UPDATE " + words;
          // A key of several columns names them all, in pairs of the same order.
          std::string columns, related;
          for (const Column& column : key.columns) {
            columns += (columns.empty() ? "" : ", ") + BracketName(column.name);
            related += (related.empty() ? "" : ", ") + BracketName(column.relatedColumn);
          }
          at();
          connection.Execute("ALTER TABLE " + BracketName(tableName) + " ADD CONSTRAINT " +
                             BracketName(key.name) + " FOREIGN KEY(" + columns + ") REFERENCES DBO." +
                             BracketName(key.relatedTable) + "(" + related + ") " + rules +
                             " NOT FOR REPLICATION");
        }
      } catch (const Error& error) {
        utils().RecordError(error.Number(), "VelaBackup.RestoreKeys", error.Description(),
                            static_cast<std::int32_t>(at.Line()), 0);
        std::int32_t answer = kAnswerOk;
        operation_.RaiseShowMessage(error.Description(), 48,
                                    m_Provider == dpAccess ? kFileKeyRefusedGuid : kServerKeyRefusedGuid,
                                    answer);
        return false;
      }
    }
    return true;
  });
}

}  // namespace vela
