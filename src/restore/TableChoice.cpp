// The table choice of a restore: the tables of the backup it brings back, with their rows or without.
#include <algorithm>

#include "backupfile/TableChoice.h"
#include "component/Procedure.h"
#include "restore/Restore.h"

namespace vela {

void Restorer::ChooseTables(backupfile::BackupDocument& document, bool serverNames) {
  Trapped("ChooseTables", [&](Procedure& at) {
    if (!m_Tables.ChoosesTables() && !m_Tables.schemaOnly) return;
    std::vector<std::string> tables;
    for (const std::vector<backupfile::TableEntry>& group : document.groups)
      for (const backupfile::TableEntry& entry : group)
        if (entry.IsTable()) tables.push_back(entry.QualifiedName());
    at();
    const std::vector<std::string> leftOut =
        m_Tables.ChoosesTables() ? backupfile::TablesLeftOut(m_Tables, tables, serverNames, "the backup")
                                 : std::vector<std::string>();
    // A table whose data file is not there is made without rows; the files of the tables left out are not
    // read either.
    for (const std::vector<backupfile::TableEntry>& group : document.groups)
      for (const backupfile::TableEntry& entry : group) {
        if (!entry.IsTable() || !entry.fileName) continue;
        if (!m_Tables.schemaOnly &&
            std::find(leftOut.begin(), leftOut.end(), entry.QualifiedName()) == leftOut.end())
          continue;
        at();
        m_RowsLeftOut.insert(m_DataFolder + utils().NamePart(*entry.fileName));
      }
    at();
    backupfile::TellWhatWentWithTables(operation_,
                                       backupfile::LeaveTablesOut(document, leftOut, serverNames));
  });
}

}  // namespace vela
