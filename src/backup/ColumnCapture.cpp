// Column capture: the columns of a saved table, from the COLUMNS schema rowset, the catalog's column and,
// on a server database, its identity and default objects.
#include "backup/Save.h"
#include "component/Procedure.h"
#include "platform/data/Canonical.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;
using namespace backupfile;

void Saver::SaveColumns(TableEntry& entry, const Table& table, Connection& connection) {
  Trapped("SaveColumns", [&](Procedure& at) {
    at();
    std::unique_ptr<Recordset> schema = connection.OpenSchemaColumns(table.name);
    at();
    schema->Sort("ORDINAL_POSITION");
    while (!schema->Eof() && !operation_.Cancelled()) {
      at();
      ColumnEntry column;
      column.name = schema->GetValue("COLUMN_NAME").AsText();
      at();
      const data::Column* catalogColumn = FindByName(table.columns, column.name);
      if (catalogColumn == nullptr)
        throw Error(kItemNotFound, kSourceData,
                    "The catalog has no column " + column.name + " in table " + table.name);

      auto number = [&](const char* field) -> std::optional<std::int64_t> {
        const Value& value = schema->GetValue(field);
        if (value.IsNullOrEmpty()) return std::nullopt;
        return value.AsInt();
      };
      at();
      if (const Value& desc = schema->GetValue("DESCRIPTION"); !desc.IsNullOrEmpty())
        column.description = desc.AsText();
      column.dataType = catalogColumn->type;
      column.numericScale.value = number("NUMERIC_SCALE");
      column.precision.value = number("NUMERIC_PRECISION");
      column.defineSize.value = number("CHARACTER_MAXIMUM_LENGTH");
      column.dateTimePrecision = number("DATETIME_PRECISION");
      at();
      column.flags = schema->GetValue("COLUMN_FLAGS").AsInt();
      column.nullable.value = schema->GetValue("IS_NULLABLE").AsBool();

      at();
      const Value& hasDefault = schema->GetValue("COLUMN_HASDEFAULT");
      const Value& columnDefault = schema->GetValue("COLUMN_DEFAULT");
      if (!hasDefault.IsNullOrEmpty() && hasDefault.AsBool() && !columnDefault.IsNullOrEmpty()) {
        if (catalogColumn->type != adBoolean) {
          column.defaultValue = columnDefault.AsText();
        } else {
          // Yes in words, or any number but 0 (a file's "-1" or "1" as much as the server's "true").
          std::string upper = text::ToUpper(text::Trim(columnDefault.AsText()));
          if (upper.starts_with("=")) upper.erase(0, 1);
          std::int64_t number = 0;
          bool yes =
              upper == "YES" || upper == "TRUE" || upper == "OUI" || (ParseInt(upper, number) && number != 0);
          column.defaultValue = yes ? "-1" : "0";
        }
      }
      if (!catalogColumn->serverType.empty()) column.serverType = catalogColumn->serverType;

      if (m_Provider == dpAccess) {
        at();
        const Value& autoincrement = catalogColumn->properties["Autoincrement"];
        column.autoincrement.value = !autoincrement.IsNullOrEmpty() && autoincrement.AsBool();
        // Values given out and deleted since are not given again: the next one travels with the column.
        if (const Value& seed = catalogColumn->properties["Seed"];
            *column.autoincrement.value && !seed.IsNullOrEmpty())
          column.seed.value = seed.AsInt();
        at();
        const Value& defaultExpression = catalogColumn->properties["Default"];
        if (!defaultExpression.IsEmpty()) column.defaultExpression = defaultExpression.AsText();
      } else if (m_Provider == dpSQLServer) {
        at();
        std::unique_ptr<Recordset> status = connection.OpenRecordset(
            "SELECT syscolumns.status, syscolumns.isnullable, syscolumns.cdefault FROM syscolumns "
            "INNER JOIN sysobjects ON sysobjects.id = syscolumns.id "
            "WHERE sysobjects.name = '" +
                EscapeText(table.name) + "' " + "AND syscolumns.name = '" + EscapeText(column.name) + "'",
            adOpenKeyset, adLockReadOnly, adUseClient);
        if (!status->Eof()) {
          at();
          column.autoincrement.value = (status->GetValue("Status").AsInt() & 128) != 0;
          std::int64_t defaultId =
              status->GetValue("CDefault").IsNull() ? 0 : status->GetValue("CDefault").AsInt();
          if (defaultId != 0) {
            status->Close();
            at();
            status = connection.OpenRecordset(
                "SELECT text FROM syscomments WHERE ID = " + std::to_string(defaultId), adOpenKeyset,
                adLockReadOnly, adUseClient);
            if (!status->Eof()) column.defaultExpression = status->GetValue("text").AsText();
          }
        }
        status->Close();
      }
      at();
      entry.columns.push_back(std::move(column));
      schema->MoveNext();
    }
    schema->Close();
  });
}

}  // namespace vela
