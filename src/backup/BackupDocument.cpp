#include "backup/BackupDocument.h"

#include <charconv>

#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::backup {

namespace {

[[noreturn]] void Invalid(const Origin& origin, std::string_view problem) {
  throw Error(kTypeMismatch, kSourceComponent,
              "Type mismatch: the backup document's " + origin.text + " " + std::string(problem));
}

std::optional<std::int64_t> ParseWhole(std::string_view text) {
  text = text::Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t number = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// Reads the attributes of one element, naming it in every failure.
class Reader {
 public:
  Reader(xml::Element element, std::string origin) : element_(element), origin_{std::move(origin)} {}

  std::string Text(const char* name) const { return element_.Attribute(name).value_or(""); }
  std::optional<std::string> Optional(const char* name) const { return element_.Attribute(name); }

  Attribute<std::int64_t> Number(const char* name) const {
    Attribute<std::int64_t> attribute{std::nullopt, origin_, name};
    if (std::optional<std::string> text = element_.Attribute(name)) {
      attribute.value = ParseWhole(*text);
      if (!attribute.value)
        Invalid(origin_,
                std::string("has the attribute ") + name + " \"" + *text + "\", which is not a number");
    }
    return attribute;
  }

  Attribute<bool> Boolean(const char* name) const {
    Attribute<bool> attribute{std::nullopt, origin_, name};
    if (std::optional<std::string> text = element_.Attribute(name)) {
      try {
        attribute.value = DocumentBoolean(*text, name);
      } catch (const Error&) {
        Invalid(origin_,
                std::string("has the attribute ") + name + " \"" + *text + "\", which is not a Boolean");
      }
    }
    return attribute;
  }

 private:
  xml::Element element_;
  Origin origin_;
};

ColumnEntry ReadColumn(xml::Element element, const std::string& table) {
  ColumnEntry column;
  column.name = element.Attribute(doc::kName).value_or("");
  Reader reader(element, "table \"" + table + "\", column \"" + column.name + "\"");
  Attribute<std::int64_t> dataType = reader.Number(doc::kDataType);
  column.dataType = static_cast<int>(dataType.Require());
  column.defineSize = reader.Number(doc::kDefineSize);
  column.precision = reader.Number(doc::kPrecision);
  column.numericScale = reader.Number(doc::kNumericScale);
  column.nullable = reader.Boolean(doc::kNullable);
  column.autoincrement = reader.Boolean(doc::kAutoincrement);
  column.defaultValue = reader.Optional(doc::kDefaultValue);
  column.defaultExpression = reader.Optional(doc::kDefault);
  return column;
}

IndexEntry ReadIndex(xml::Element element, const std::string& table) {
  IndexEntry index;
  index.name = element.Attribute(doc::kName).value_or("");
  Reader reader(element, "table \"" + table + "\", index \"" + index.name + "\"");
  index.clustered = reader.Boolean(doc::kClustered);
  index.unique = reader.Boolean(doc::kUnique);
  index.primaryKey = reader.Boolean(doc::kPK);
  index.indexNulls = reader.Number(doc::kIndexNulls);
  for (xml::Element column : element.FirstChild().Children())
    index.columns.push_back(column.Attribute(doc::kName).value_or(""));
  return index;
}

KeyEntry ReadKey(xml::Element element, const std::string& table) {
  KeyEntry key;
  key.name = element.Attribute(doc::kName).value_or("");
  Reader reader(element, "table \"" + table + "\", key \"" + key.name + "\"");
  if (Attribute<std::int64_t> type = reader.Number(doc::kType); type.has_value())
    key.type = static_cast<int>(*type.value);
  key.deleteRule = reader.Number(doc::kDeleteRule);
  key.updateRule = reader.Number(doc::kUpdateRule);
  key.relatedTable = reader.Text(doc::kRelatedTable);
  for (xml::Element column : element.FirstChild().Children())
    key.columns.push_back({column.Attribute(doc::kName).value_or(""), column.Attribute(doc::kRelatedColumn)});
  return key;
}

TableEntry ReadEntry(xml::Element element) {
  TableEntry entry;
  entry.element = element.NodeName();
  entry.name = element.Attribute(doc::kName).value_or("");
  if (!entry.IsTable()) return entry;
  entry.fileName = element.Attribute(doc::kFileName);
  for (xml::Element column : element.FirstChild().Children())
    entry.columns.push_back(ReadColumn(column, entry.name));
  for (xml::Element group : element.Children()) {
    if (group.NodeName() == doc::kIndexes)
      for (xml::Element index : group.Children()) entry.indexes.push_back(ReadIndex(index, entry.name));
    else if (group.NodeName() == doc::kKeys)
      for (xml::Element key : group.Children()) entry.keys.push_back(ReadKey(key, entry.name));
  }
  return entry;
}

}  // namespace

template <class T>
const T& Attribute<T>::Require() const {
  if (!value) Invalid(origin, std::string("has no attribute ") + name);
  return *value;
}
template struct Attribute<bool>;
template struct Attribute<std::int64_t>;

bool TableEntry::IsTable() const {
  return element == doc::kTable;
}

const ColumnEntry* TableEntry::FindColumn(std::string_view columnName) const {
  for (const ColumnEntry& column : columns)
    if (text::EqualsNoCase(column.name, columnName)) return &column;
  return nullptr;
}

BackupDocument ReadBackupDocument(const xml::Document& document) {
  xml::Element root = document.DocumentElement();
  BackupDocument result;
  for (pugi::xml_attribute attribute : root.Node().attributes()) {
    std::string_view name = attribute.name();
    if (text::EqualsNoCase(name, doc::kDecimalSeparator))
      result.decimalSeparator = attribute.value();
    else if (text::EqualsNoCase(name, doc::kThousandSeparator))
      result.thousandSeparator = attribute.value();
    else if (text::EqualsNoCase(name, doc::kMonetaryDecimalSeparator))
      result.monetaryDecimalSeparator = attribute.value();
    else if (text::EqualsNoCase(name, doc::kMonetaryThousandSeparator))
      result.monetaryThousandSeparator = attribute.value();
  }
  for (xml::Element group : root.Children()) {
    if (group.NodeName() == doc::kEngineObjects) {
      EngineObjectsEntry& entry = result.engineObjects.emplace();
      entry.provider = group.Attribute(doc::kProvider).value_or("");
      for (xml::Element object : group.Children()) {
        if (object.NodeName() != doc::kObject) continue;
        entry.objects.push_back(
            {object.Attribute(doc::kKind).value_or(""), object.Attribute(doc::kName).value_or(""),
             object.Attribute(doc::kObjectTable).value_or(""), object.Attribute(doc::kDetail).value_or(""),
             object.Attribute(doc::kSql).value_or("")});
      }
      continue;
    }
    std::vector<TableEntry>& entries = result.groups.emplace_back();
    for (xml::Element element : group.Children()) entries.push_back(ReadEntry(element));
  }
  return result;
}

void WriteEngineObjects(xml::Element root, std::string_view provider,
                        const std::vector<data::EngineObject>& objects) {
  if (objects.empty()) return;
  xml::Element group = root.AppendChild(root.CreateElement(doc::kEngineObjects));
  group.SetAttribute(doc::kProvider, provider);
  for (const data::EngineObject& object : objects) {
    xml::Element element = group.AppendChild(group.CreateElement(doc::kObject));
    element.SetAttribute(doc::kKind, object.kind);
    element.SetAttribute(doc::kName, object.name);
    if (!object.table.empty()) element.SetAttribute(doc::kObjectTable, object.table);
    if (!object.detail.empty()) element.SetAttribute(doc::kDetail, object.detail);
    element.SetAttribute(doc::kSql, object.sql);
  }
}

bool DocumentBoolean(const std::string& value, std::string_view attributeName) {
  std::string_view trimmed = text::Trim(value);
  if (text::EqualsNoCase(trimmed, "True")) return true;
  if (text::EqualsNoCase(trimmed, "False")) return false;
  double number = 0;
  auto [end, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), number);
  if (!trimmed.empty() && ec == std::errc() && end == trimmed.data() + trimmed.size()) return number != 0;
  throw Error(kTypeMismatch, kSourceComponent,
              "Type mismatch: the attribute " + std::string(attributeName) + " holds \"" + value +
                  "\", which is not a Boolean");
}

bool IsRowGUID(std::string_view text) {
  return text.size() == 38 && text.front() == '{' && text.back() == '}';
}

}  // namespace vela::backup
