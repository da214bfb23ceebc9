// Index and key capture: the "Index" elements of a saved table (primary keys and unique constraints
// travel as indexes) and its foreign keys as "Key" elements.
#include "backup/BackupDocument.h"
#include "backup/Save.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;
using namespace backup;

xml::Element Saver::SaveIndexes(xml::Element indexes, const Table& table, Connection& connection) {
  return Trapped("SaveIndexes", [&](Procedure& at) {
    for (const Index& index : table.indexes) {
      at();
      if (IsSystemObjectName(connection.Provider(), index.name)) continue;
      // Relations of file databases keep an index of their own, named FK_...; the relation brings it back.
      if (m_Provider == dpAccess && index.name.compare(0, 3, "FK_") == 0) continue;
      at();
      xml::Element element = indexes.CreateElement(doc::kIndex);
      element.SetAttribute(doc::kName, index.name);
      element.SetBooleanAttribute(doc::kClustered, index.clustered);
      element.SetBooleanAttribute(doc::kUnique, index.unique);
      element.SetBooleanAttribute(doc::kPK, index.primaryKey);
      element.SetAttribute(doc::kIndexNulls, index.indexNulls);
      at();
      xml::Element columns = element.CreateElement(doc::kColumns);
      for (const Column& column : index.columns) {
        xml::Element columnElement = columns.CreateElement(doc::kColumn);
        columnElement.SetAttribute(doc::kName, column.name);
        columns.AppendChild(columnElement);
      }
      element.AppendChild(columns);
      indexes.AppendChild(element);
    }
    return indexes;
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

xml::Element Saver::SaveKeys(xml::Element keys, const Table& table, Connection& connection) {
  return Trapped("SaveKeys", [&](Procedure& at) {
    for (const Key& key : table.keys) {
      if (key.type != adKeyForeign) continue;
      at();
      xml::Element element = keys.CreateElement(doc::kKey);
      element.SetAttribute(doc::kName, key.name);
      element.SetAttribute(doc::kDeleteRule, key.deleteRule);
      element.SetAttribute(doc::kUpdateRule, key.updateRule);
      element.SetAttribute(doc::kType, key.type);
      element.SetAttribute(doc::kRelatedTable, key.relatedTable);
      xml::Element columns = element.CreateElement(doc::kColumns);
      auto addPair = [&](const std::string& name, const std::string& related) {
        xml::Element column = columns.CreateElement(doc::kColumn);
        column.SetAttribute(doc::kName, name);
        column.SetAttribute(doc::kRelatedColumn, related);
        columns.AppendChild(column);
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
        }
        pairs->Close();
      }
      at();
      element.AppendChild(columns);
      keys.AppendChild(element);
    }
    return keys;
  });
}

}  // namespace vela
