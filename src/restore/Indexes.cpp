// Index restoration: the primary key and the indexes of one restored table, each as one statement. An
// index the target engine refuses is left out and named in the notice of what was left out.
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
      // A file database's unique keys are made with the table (Tables.cpp).
      if (m_Provider == dpAccess && stored.constraint && stored.unique.ValueOr(false) &&
          !stored.primaryKey.ValueOr(false))
        continue;
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

      std::string refused;
      bool longText = false;
      for (const std::string& columnName : stored.columns) {
        at();
        const backupfile::ColumnEntry* column = entry.FindColumn(columnName);
        if (column == nullptr) {
          refused = "the table has no column " + columnName;
          break;
        }
        // A long text there (Tables.cpp); the server indexes it as long as each value fits an index entry.
        const int type = column->dataType;
        longText = longText || type == adLongVarChar || type == adLongVarWChar || type == adVariant;
        if (m_Provider == dpSQLServer && holder.primaryKey && column->nullable.ValueOr(false)) {
          refused =
              "the server refuses a primary key over the column " + column->name + ", which may be empty";
          break;
        }
        Column indexColumn;
        indexColumn.name = column->name;
        indexColumn.type = adVarWChar;
        holder.columns.push_back(std::move(indexColumn));
      }
      if (!refused.empty()) {
        LeaveIndexOut(entry.name, name, refused);
        continue;
      }

      at();
      const std::string fields = GetIndexFields(holder.columns);
      const std::string table = BracketName(Unbracket(catalogTable.name));
      const std::string index = BracketName(holder.name);
      std::string statement;
      if (holder.primaryKey) {
        // The key keeps its name: both engines hold named keys, and the server gives a name another table's
        // index has taken a free one, keeping the given one beside it. The name the file engine gives every
        // table's key that its schema leaves unnamed would collide in the server's schema from the second
        // table on: such a key is named after its table there, as before (but for a restore that keeps the
        // table structure as saved).
        const bool madeUp = m_Provider == dpSQLServer && !m_SameEngine && !m_IntelligentTableStructure &&
                            NamesEqual(holder.name, "PrimaryKey");
        const std::string constraint = madeUp ? "PK_" + Unbracket(catalogTable.name) : holder.name;
        statement = "ALTER TABLE " + table + " ADD CONSTRAINT " + BracketName(constraint) + " PRIMARY KEY (" +
                    fields + ")";
      } else if (stored.constraint && holder.unique && m_Provider == dpSQLServer) {
        statement = "ALTER TABLE " + table + " ADD CONSTRAINT " + index + " UNIQUE" +
                    (holder.clustered ? " CLUSTERED" : "") + " (" + fields + ")";
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
      } catch (const Error& error) {
        if (holder.unique && TableHaveDuplicate(catalogTable.name, holder.columns, connection)) {
          LeaveIndexOut(entry.name, name, "rows of the table repeat its values");
        } else if (longText && m_Provider == dpSQLServer && error.Number() != kDiskFull &&
                   error.Number() != kOutOfMemory) {
          // A text too long for an index entry: the rows stay, the index goes.
          LeaveIndexOut(entry.name, name, error.Description());
        } else {
          throw;
        }
      }
    }
  });
}

void Restorer::LeaveIndexOut(const std::string& table, const std::string& index, const std::string& reason) {
  m_IndexesLeftOut += "\nindex " + index + " of table " + table + ": " + reason;
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
