// Index and key capture: the indexes of a saved table (primary keys and unique constraints travel as
// indexes) and its foreign keys.
#include <algorithm>

#include "backup/Save.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;
using namespace backupfile;

void Saver::SaveIndexes(TableEntry& entry, const Table& table, Connection& connection) {
  Trapped("SaveIndexes", [&](Procedure& at) {
    for (const Index& index : table.indexes) {
      at();
      if (IsSystemObjectName(connection.Provider(), index.name)) continue;
      // Relations of file databases keep an index of their own, named FK_...; the relation brings it back.
      if (m_Provider == dpAccess && index.name.compare(0, 3, "FK_") == 0) continue;
      at();
      IndexEntry& element = entry.indexes.emplace_back();
      element.name = index.name;
      element.clustered.value = index.clustered;
      element.unique.value = index.unique;
      element.primaryKey.value = index.primaryKey;
      element.indexNulls.value = index.indexNulls;
      // A unique index that is the table's unique key comes back as that key, under its name.
      element.constraint = index.unique && !index.primaryKey &&
                           std::any_of(table.keys.begin(), table.keys.end(), [&](const Key& key) {
                             return key.type == adKeyUnique && key.name == index.name;
                           });
      at();
      for (const Column& column : index.columns) element.columns.push_back(column.name);
    }
  });
}

namespace {

// The foreign key's first two column pairs, from the server's system tables.
std::string ServerKeyQuery(std::string_view keyName) {
  return "SELECT sysobjects.Name, sysobjects.Type, "
         "sysrtable.name AS RefTableName, sysftable.name AS ForeignTableName, "
         "r1col.name as RCol1, f1col.name as FCol1, "
         "r2col.name as RCol2, f2col.name as FCol2 "
         "FROM sysobjects "
         "LEFT JOIN sysreferences ON constid = sysobjects.id "
         "LEFT JOIN sysobjects AS sysftable ON sysftable.ID = sysobjects.parent_obj "
         "LEFT JOIN sysobjects AS sysrtable ON sysrtable.ID = sysreferences.rkeyid "
         "LEFT JOIN syscolumns AS r1col ON r1col.colid = sysreferences.rkey1 and "
         "          r1col.id = sysreferences.rkeyid "
         "LEFT JOIN syscolumns AS f1col ON f1col.colid = sysreferences.fkey1 and "
         "          f1col.id = sysreferences.fkeyid "
         "LEFT JOIN syscolumns AS r2col ON r2col.colid = sysreferences.rkey2 and "
         "          r2col.id = sysreferences.rkeyid "
         "LEFT JOIN syscolumns AS f2col ON f2col.colid = sysreferences.fkey2 and "
         "          f2col.id = sysreferences.fkeyid "
         "          WHERE sysobjects.Type IN ('F') AND sysobjects.Name = '" +
         EscapeText(keyName) + "'";
}

}  // namespace

void Saver::SaveKeys(TableEntry& entry, const Table& table, Connection& connection) {
  Trapped("SaveKeys", [&](Procedure& at) {
    for (const Key& key : table.keys) {
      if (key.type != adKeyForeign) continue;
      at();
      KeyEntry element;
      element.name = key.name;
      element.deleteRule.value = key.deleteRule;
      element.updateRule.value = key.updateRule;
      element.type = key.type;
      element.relatedTable = key.relatedTable;
      auto addPair = [&](const std::string& name, const std::string& related) {
        element.columns.push_back({name, related});
      };
      if (m_Provider != dpSQLServer) {
        at();
        for (const Column& column : key.columns) addPair(column.name, column.relatedColumn);
      } else {
        at();
        std::unique_ptr<Recordset> pairs = connection.OpenRecordset(
            ServerKeyQuery(key.name), adOpenForwardOnly, adLockReadOnly, adUseClient);
        at();
        if (key.columns.size() > 2) {
          // The system tables' query gives two pairs; a wider key keeps every pair the catalog knows.
          for (const Column& column : key.columns) addPair(column.name, column.relatedColumn);
        } else if (pairs->RecordCount() == 1) {
          const Value &f1 = pairs->GetValue("FCol1"), &r1 = pairs->GetValue("RCol1");
          if (!f1.IsNull() && !r1.IsNull()) addPair(f1.AsText(), r1.AsText());
          const Value &f2 = pairs->GetValue("FCol2"), &r2 = pairs->GetValue("RCol2");
          if (!f2.IsNull() && !r2.IsNull()) addPair(f2.AsText(), r2.AsText());
        } else {
          // A name the system tables give more than once (a partitioned table's key, which each partition
          // has a copy of) keeps the pairs the catalog knows.
          for (const Column& column : key.columns) addPair(column.name, column.relatedColumn);
        }
        pairs->Close();
      }
      at();
      entry.keys.push_back(std::move(element));
    }
  });
}

}  // namespace vela
