// Index restoration: the primary key and the indexes of one restored table, each as one statement. An
// index the target engine would refuse is left out without a message.
#include "backup/ColumnCapture.h"
#include "component/Component.h"
#include "component/Procedure.h"
#include "component/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

bool RequiredBoolean(const xml::Element& index, const char* name) {
  std::optional<std::string> value = index.Attribute(name);
  if (!value)
    throw Error(kTypeMismatch, "VelaBackup",
                "Type mismatch: index " + index.Attribute("Name").value_or("") + " has no attribute " + name);
  return DocumentBoolean(*value, name);
}

}  // namespace

void Component::RestoreIndexes(xml::Element tableElement, Connection& connection, const Table& catalogTable) {
  Trapped("RestoreIndexes", [&](Procedure& at) {
    xml::Element tableColumns = tableElement.FirstChild();
    for (xml::Element indexes : tableElement.Children()) {
      if (indexes.NodeName() != "Indexes") continue;
      for (xml::Element element : indexes.Children()) {
        at();
        std::string name = element.Attribute("Name").value_or("");
        if (name == "VelaUserPermissions_1") continue;
        Index holder;
        holder.name = m_Provider == dpSQLServer ? text::ReplaceAll(name, " ", "_") : name;
        if (m_Provider == dpSQLServer) holder.clustered = RequiredBoolean(element, "Clustered");
        holder.unique = RequiredBoolean(element, "Unique");
        holder.primaryKey = RequiredBoolean(element, "PK");
        at();
        std::string nulls = element.Attribute("IndexNulls").value_or("");
        std::int64_t indexNulls = Value(nulls).AsInt();
        if (indexNulls > 10) {
          if (m_Provider == dpAccess) holder.indexNulls = adIndexNullsIgnore;
        } else {
          holder.indexNulls = static_cast<int>(indexNulls);
        }

        bool refused = false;
        for (xml::Element reference : element.FirstChild().Children()) {
          at();
          std::string columnName = reference.Attribute("Name").value_or("");
          xml::Element column = GetTableColumn(tableColumns, columnName);
          if (!column) {
            refused = true;
            break;
          }
          if (m_Provider == dpSQLServer) {
            // The server refuses a primary key over a nullable column and any index over long texts.
            bool nullable = DocumentBoolean(column.Attribute("Nullable").value_or("0"), "Nullable");
            int type = static_cast<int>(Value(column.Attribute("DataType").value_or("")).AsInt());
            if ((holder.primaryKey && nullable) || type == adLongVarChar || type == adLongVarWChar) {
              refused = true;
              break;
            }
          }
          Column indexColumn;
          indexColumn.name = columnName;
          indexColumn.type = adVarWChar;
          holder.columns.push_back(std::move(indexColumn));
        }
        at();
        if (!refused && holder.unique)
          refused = TableHaveDuplicate(catalogTable.name, holder.columns, connection);
        if (refused) continue;

        at();
        const std::string fields = GetIndexFields(holder.columns);
        const std::string table = BracketName(Unbracket(catalogTable.name));
        const std::string index = BracketName(holder.name);
        std::string statement;
        if (holder.primaryKey) {
          std::string constraint =
              m_IntelligentTableStructure ? holder.name : "PK_" + Unbracket(catalogTable.name);
          statement = "ALTER TABLE " + table + " ADD CONSTRAINT " + BracketName(constraint) +
                      " PRIMARY KEY (" + fields + ")";
        } else if (holder.clustered && holder.unique) {
          statement = "CREATE UNIQUE CLUSTERED INDEX " + index + " ON " + table + " (" + fields + ")";
        } else if (holder.clustered) {
          statement = "CREATE CLUSTERED INDEX " + index + " ON " + table + " (" + fields + ")";
        } else if (holder.unique) {
          statement = "CREATE UNIQUE INDEX " + index + " ON " + table + " (" + fields + ")";
        } else {
          statement = "CREATE INDEX " + index + " ON " + table + " (" + fields + ")";
        }
        at();
        connection.Execute(statement);
      }
    }
  });
}

bool Component::TableHaveDuplicate(const std::string& tableName, const std::vector<Column>& columns,
                                   Connection& connection) {
  return Trapped("TableHaveDuplicate", [&](Procedure& at) {
    if (columns.empty()) return false;
    std::string list;
    for (const Column& column : columns) list += (list.empty() ? "" : ",") + BracketName(column.name);
    at();
    std::unique_ptr<Recordset> groups =
        connection.OpenRecordset("SELECT " + list + " FROM " + QuoteObjectName(tableName) + " GROUP BY " +
                                     list + " HAVING Count(*) > 1 ",
                                 adOpenForwardOnly, adLockReadOnly, adUseServer);
    at();
    // Both engines keep real duplicates out of a unique index; they differ only over NULLs, which the
    // server counts as equal.
    const std::size_t last = groups->FieldIndex(columns.back().name);
    while (!groups->Eof()) {
      if (groups->GetValue(last).IsNull()) {
        bool refuse = m_Provider == dpSQLServer;
        groups->Close();
        return refuse;
      }
      groups->MoveNext();
    }
    groups->Close();
    return false;
  });
}

std::string Component::GetIndexFields(const std::vector<Column>& columns) {
  return Trapped("GetIndexFields", [&](Procedure& at) {
    at();
    std::string fields;
    for (const Column& column : columns) fields += (fields.empty() ? "" : ", ") + BracketName(column.name);
    return fields;
  });
}

std::string Component::QuoteObjectName(std::string_view name) const {
  std::string quoted = BracketName(Unbracket(name));
  return m_Provider == dpSQLServer ? "DBO." + quoted : quoted;
}

}  // namespace vela
