// Column capture: one "Column" element per column of a saved table, from the COLUMNS schema rowset, the
// catalog's column and, on a server database, its identity and default objects.
#include "backup/ColumnCapture.h"

#include <charconv>

#include "component/Component.h"
#include "component/Procedure.h"
#include "component/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

xml::Element GetTableColumn(xml::Element node, std::string_view name) {
  return Trapped("GetTableColumn", [&](Procedure& at) {
    at();
    for (xml::Element child : node.Children())
      if (text::EqualsNoCase(child.Attribute("Name").value_or(""), name)) return child;
    return xml::Element();
  });
}

bool IsRowGUID(std::string_view text) {
  return text.size() == 38 && text.front() == '{' && text.back() == '}';
}

bool DocumentBoolean(const std::string& value, std::string_view attributeName) {
  std::string_view trimmed = text::Trim(value);
  if (text::EqualsNoCase(trimmed, "True")) return true;
  if (text::EqualsNoCase(trimmed, "False")) return false;
  double number = 0;
  auto [end, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), number);
  if (!trimmed.empty() && ec == std::errc() && end == trimmed.data() + trimmed.size()) return number != 0;
  throw Error(kTypeMismatch, "VelaBackup",
              "Type mismatch: the attribute " + std::string(attributeName) + " holds \"" + value +
                  "\", which is not a Boolean");
}

xml::Element Component::SaveColumns(xml::Element columns, const Table& table, Connection& connection) {
  return Trapped("SaveColumns", [&](Procedure& at) {
    at();
    std::unique_ptr<Recordset> schema = connection.OpenSchemaColumns(table.name);
    at();
    schema->Sort("ORDINAL_POSITION");
    while (!schema->Eof() && !m_Cancel) {
      at();
      xml::Element column = columns.CreateElement("Column");
      std::string name = schema->GetValue("COLUMN_NAME").AsText();
      at();
      const data::Column* catalogColumn = FindByName(table.columns, name);
      if (catalogColumn == nullptr)
        throw Error(kItemNotFound, "VelaBackup.Data",
                    "The catalog has no column " + name + " in table " + table.name);

      auto optional = [&](const char* attribute, const char* field) {
        const Value& value = schema->GetValue(field);
        if (!value.IsNullOrEmpty()) column.SetAttribute(attribute, value.AsText());
      };
      at();
      column.SetAttribute("Name", name);
      optional("Desc", "DESCRIPTION");
      column.SetAttribute("DataType", catalogColumn->type);
      optional("NumericScale", "NUMERIC_SCALE");
      optional("Precision", "NUMERIC_PRECISION");
      optional("DefineSize", "CHARACTER_MAXIMUM_LENGTH");
      optional("DateTimePrecision", "DATETIME_PRECISION");
      at();
      column.SetAttribute("Flags", schema->GetValue("COLUMN_FLAGS").AsInt());
      column.SetAttribute("Nullable", schema->GetValue("IS_NULLABLE").AsBool() ? -1 : 0);

      at();
      const Value& hasDefault = schema->GetValue("COLUMN_HASDEFAULT");
      const Value& columnDefault = schema->GetValue("COLUMN_DEFAULT");
      if (!hasDefault.IsNullOrEmpty() && hasDefault.AsBool() && !columnDefault.IsNullOrEmpty()) {
        if (catalogColumn->type != adBoolean) {
          column.SetAttribute("DefaultValue", columnDefault.AsText());
        } else {
          std::string upper = text::ToUpper(columnDefault.AsText());
          bool yes = upper == "YES" || upper == "TRUE" || upper == "OUI";
          column.SetAttribute("DefaultValue", yes ? -1 : 0);
        }
      }

      if (m_Provider == dpAccess) {
        at();
        const Value& autoincrement = catalogColumn->properties["Autoincrement"];
        column.SetAttribute("Autoincrement",
                            !autoincrement.IsNullOrEmpty() && autoincrement.AsBool() ? -1 : 0);
        at();
        const Value& defaultExpression = catalogColumn->properties["Default"];
        if (!defaultExpression.IsEmpty()) column.SetAttribute("Default", defaultExpression.AsText());
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
          column.SetBooleanAttribute("Autoincrement", (status->GetValue("Status").AsInt() & 128) != 0);
          std::int64_t defaultId =
              status->GetValue("CDefault").IsNull() ? 0 : status->GetValue("CDefault").AsInt();
          if (defaultId != 0) {
            status->Close();
            at();
            status = connection.OpenRecordset(
                "SELECT text FROM syscomments WHERE ID = " + std::to_string(defaultId), adOpenKeyset,
                adLockReadOnly, adUseClient);
            if (!status->Eof()) column.SetAttribute("Default", status->GetValue("text").AsText());
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
