// Index restoration: the primary key and the indexes of one restored table, each as one statement. An
// index the target engine would refuse is left out without a message.
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "restore/Restore.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

void Restorer::RestoreIndexes(const backupfile::TableEntry& entry, Connection& connection,
                              const Table& catalogTable) {
  Trapped("RestoreIndexes", [&](Procedure& at) {
    for (const backupfile::IndexEntry& stored : entry.indexes) {
      at();
      const std::string& name = stored.name;
      if (name == "VelaUserPermissions_1") continue;
      Index holder;
      // Names go to SQL bracketed, so an index keeps its name on either engine, blanks and all.
      holder.name = name;
      if (m_Provider == dpSQLServer) holder.clustered = stored.clustered.Require();
      holder.unique = stored.unique.Require();
      holder.primaryKey = stored.primaryKey.Require();
      at();
      std::int64_t indexNulls = stored.indexNulls.Require();
      if (indexNulls > 10) {
        if (m_Provider == dpAccess) holder.indexNulls = adIndexNullsIgnore;
      } else {
        holder.indexNulls = static_cast<int>(indexNulls);
      }

      bool refused = false;
      for (const std::string& columnName : stored.columns) {
        at();
        const backupfile::ColumnEntry* column = entry.FindColumn(columnName);
        if (column == nullptr) {
          refused = true;
          break;
        }
        if (m_Provider == dpSQLServer) {
          // The server refuses a primary key over a nullable column and any index over long texts.
          bool nullable = column->nullable.ValueOr(false);
          int type = column->dataType;
          if ((holder.primaryKey && nullable) || type == adLongVarChar || type == adLongVarWChar ||
              type == adVariant) {  // a long text there (Tables.cpp)
            refused = true;
            break;
          }
        }
        Column indexColumn;
        indexColumn.name = columnName;
        indexColumn.type = adVarWChar;
        holder.columns.push_back(std::move(indexColumn));
      }
      if (refused) continue;

      at();
      const std::string fields = GetIndexFields(holder.columns);
      const std::string table = BracketName(Unbracket(catalogTable.name));
      const std::string index = BracketName(holder.name);
      std::string statement;
      if (holder.primaryKey) {
        std::string constraint =
            m_IntelligentTableStructure ? holder.name : "PK_" + Unbracket(catalogTable.name);
        statement = "ALTER TABLE " + table + " ADD CONSTRAINT " + BracketName(constraint) + " PRIMARY KEY (" +
                    fields + ")";
      } else if (holder.clustered && holder.unique) {
        statement = "CREATE UNIQUE CLUSTERED INDEX " + index + " ON " + table + " (" + fields + ")";
      } else if (holder.clustered) {
        statement = "CREATE CLUSTERED INDEX " + index + " ON " + table + " (" + fields + ")";
      } else if (holder.unique) {
        statement = "CREATE UNIQUE INDEX " + index + " ON " + table + " (" + fields + ")";
      } else {
        statement = "CREATE INDEX " + index + " ON " + table + " (" + fields + ")";
      }
      // The index is made first; only when the engine refuses a unique one does the duplicate probe tell
      // whether rows that repeat are the reason, and then the index is left out. (Probing first would
      // read the whole table for every unique index, a primary key's included.)
      at();
      try {
        connection.Execute(statement);
      } catch (const Error&) {
        if (!holder.unique || !TableHaveDuplicate(catalogTable.name, holder.columns, connection)) throw;
      }
    }
  });
}

bool Restorer::TableHaveDuplicate(const std::string& tableName, const std::vector<Column>& columns,
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
    // Both engines refuse a unique index over rows that repeat the same values; rows that repeat with a
    // NULL among them are no duplicates to either (the server engine does not count NULLs as equal).
    bool duplicates = false;
    for (; !groups->Eof() && !duplicates; groups->MoveNext()) {
      duplicates = true;
      for (std::size_t i = 0; i < groups->FieldCount(); ++i)
        if (groups->GetValue(i).IsNull()) duplicates = false;
    }
    groups->Close();
    return duplicates;
  });
}

std::string Restorer::GetIndexFields(const std::vector<Column>& columns) {
  return Trapped("GetIndexFields", [&](Procedure& at) {
    at();
    std::string fields;
    for (const Column& column : columns) fields += (fields.empty() ? "" : ", ") + BracketName(column.name);
    return fields;
  });
}

std::string Restorer::QuoteObjectName(std::string_view name) const {
  std::string quoted = BracketName(Unbracket(name));
  return m_Provider == dpSQLServer ? "DBO." + quoted : quoted;
}

}  // namespace vela
