// Column capture: one "Column" element per column of a saved table, from the COLUMNS schema rowset, the
// catalog's column and, on a server database, its identity and default objects.
#include "backup/BackupDocument.h"
#include "backup/Save.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;
using namespace backup;

xml::Element Saver::SaveColumns(xml::Element columns, const Table& table, Connection& connection) {
  return Trapped("SaveColumns", [&](Procedure& at) {
    at();
    std::unique_ptr<Recordset> schema = connection.OpenSchemaColumns(table.name);
    at();
    schema->Sort("ORDINAL_POSITION");
    while (!schema->Eof() && !operation_.Cancelled()) {
      at();
      xml::Element column = columns.CreateElement(doc::kColumn);
      std::string name = schema->GetValue("COLUMN_NAME").AsText();
      at();
      const data::Column* catalogColumn = FindByName(table.columns, name);
      if (catalogColumn == nullptr)
        throw Error(kItemNotFound, kSourceData,
                    "The catalog has no column " + name + " in table " + table.name);

      auto optional = [&](const char* attribute, const char* field) {
        const Value& value = schema->GetValue(field);
        if (!value.IsNullOrEmpty()) column.SetAttribute(attribute, value.AsText());
      };
      at();
      column.SetAttribute(doc::kName, name);
      optional(doc::kDesc, "DESCRIPTION");
      column.SetAttribute(doc::kDataType, catalogColumn->type);
      optional(doc::kNumericScale, "NUMERIC_SCALE");
      optional(doc::kPrecision, "NUMERIC_PRECISION");
      optional(doc::kDefineSize, "CHARACTER_MAXIMUM_LENGTH");
      optional(doc::kDateTimePrecision, "DATETIME_PRECISION");
      at();
      column.SetAttribute(doc::kFlags, schema->GetValue("COLUMN_FLAGS").AsInt());
      column.SetAttribute(doc::kNullable, schema->GetValue("IS_NULLABLE").AsBool() ? -1 : 0);

      at();
      const Value& hasDefault = schema->GetValue("COLUMN_HASDEFAULT");
      const Value& columnDefault = schema->GetValue("COLUMN_DEFAULT");
      if (!hasDefault.IsNullOrEmpty() && hasDefault.AsBool() && !columnDefault.IsNullOrEmpty()) {
        if (catalogColumn->type != adBoolean) {
          column.SetAttribute(doc::kDefaultValue, columnDefault.AsText());
        } else {
          std::string upper = text::ToUpper(columnDefault.AsText());
          bool yes = upper == "YES" || upper == "TRUE" || upper == "OUI";
          column.SetAttribute(doc::kDefaultValue, yes ? -1 : 0);
        }
      }

      if (m_Provider == dpAccess) {
        at();
        const Value& autoincrement = catalogColumn->properties["Autoincrement"];
        column.SetAttribute(doc::kAutoincrement,
                            !autoincrement.IsNullOrEmpty() && autoincrement.AsBool() ? -1 : 0);
        at();
        const Value& defaultExpression = catalogColumn->properties["Default"];
        if (!defaultExpression.IsEmpty()) column.SetAttribute(doc::kDefault, defaultExpression.AsText());
      } else if (m_Provider == dpSQLServer) {
        at();
        std::unique_ptr<Recordset> status = connection.OpenRecordset(
            "SELECT syscolumns.status, syscolumns.isnullable, syscolumns.cdefault FROM syscolumns "
            "INNER JOIN sysobjects ON sysobjects.id = syscolumns.id "
            "WHERE sysobjects.name = '" +
                EscapeText(table.name) + "' " + "AND syscolumns.name = '" + EscapeText(name) + "'",
            adOpenKeyset, adLockReadOnly, adUseClient);
        if (!status->Eof()) {
          at();
          column.SetBooleanAttribute(doc::kAutoincrement, (status->GetValue("Status").AsInt() & 128) != 0);
          std::int64_t defaultId =
              status->GetValue("CDefault").IsNull() ? 0 : status->GetValue("CDefault").AsInt();
          if (defaultId != 0) {
            status->Close();
            at();
            status = connection.OpenRecordset(
                "SELECT text FROM syscomments WHERE ID = " + std::to_string(defaultId), adOpenKeyset,
                adLockReadOnly, adUseClient);
            if (!status->Eof()) column.SetAttribute(doc::kDefault, status->GetValue("text").AsText());
          }
        }
        status->Close();
      }
      at();
      columns.AppendChild(column);
      schema->MoveNext();
    }
    schema->Close();
    return columns;
  });
}

}  // namespace vela
