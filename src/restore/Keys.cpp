// Key restoration: the foreign keys of every restored table, once all tables hold their rows. A key the
// engine rejects is recorded, shown to the host and ends the pass.
#include "backup/ColumnCapture.h"
#include "component/Component.h"
#include "component/ConnectionStrings.h"
#include "component/Procedure.h"
#include "component/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

bool Component::RestoreForeignKeys(xml::Document& document, Connection& connection, Catalog& catalog,
                                   const std::string& msAccessIgnoreRelations) {
  return Trapped("RestoreForeignKeys", [&](Procedure& at) {
    for (xml::Element group : document.DocumentElement().Children()) {
      for (xml::Element element : group.Children()) {
        if (m_Cancel) continue;
        if (element.NodeName() != "Table") continue;
        at();
        std::string name = element.Attribute("Name").value_or("");
        Table table = catalog.GetTable(m_Provider == dpSQLServer ? BracketName(name) : name);
        at();
        if (!RestoreKeys(element, connection, table, catalog, true, msAccessIgnoreRelations)) return false;
      }
    }
    return true;
  });
}

bool Component::RestoreKeys(xml::Element tableElement, Connection& connection, const Table& catalogTable,
                            Catalog& catalog, bool foreignOnly, const std::string& msAccessIgnoreRelations) {
  return Trapped("RestoreKeys", [&](Procedure& at) {
    std::int64_t keyCounter = 0;
    xml::Element tableColumns = tableElement.FirstChild();
    const std::string tableName = Unbracket(catalogTable.name);
    for (xml::Element keys : tableElement.Children()) {
      if (keys.NodeName() != "Keys") continue;
      for (xml::Element element : keys.Children()) {
        ++keyCounter;
        at();
        std::optional<std::string> typeText = element.Attribute("Type");
        if (!typeText) continue;
        const int type = static_cast<int>(Value(*typeText).AsInt());
        if (!((type == adKeyForeign && foreignOnly) || (type != adKeyForeign && !foreignOnly))) continue;

        at();
        Key key;
        std::string stored = element.Attribute("Name").value_or("");
        if (m_Provider == dpSQLServer) {
          std::string base = text::ReplaceAll(tableName, " ", "_");
          if (IsRowGUID(stored))
            key.name = base + "_" + std::to_string(keyCounter);
          else if (stored.find(tableName) == std::string::npos)
            key.name = base + "_" + text::ReplaceAll(stored, " ", "_");
          else
            key.name = text::ReplaceAll(stored, " ", "_");
        } else {
          key.name = stored;
        }
        at();
        key.deleteRule = static_cast<int>(Value(element.Attribute("DeleteRule").value_or("")).AsInt());
        key.updateRule = static_cast<int>(Value(element.Attribute("UpdateRule").value_or("")).AsInt());
        key.relatedTable = element.Attribute("RelatedTable").value_or("");
        key.type = type;

        bool missingColumn = false;
        for (xml::Element reference : element.FirstChild().Children()) {
          at();
          std::string columnName = reference.Attribute("Name").value_or("");
          if (!GetTableColumn(tableColumns, columnName)) {
            missingColumn = true;
            break;
          }
          Column column;
          column.name = columnName;
          if (auto related = reference.Attribute("RelatedColumn")) column.relatedColumn = *related;
          key.columns.push_back(std::move(column));
        }
        if (missingColumn) continue;

        if (type != adKeyForeign) {
          at();
          catalog.AppendKey(catalogTable.name, key);
          continue;
        }
        at();
        bool create = m_IntelligentTableStructure || !utils().IsSystemObjectName(key.name) ||
                      text::EqualsNoCase(tableName, "VelaUserPermissions");
        if (!create) continue;
        try {
          if (m_Provider == dpAccess) {
            std::string first = key.columns.empty() ? std::string() : key.columns.front().name;
            if (IsInList(tableName + "." + first, msAccessIgnoreRelations)) continue;
            at();
            catalog.AppendKey(catalogTable.name, key);
          } else if (m_Provider == dpSQLServer) {
            if (key.columns.size() > 1) continue;
            std::string rules;
            if (key.deleteRule == adRICascade && key.updateRule == adRICascade)
              rules = "ON DELETE CASCADE ON UPDATE CASCADE";
            else if (key.deleteRule == adRICascade)
              rules = "ON DELETE CASCADE";
            else if (key.updateRule == adRICascade)
              rules = "ON UPDATE CASCADE";
            std::string column = key.columns.empty() ? std::string() : key.columns.front().name;
            std::string related = key.columns.empty() ? std::string() : key.columns.front().relatedColumn;
            at();
            connection.Execute("ALTER TABLE " + BracketName(tableName) + " ADD CONSTRAINT " +
                               BracketName(key.name) + " FOREIGN KEY(" + BracketName(column) +
                               ") REFERENCES DBO." + BracketName(key.relatedTable) + "(" +
                               BracketName(related) + ") " + rules + " NOT FOR REPLICATION");
          }
        } catch (const Error& error) {
          utils().RecordError(error.Number(), "VelaBackup.RestoreKeys", error.Description(),
                              static_cast<std::int32_t>(at.Line()), 0);
          std::int32_t answer = kAnswerOk;
          RaiseShowMessage(error.Description(), 48,
                           m_Provider == dpAccess ? "{9ACB9C96-03C6-4A06-99CC-F6872C040D78}"
                                                  : "{8CD86E77-D79F-49B4-8D2E-492F5303F7E5}",
                           answer);
          return false;
        }
      }
    }
    return true;
  });
}

}  // namespace vela
