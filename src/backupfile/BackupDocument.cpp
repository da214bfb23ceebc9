#include "backupfile/BackupDocument.h"

#include <charconv>

#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::backupfile {

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
  column.seed = reader.Number(doc::kSeed);
  column.defaultValue = reader.Optional(doc::kDefaultValue);
  column.defaultExpression = reader.Optional(doc::kDefault);
  column.serverType = reader.Optional(doc::kServerType);
  column.maxLength = reader.Number(doc::kMaxLength).value;
  column.maxDigits = reader.Number(doc::kMaxDigits).value;
  column.maxScale = reader.Number(doc::kMaxScale).value;
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
  index.constraint = reader.Boolean(doc::kConstraint).ValueOr(false);
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
  // RESTRICT travels as NO ACTION, which readers that do not know the mark take: the nearest rule.
  if (reader.Boolean(doc::kDeleteRestrict).ValueOr(false) && key.deleteRule.ValueOr(-1) == data::adRINone)
    key.deleteRule.value = data::adRIRestrict;
  if (reader.Boolean(doc::kUpdateRestrict).ValueOr(false) && key.updateRule.ValueOr(-1) == data::adRINone)
    key.updateRule.value = data::adRIRestrict;
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
  entry.schema = element.Attribute(doc::kSchema);
  if (entry.schema && entry.schema->empty()) entry.schema.reset();
  entry.dataSaved = Reader(element, "table \"" + entry.name + "\"").Boolean(doc::kDataSaved).ValueOr(true);
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

std::string TableEntry::QualifiedName() const {
  return schema ? *schema + "." + name : name;
}

const ColumnEntry* TableEntry::FindColumn(std::string_view columnName) const {
  const ColumnEntry* byLetters = nullptr;
  int alike = 0;
  for (const ColumnEntry& column : columns) {
    if (column.name == columnName) return &column;
    if (text::EqualsNoCase(column.name, columnName)) {
      byLetters = &column;
      ++alike;
    }
  }
  return alike == 1 ? byLetters : nullptr;
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
    if (group.NodeName() == doc::kOrigin) {
      Reader reader(group, doc::kOrigin);
      result.origin = {reader.Text(doc::kOriginDatabase), reader.Text(doc::kOriginEngine),
                       reader.Text(doc::kOriginMade), reader.Text(doc::kOriginTool)};
      continue;
    }
    if (group.NodeName() == doc::kEngineObjects) {
      EngineObjectsEntry& entry = result.engineObjects.emplace();
      entry.provider = group.Attribute(doc::kProvider).value_or("");
      for (xml::Element object : group.Children()) {
        if (object.NodeName() == doc::kSetting) {
          Reader reader(object, "setting " + object.Attribute(doc::kName).value_or(""));
          entry.settings.push_back({reader.Text(doc::kName), reader.Number(doc::kSettingValue).Require()});
          continue;
        }
        if (object.NodeName() == doc::kState) {
          Reader reader(object, "state " + object.Attribute(doc::kName).value_or(""));
          entry.states.push_back({reader.Text(doc::kKind), reader.Text(doc::kSchema), reader.Text(doc::kName),
                                  reader.Text(doc::kOn), reader.Text(doc::kArguments),
                                  reader.Text(doc::kObjectTable), reader.Text(doc::kStateColumn),
                                  reader.Text(doc::kSettingValue),
                                  reader.Boolean(doc::kCalled).value.value_or(false)});
          continue;
        }
        if (object.NodeName() != doc::kObject) continue;
        Reader reader(object, "object " + object.Attribute(doc::kName).value_or(""));
        entry.objects.push_back({reader.Text(doc::kKind), reader.Text(doc::kName),
                                 reader.Text(doc::kObjectTable), reader.Text(doc::kDetail),
                                 reader.Text(doc::kSql),
                                 reader.Boolean(doc::kBeforeRows).value.value_or(false)});
      }
      continue;
    }
    std::vector<TableEntry>& entries = result.groups.emplace_back();
    for (xml::Element element : group.Children()) entries.push_back(ReadEntry(element));
  }
  return result;
}

namespace {

template <class T>
void SetIf(xml::Element element, const char* name, const std::optional<T>& value) {
  if (value) element.SetAttribute(name, *value);
}

// A Boolean in the form older readers know: -1 / 0, or the words True / False.
void SetBoolean(xml::Element element, const char* name, bool value, bool asWord) {
  if (asWord)
    element.SetBooleanAttribute(name, value);
  else
    element.SetAttribute(name, value ? -1 : 0);
}

void WriteColumn(xml::Element columns, const ColumnEntry& entry, DataProvider source) {
  xml::Element column = columns.AppendChild(columns.CreateElement(doc::kColumn));
  column.SetAttribute(doc::kName, entry.name);
  SetIf(column, doc::kDesc, entry.description);
  column.SetAttribute(doc::kDataType, entry.dataType);
  SetIf(column, doc::kNumericScale, entry.numericScale.value);
  SetIf(column, doc::kPrecision, entry.precision.value);
  SetIf(column, doc::kDefineSize, entry.defineSize.value);
  SetIf(column, doc::kDateTimePrecision, entry.dateTimePrecision);
  column.SetAttribute(doc::kFlags, entry.flags);
  SetBoolean(column, doc::kNullable, entry.nullable.ValueOr(true), false);
  SetIf(column, doc::kDefaultValue, entry.defaultValue);
  if (entry.autoincrement.value)
    SetBoolean(column, doc::kAutoincrement, *entry.autoincrement.value, source == dpSQLServer);
  SetIf(column, doc::kSeed, entry.seed.value);
  SetIf(column, doc::kDefault, entry.defaultExpression);
  SetIf(column, doc::kServerType, entry.serverType);
  SetIf(column, doc::kMaxLength, entry.maxLength);
  SetIf(column, doc::kMaxDigits, entry.maxDigits);
  SetIf(column, doc::kMaxScale, entry.maxScale);
}

void WriteIndex(xml::Element indexes, const IndexEntry& entry) {
  xml::Element index = indexes.AppendChild(indexes.CreateElement(doc::kIndex));
  index.SetAttribute(doc::kName, entry.name);
  index.SetBooleanAttribute(doc::kClustered, entry.clustered.ValueOr(false));
  index.SetBooleanAttribute(doc::kUnique, entry.unique.ValueOr(false));
  index.SetBooleanAttribute(doc::kPK, entry.primaryKey.ValueOr(false));
  index.SetAttribute(doc::kIndexNulls, entry.indexNulls.ValueOr(0));
  if (entry.constraint) SetBoolean(index, doc::kConstraint, true, true);
  xml::Element columns = index.AppendChild(index.CreateElement(doc::kColumns));
  for (const std::string& name : entry.columns)
    columns.AppendChild(columns.CreateElement(doc::kColumn)).SetAttribute(doc::kName, name);
}

void WriteKey(xml::Element keys, const KeyEntry& entry) {
  xml::Element key = keys.AppendChild(keys.CreateElement(doc::kKey));
  key.SetAttribute(doc::kName, entry.name);
  const std::int64_t deleteRule = entry.deleteRule.ValueOr(0), updateRule = entry.updateRule.ValueOr(0);
  key.SetAttribute(doc::kDeleteRule,
                   deleteRule == data::adRIRestrict ? std::int64_t{data::adRINone} : deleteRule);
  key.SetAttribute(doc::kUpdateRule,
                   updateRule == data::adRIRestrict ? std::int64_t{data::adRINone} : updateRule);
  if (deleteRule == data::adRIRestrict) SetBoolean(key, doc::kDeleteRestrict, true, true);
  if (updateRule == data::adRIRestrict) SetBoolean(key, doc::kUpdateRestrict, true, true);
  SetIf(key, doc::kType, entry.type);
  key.SetAttribute(doc::kRelatedTable, entry.relatedTable);
  xml::Element columns = key.AppendChild(key.CreateElement(doc::kColumns));
  for (const KeyColumnEntry& pair : entry.columns) {
    xml::Element column = columns.AppendChild(columns.CreateElement(doc::kColumn));
    column.SetAttribute(doc::kName, pair.name);
    SetIf(column, doc::kRelatedColumn, pair.relatedColumn);
  }
}

void WriteTable(xml::Element tables, const TableEntry& entry, DataProvider source) {
  const bool isTable = entry.element.empty() || entry.IsTable();
  xml::Element table = tables.AppendChild(tables.CreateElement(isTable ? doc::kTable : entry.element));
  table.SetAttribute(doc::kName, entry.name);
  if (!isTable) return;  // an element that counts for progress only
  SetIf(table, doc::kFileName, entry.fileName);
  SetIf(table, doc::kSchema, entry.schema);
  if (!entry.dataSaved) SetBoolean(table, doc::kDataSaved, false, true);
  xml::Element columns = table.AppendChild(table.CreateElement(doc::kColumns));
  for (const ColumnEntry& column : entry.columns) WriteColumn(columns, column, source);
  xml::Element indexes = table.AppendChild(table.CreateElement(doc::kIndexes));
  for (const IndexEntry& index : entry.indexes) WriteIndex(indexes, index);
  xml::Element keys = table.AppendChild(table.CreateElement(doc::kKeys));
  for (const KeyEntry& key : entry.keys) WriteKey(keys, key);
}

xml::Document BuildBackupDocument(const BackupDocument& document, DataProvider source) {
  xml::Document xml;
  xml::Element root = xml.SetDocumentElement(xml.CreateElement(doc::kDatabase));
  SetIf(root, doc::kConnectionString, document.connectionString);
  SetIf(root, doc::kDecimalSeparator, document.decimalSeparator);
  SetIf(root, doc::kThousandSeparator, document.thousandSeparator);
  SetIf(root, doc::kMonetaryDecimalSeparator, document.monetaryDecimalSeparator);
  SetIf(root, doc::kMonetaryThousandSeparator, document.monetaryThousandSeparator);
  for (const std::vector<TableEntry>& group : document.groups) {
    xml::Element tables = root.AppendChild(root.CreateElement(doc::kTables));
    for (const TableEntry& entry : group) WriteTable(tables, entry, source);
  }
  if (document.engineObjects && !document.engineObjects->Empty()) {
    xml::Element group = root.AppendChild(root.CreateElement(doc::kEngineObjects));
    group.SetAttribute(doc::kProvider, document.engineObjects->provider);
    for (const data::EngineObject& object : document.engineObjects->objects) {
      xml::Element element = group.AppendChild(group.CreateElement(doc::kObject));
      element.SetAttribute(doc::kKind, object.kind);
      element.SetAttribute(doc::kName, object.name);
      if (!object.table.empty()) element.SetAttribute(doc::kObjectTable, object.table);
      if (!object.detail.empty()) element.SetAttribute(doc::kDetail, object.detail);
      element.SetAttribute(doc::kSql, object.sql);
      if (object.beforeRows) element.SetAttribute(doc::kBeforeRows, "True");
    }
    for (const data::EngineSetting& setting : document.engineObjects->settings) {
      xml::Element element = group.AppendChild(group.CreateElement(doc::kSetting));
      element.SetAttribute(doc::kName, setting.name);
      element.SetAttribute(doc::kSettingValue, std::to_string(setting.value));
    }
    for (const data::EngineState& state : document.engineObjects->states) {
      xml::Element element = group.AppendChild(group.CreateElement(doc::kState));
      element.SetAttribute(doc::kKind, state.kind);
      auto setIf = [&](const char* name, const std::string& value) {
        if (!value.empty()) element.SetAttribute(name, value);
      };
      setIf(doc::kSchema, state.schema);
      element.SetAttribute(doc::kName, state.name);
      setIf(doc::kOn, state.on);
      setIf(doc::kArguments, state.arguments);
      setIf(doc::kObjectTable, state.table);
      setIf(doc::kStateColumn, state.column);
      setIf(doc::kSettingValue, state.value);
      if (state.called) element.SetAttribute(doc::kCalled, "True");
    }
  }
  if (const std::optional<OriginEntry>& origin = document.origin) {
    xml::Element element = root.AppendChild(root.CreateElement(doc::kOrigin));
    element.SetAttribute(doc::kOriginDatabase, origin->database);
    element.SetAttribute(doc::kOriginEngine, origin->engine);
    element.SetAttribute(doc::kOriginMade, origin->made);
    element.SetAttribute(doc::kOriginTool, origin->tool);
  }
  return xml;
}

}  // namespace

void WriteBackupDocument(const BackupDocument& document, DataProvider source, const std::string& path) {
  BuildBackupDocument(document, source).Save(path);
}

std::string BackupDocumentText(const BackupDocument& document, DataProvider source) {
  return BuildBackupDocument(document, source).Text();
}

std::string DescribeEngineObject(const data::EngineObject& object) {
  std::string text = object.kind + " " + object.name;
  if (!object.table.empty() && object.kind != "table") text += " on " + object.table;
  if (!object.detail.empty()) text += " (" + object.detail + ")";
  return text;
}

std::string DescribeEngineState(const data::EngineState& state) {
  std::string name = state.schema.empty() ? state.name : state.schema + "." + state.name;
  if (state.kind == "comment") return "comment on " + state.on + " " + name;
  if (state.kind == "deferrable") return "deferral of key " + state.on + " on " + name;
  if (state.kind == "trigger") return "trigger " + state.on + " on " + name + " " + state.value;
  return state.kind + " " + name;
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

}  // namespace vela::backupfile
