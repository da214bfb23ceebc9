// Table and column restoration: each table of the backup document is created through the catalog with
// its columns mapped to the target engine, its rows loaded, its stored defaults applied and its indexes
// built.
#include <charconv>

#include "backup/ColumnCapture.h"
#include "component/Component.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "component/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

// A decimal attribute; a text that is no number fails with kTypeMismatch naming the attribute.
std::int64_t NumberAttribute(const xml::Element& element, const char* name) {
  std::string text = element.Attribute(name).value_or("");
  std::string_view trimmed = text::Trim(text);
  std::int64_t number = 0;
  auto [end, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), number);
  if (trimmed.empty() || ec != std::errc() || end != trimmed.data() + trimmed.size())
    throw Error(kTypeMismatch, "VelaBackup",
                "Type mismatch: the attribute " + std::string(name) + " holds \"" + text +
                    "\", which is not a number");
  return number;
}

bool BooleanAttribute(const xml::Element& element, const char* name) {
  std::optional<std::string> value = element.Attribute(name);
  if (!value)
    throw Error(
        kTypeMismatch, "VelaBackup",
        "Type mismatch: the column " + element.Attribute("Name").value_or("") + " has no attribute " + name);
  return DocumentBoolean(*value, name);
}

// The column type and size a stored column gets on the target engine.
struct TypeAndSize {
  int type;
  std::optional<std::int64_t> size;
};

TypeAndSize MapColumnType(DataProvider target, int stored, std::optional<std::int64_t> defineSize) {
  if (target == dpSQLServer) {
    if (stored == adDate) return {adDBTimeStamp, std::nullopt};
    if (stored == adBoolean) return {adBoolean, std::nullopt};
    if (stored == adVarWChar) return {adVarChar, defineSize};
    return {stored, defineSize};
  }
  if (stored == adLongVarChar || stored == adLongVarWChar) return {adLongVarWChar, 0};
  if (stored == adVarChar) return {adVarWChar, defineSize};
  if (stored == adChar) return {adWChar, defineSize};
  if (stored == adDBTimeStamp) return {adDate, 0};
  if (stored == adTinyInt) return {adInteger, std::nullopt};
  return {stored, defineSize};
}

// Whether a default text reads as a date ("YYYY-MM-DD" with an optional time).
bool ReadsAsDate(std::string_view text) {
  text = text::Trim(text);
  if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') text = text.substr(1, text.size() - 2);
  if (text.size() < 10) return false;
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u})
    if (text[i] < '0' || text[i] > '9') return false;
  if (text[4] != '-' || text[7] != '-') return false;
  int month = (text[5] - '0') * 10 + (text[6] - '0'), day = (text[8] - '0') * 10 + (text[9] - '0');
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

void Component::RestoreTables(xml::Document& document, Connection& connection, Catalog& catalog) {
  Trapped("RestoreTables", [&](Procedure& at) {
    at();
    Separators separators{utils().LocaleItem(kLocaleDecimalSeparator),
                          utils().LocaleItem(kLocaleThousandSeparator),
                          utils().LocaleItem(kLocaleMonetaryDecimalSeparator),
                          utils().LocaleItem(kLocaleMonetaryThousandSeparator)};
    xml::Element root = document.DocumentElement();
    at();
    for (pugi::xml_attribute attribute : root.Node().attributes()) {
      std::string_view name = attribute.name();
      if (text::EqualsNoCase(name, "DecimalSeparator"))
        separators.decimal = attribute.value();
      else if (text::EqualsNoCase(name, "ThousandSeparator"))
        separators.thousands = attribute.value();
      else if (text::EqualsNoCase(name, "MonetaryDecimalSeparator"))
        separators.monetaryDecimal = attribute.value();
      else if (text::EqualsNoCase(name, "MonetaryThousandSeparator"))
        separators.monetaryThousands = attribute.value();
    }

    for (xml::Element group : root.Children()) {
      if (m_Cancel) continue;
      std::vector<xml::Element> elements = group.Children();
      const auto count = static_cast<std::int64_t>(elements.size());
      std::int64_t index = 0;
      for (xml::Element element : elements) {
        if (m_Cancel) continue;
        const auto percent = static_cast<std::int32_t>(RoundHalfEven(index * 100, count));
        ++index;
        std::string name = element.Attribute("Name").value_or("");
        at();
        RaiseUpdateProgress(percent, GetMessageText(1, name));
        if (element.NodeName() != "Table") continue;

        at();
        RestoreTable(element, catalog);
        at();
        RaiseUpdateProgress(percent, GetMessageText(18, name));
        at();
        std::optional<std::string> fileName = element.Attribute("FileName");
        if (!fileName)
          throw Error(kBadFileFormat, "VelaBackup",
                      "The backup document gives table " + name + " no FileName");
        std::string dataFile = utils().JoinPath(m_RestoreFolder, utils().NamePart(*fileName));
        if (utils().FileExists(dataFile)) {
          at();
          RestoreData(element.FirstChild(), dataFile, connection, name, catalog, separators, percent);
          utils().DeleteFile(dataFile);
        }
        at();
        Table table = catalog.GetTable(m_Provider == dpSQLServer ? BracketName(name) : name);
        if (!m_Cancel) {
          at();
          RestoreTableDefault(element, table, connection);
          at();
          RestoreIndexes(element, connection, table);
        }
      }
    }
    at();
    if (m_CorruptionFound && !m_Cancel) RaiseDatabaseCorruptionFound();
  });
}

void Component::RestoreTable(xml::Element tableElement, Catalog& catalog) {
  Trapped("RestoreTable", [&](Procedure& at) {
    at();
    std::string name = tableElement.Attribute("Name").value_or("");
    Table table;
    table.name = m_Provider == dpSQLServer ? BracketName(name) : name;
    for (xml::Element element : tableElement.FirstChild().Children()) {
      at();
      Column column;
      column.properties = catalog.NewColumnProperties();
      std::string columnName = element.Attribute("Name").value_or("");
      column.name = m_Provider == dpSQLServer ? BracketName(columnName) : columnName;
      at();
      const int stored = static_cast<int>(NumberAttribute(element, "DataType"));
      std::optional<std::int64_t> defineSize;
      if (element.HasAttribute("DefineSize")) defineSize = NumberAttribute(element, "DefineSize");
      TypeAndSize mapped = MapColumnType(m_Provider, stored, defineSize);
      column.type = mapped.type;
      if (mapped.size) column.definedSize = *mapped.size;
      at();
      if (element.HasAttribute("NumericScale"))
        column.numericScale = static_cast<std::uint8_t>(NumberAttribute(element, "NumericScale"));
      if (element.HasAttribute("Precision"))
        column.precision = static_cast<int>(NumberAttribute(element, "Precision"));

      for (Property& property : column.properties) {
        at();
        if (property.name == "Autoincrement") {
          property.value = BooleanAttribute(element, "Autoincrement");
        } else if (property.name == "Nullable") {
          if (m_Provider == dpSQLServer && ColumnHasPK(tableElement, columnName)) {
            property.value = false;
          } else if (!BooleanAttribute(element, "Autoincrement") && mapped.type != adBoolean) {
            property.value = BooleanAttribute(element, "Nullable");
          }
        } else if (property.name == "Default") {
          const Value& autoincrement = column.properties["Autoincrement"];
          bool isFalse = !autoincrement.IsNullOrEmpty() && !autoincrement.AsBool();
          std::optional<std::string> defaultValue = element.Attribute("DefaultValue");
          if (!isFalse || !defaultValue) continue;
          bool dateType = stored == adDBTimeStamp || stored == adDate || stored == adDBTime;
          if (m_Provider == dpSQLServer && dateType) {
            if (ReadsAsDate(*defaultValue)) property.value = *defaultValue;
          } else {
            property.value = *defaultValue;
          }
        }
      }
      table.columns.push_back(std::move(column));
    }
    at();
    catalog.AppendTable(table);
  });
}

bool Component::ColumnHasPK(xml::Element tableElement, const std::string& columnName) {
  return Trapped("ColumnHasPK", [&](Procedure& at) {
    at();
    for (xml::Element keys : tableElement.Children()) {
      if (keys.NodeName() != "Keys") continue;
      for (xml::Element key : keys.Children()) {
        if (key.Attribute("Type").value_or("") != "1") continue;
        for (xml::Element column : key.FirstChild().Children())
          if (column.Attribute("Name").value_or("") == columnName) return true;
      }
    }
    return false;
  });
}

void Component::RestoreTableDefault(xml::Element tableElement, const Table& table, Connection& connection) {
  Trapped("RestoreTableDefault", [&](Procedure& at) {
    for (xml::Element element : tableElement.FirstChild().Children()) {
      at();
      std::string name = element.Attribute("Name").value_or("");
      const Column* column = FindByName(table.columns, name);
      if (column == nullptr)
        throw Error(kItemNotFound, "VelaBackup.Data", "Table " + table.name + " has no column " + name);
      std::optional<std::string> stored = element.Attribute("Default");
      if (!stored || !column->properties.Has("Default")) continue;
      at();
      if (m_Provider == dpSQLServer) {
        Value value;
        if (column->type == adBoolean) {
          if (*stored == "=No" || *stored == "No" || *stored == "False")
            value = 0;
          else if (*stored == "=Yes" || *stored == "Yes" || *stored == "True")
            value = -1;
          else
            continue;
        } else {
          value = *stored == "Now()" ? std::string("GetDate()") : *stored;
        }
        at();
        SetColumnDefault(BracketName(table.name), *column, value, connection);
      }
      // File databases take their defaults from "DefaultValue" when the table is created.
    }
  });
}

void Component::SetColumnDefault(const std::string& tableName, const Column& column, const Value& value,
                                 Connection& connection) {
  Trapped("SetColumnDefault", [&](Procedure& at) {
    if (m_Provider != dpSQLServer) return;
    at();
    std::string table = Unbracket(tableName);
    connection.Execute("CREATE DEFAULT " + BracketName(table + "_" + Unbracket(column.name)) + " AS " +
                       value.AsText());
  });
}

}  // namespace vela
