// Table and column restoration: each table of the backup document is created through the catalog with
// its columns mapped to the target engine, its rows loaded, its stored defaults applied and its indexes
// built.
#include <algorithm>
#include <map>
#include <mutex>

#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/DefaultText.h"
#include "platform/data/ServerTypeNames.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "restore/Restore.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;
using backupfile::ColumnEntry;
using backupfile::TableEntry;

namespace {

constexpr std::int32_t kInformationOk = 64;

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
    // A column of any values, as a file database keeps them, becomes a long text.
    if (stored == adVariant) return {adLongVarWChar, std::nullopt};
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

void Restorer::WidenFileColumns(backupfile::BackupDocument& document) {
  constexpr std::int64_t kLargestText = 10485760, kLargestPrecision = 1000;  // the server's limits
  for (std::vector<TableEntry>& group : document.groups)
    for (TableEntry& entry : group)
      for (ColumnEntry& column : entry.columns) {
        const int type = column.dataType;
        bool widened = false;
        if (column.maxLength && *column.maxLength > column.defineSize.ValueOr(0) && IsTextType(type) &&
            !IsLongType(type)) {
          if (*column.maxLength > kLargestText) {
            column.dataType = adLongVarWChar;
            column.defineSize.value.reset();
          } else {
            column.dataType = type == adWChar || type == adChar ? adVarWChar : type;
            column.defineSize.value = column.maxLength;
          }
          widened = true;
        } else if (column.maxDigits && IsIntegerType(type)) {
          column.dataType = adBigInt;
          widened = true;
        } else if (column.maxDigits &&
                   (type == adNumeric || type == adDecimal || type == adVarNumeric || type == adCurrency)) {
          const std::int64_t precision = column.precision.ValueOr(0),
                             scale = type == adCurrency ? 4 : column.numericScale.ValueOr(0);
          // The measures come from a document anyone may have written: kept within the server's limits.
          auto bounded = [&](std::int64_t n) {
            return std::clamp<std::int64_t>(n, 0, kLargestPrecision + 1);
          };
          const std::int64_t newScale = std::max(scale, bounded(column.maxScale.value_or(0)));
          const std::int64_t newPrecision =
              std::max(precision - scale, bounded(*column.maxDigits)) + newScale;
          column.dataType = adNumeric;
          // Beyond the server's largest precision, a number without one keeps every digit.
          if (newPrecision > kLargestPrecision) {
            column.precision.value.reset();
            column.numericScale.value.reset();
          } else {
            column.precision.value = std::max<std::int64_t>(newPrecision, 1);
            column.numericScale.value = newScale;
          }
          widened = true;
        }
        // The server type a column came from holds no wider values either.
        if (widened) column.serverType.reset();
      }
}

void Restorer::RestoreTables(const backupfile::BackupDocument& document, Connection& connection,
                             Catalog& catalog) {
  Trapped("RestoreTables", [&](Procedure& at) {
    at();
    // The saving machine's separators as the document gives them, the local ones where it gives none.
    Separators separators{
        document.decimalSeparator.value_or(utils().LocaleItem(kLocaleDecimalSeparator)),
        document.thousandSeparator.value_or(utils().LocaleItem(kLocaleThousandSeparator)),
        document.monetaryDecimalSeparator.value_or(utils().LocaleItem(kLocaleMonetaryDecimalSeparator)),
        document.monetaryThousandSeparator.value_or(utils().LocaleItem(kLocaleMonetaryThousandSeparator))};

    // A column the target cannot make as the backup describes it ends the restore before any table is made.
    at();
    for (const std::vector<TableEntry>& group : document.groups)
      for (const TableEntry& entry : group) {
        if (!entry.IsTable()) continue;
        for (const ColumnEntry& stored : entry.columns) {
          const TypeAndSize mapped = MapColumnType(m_Provider, stored.dataType, stored.defineSize.value);
          const std::string fault = ColumnSizeFault(
              m_Provider, {mapped.type, mapped.size, stored.precision.value, stored.numericScale.value});
          if (!fault.empty())
            throw Error(kNotSupported, kSourceComponent,
                        "Column " + stored.name + " of table " + entry.name +
                            " cannot be made in the target database as the backup describes it: " + fault);
        }
      }

    // A file database has no schemas: tables of other server schemas keep "schema.table" as their name.
    at();
    if (m_Provider == dpAccess) {
      std::string qualified;
      for (const std::vector<TableEntry>& group : document.groups)
        for (const TableEntry& entry : group)
          if (entry.IsTable() && entry.schema) qualified += "\n" + entry.name;
      if (!qualified.empty()) {
        std::int32_t answer = kAnswerOk;
        operation_.RaiseShowMessage(GetMessageText(57, qualified), kInformationOk, kQualifiedNamesGuid,
                                    answer);
      }
    }

    // A file table that travels with its own statement is made by it before its rows: with its keys,
    // checks and declared types, each row written once.
    std::map<std::string, const EngineObject*> statements;  // by lower-case name
    if (m_Provider == dpAccess && document.engineObjects &&
        document.engineObjects->provider == connection.Provider())
      for (const EngineObject& object : document.engineObjects->objects)
        if (object.kind == "table") statements.emplace(text::ToLower(object.name), &object);

    // The entries in their order, each with the progress of its group.
    std::vector<TableItem> items;
    for (const std::vector<TableEntry>& group : document.groups) {
      const auto count = static_cast<std::int64_t>(group.size());
      for (std::int64_t index = 0; index < count; ++index)
        items.push_back({&group[static_cast<std::size_t>(index)],
                         static_cast<std::int32_t>(RoundHalfEven(index * 100, count))});
    }
    const TableSettings settings{separators, std::move(statements)};
    at();
    if (TablesAtOnce(items) <= 1 || !RestoreTablesAtOnce(at, items, document, settings)) {
      for (const TableItem& item : items) {
        if (operation_.Cancelled()) break;
        RestoreEntry(at, *item.entry, item.percent, document, settings, connection, catalog);
      }
    }
    at();
    if (!m_IndexesLeftOut.empty() && !operation_.Cancelled()) {
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(42, m_IndexesLeftOut), kInformationOk, kObjectsLeftOutGuid,
                                  answer);
    }
    if (!m_HeldOtherwise.empty() && !operation_.Cancelled()) {
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(61, m_HeldOtherwise), kInformationOk, kHeldOtherwiseGuid,
                                  answer);
    }
    if (m_CorruptionFound && !operation_.Cancelled()) operation_.RaiseDatabaseCorruptionFound();
  });
}

void Restorer::RestoreEntry(Procedure& at, const TableEntry& entry, std::int32_t percent,
                            const backupfile::BackupDocument& document, const TableSettings& settings,
                            Connection& connection, Catalog& catalog) {
  const Separators& separators = settings.separators;
  const std::map<std::string, const EngineObject*>& statements = settings.statements;
  const std::string& name = entry.name;
  at();
  operation_.RaiseUpdateProgress(percent, GetMessageText(1, name));
  if (!entry.IsTable()) return;

  // A table its own statement made before the rows keeps the columns and defaults it has.
  const bool made = m_MadeTables.contains(name);
  at();
  const auto statement = statements.find(text::ToLower(name));
  std::unique_lock<std::mutex> making;
  if (settings.making != nullptr) making = std::unique_lock(*settings.making);
  bool asWritten = !made && statement != statements.end() && MakeAsWritten(*statement->second, catalog);
  if (!made && !asWritten) RestoreTable(entry, catalog);
  if (making) making.unlock();
  at();
  operation_.RaiseUpdateProgress(percent, GetMessageText(18, name));
  at();
  if (!entry.fileName)
    throw Error(kBadFileFormat, kSourceComponent, "The backup document gives table " + name + " no FileName");
  ChangedValues changed;
  if (const zip::MemberStat* dataMember = DataMember(entry)) {
    at();
    const std::int64_t rows =
        RestoreData(entry, *dataMember, connection, name, catalog, separators, percent, changed);
    if (asWritten && !operation_.Cancelled() && CountRows(name, connection) != rows) {
      // The statement settles conflicts by dropping rows (ON CONFLICT IGNORE, REPLACE): the catalog
      // makes the table with every row, and the statement is named among what was left out.
      at();
      connection.Execute("DROP TABLE " + BracketName(name));
      m_MadeAsWritten.erase(text::ToLower(name));
      asWritten = false;
      RestoreTable(entry, catalog);
      RestoreData(entry, *dataMember, connection, name, catalog, separators, percent, changed);
    }
  }
  // What of the table another engine holds otherwise: a server column's type, its values.
  std::string otherwise;
  if (m_Provider == dpAccess)
    for (const ColumnEntry& column : entry.columns)
      if (std::string loses = column.serverType ? FileLosesOf(*column.serverType) : ""; !loses.empty())
        otherwise += "\n  column " + column.name + " (" + *column.serverType + "): " + loses;
  otherwise += changed.Lines();
  if (!otherwise.empty()) m_HeldOtherwise += "\ntable " + name + ":" + otherwise;
  at();
  Table table = catalog.GetTable(m_Provider == dpSQLServer ? BracketName(name) : name);
  if (!operation_.Cancelled() && asWritten) {
    // Numbers given out and deleted before the save are not given again.
    for (const ColumnEntry& stored : entry.columns) {
      const Column* column = FindByName(table.columns, stored.name);
      if (column == nullptr || !stored.seed.value || !column->properties["Autoincrement"].AsBool()) continue;
      const Value& seed = column->properties["Seed"];
      if (seed.IsNullOrEmpty() || seed.AsInt() < *stored.seed.value)
        catalog.SetColumnProperty(table.name, column->name, "Seed", Value(*stored.seed.value));
    }
    at();
    RestoreIndexes(IndexesBeyondStatement(entry, table, document), connection, table);
  } else if (!operation_.Cancelled()) {
    at();
    if (!made) RestoreTableDefault(entry, table, connection);
    at();
    RestoreIndexes(entry, connection, table);
  }
}

void Restorer::RestoreTable(const TableEntry& entry, Catalog& catalog) {
  Trapped("RestoreTable", [&](Procedure& at) {
    at();
    Table table;
    table.name = m_Provider == dpSQLServer ? BracketName(entry.name) : entry.name;
    // A file database numbers one column of a table by itself; further automatic columns of a server
    // table keep their values as plain numbers.
    bool numbered = false;
    std::string plainNumbers;
    for (const ColumnEntry& stored : entry.columns) {
      at();
      Column column;
      column.properties = catalog.NewColumnProperties();
      column.name = m_Provider == dpSQLServer ? BracketName(stored.name) : stored.name;
      column.serverType = stored.serverType.value_or("");
      at();
      std::optional<std::int64_t> defineSize = stored.defineSize.value;
      TypeAndSize mapped = MapColumnType(m_Provider, stored.dataType, defineSize);
      column.type = mapped.type;
      if (mapped.size) column.definedSize = *mapped.size;
      at();
      // Within the engine's limits, checked before the first table was made.
      if (stored.numericScale.has_value()) column.numericScale = static_cast<int>(*stored.numericScale.value);
      if (stored.precision.has_value()) column.precision = static_cast<int>(*stored.precision.value);

      for (Property& property : column.properties) {
        at();
        if (property.name == "Autoincrement") {
          bool autoincrement = stored.autoincrement.Require();
          if (autoincrement && m_Provider == dpAccess && numbered) {
            autoincrement = false;
            plainNumbers += (plainNumbers.empty() ? "" : ", ") + stored.name;
          }
          numbered = numbered || autoincrement;
          property.value = autoincrement;
        } else if (property.name == "Seed" && m_Provider == dpAccess && stored.seed.value &&
                   stored.autoincrement.value.value_or(false)) {
          property.value = *stored.seed.value;
        } else if (property.name == "Nullable") {
          // Every column keeps what the document says, automatic and Yes/No columns too.
          if (m_Provider == dpSQLServer && ColumnHasPK(entry, stored.name)) {
            property.value = false;
          } else {
            property.value = stored.nullable.Require();
          }
        } else if (property.name == "Default") {
          const Value& autoincrement = column.properties["Autoincrement"];
          bool isFalse = !autoincrement.IsNullOrEmpty() && !autoincrement.AsBool();
          const std::optional<std::string>& defaultValue = stored.defaultValue;
          if (!isFalse || !defaultValue) continue;
          const int type = stored.dataType;
          bool dateType = type == adDBTimeStamp || type == adDate || type == adDBTime;
          if (m_Provider == dpSQLServer && dateType) {
            if (ReadsAsDate(*defaultValue)) property.value = *defaultValue;
          } else {
            property.value = *defaultValue;
          }
        }
      }
      table.columns.push_back(std::move(column));
    }
    // A file database makes a table's unique keys with the table (adding one later rebuilds it); their
    // indexes are then made (RestoreIndexes).
    if (m_Provider == dpAccess)
      for (const backupfile::IndexEntry& index : entry.indexes)
        if (index.constraint && index.unique.ValueOr(false) && !index.primaryKey.ValueOr(false)) {
          Key& key = table.keys.emplace_back();
          key.name = index.name;
          key.type = adKeyUnique;
          for (const std::string& name : index.columns) key.columns.emplace_back().name = name;
        }
    at();
    // The server makes the schema of a table of another schema than the default one, if it has none yet;
    // a file database names the table "schema.table" and remembers the schema.
    if (entry.schema)
      catalog.AppendTableInSchema(table, *entry.schema);
    else
      catalog.AppendTable(table);
    if (!plainNumbers.empty()) {
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(45, entry.name, plainNumbers), kInformationOk,
                                  kPlainNumbersGuid, answer);
    }
  });
}

bool Restorer::MakeAsWritten(const EngineObject& statement, Catalog& catalog) {
  return Trapped("MakeAsWritten", [&](Procedure& at) {
    try {
      at();
      catalog.ApplyEngineObject(statement);
    } catch (const Error& error) {
      RecordRefusal(error, "VelaBackup.MakeAsWritten", at);
      return false;
    }
    m_MadeAsWritten.insert(text::ToLower(statement.name));
    return true;
  });
}

std::int64_t Restorer::CountRows(const std::string& table, Connection& connection) {
  return Trapped("CountRows", [&](Procedure& at) {
    at();
    std::unique_ptr<Recordset> count = connection.OpenRecordset(
        "SELECT Count(*) AS Rows FROM " + BracketName(table), adOpenForwardOnly, adLockReadOnly, adUseServer);
    const std::int64_t rows = count->GetValue("Rows").AsInt();
    count->Close();
    return rows;
  });
}

void Restorer::RecordRefusal(const Error& error, const char* where, const Procedure& at) {
  if (error.Number() == kDiskFull || error.Number() == kPathAccess || error.Number() == kOutOfMemory) throw;
  utils().RecordError(error.Number(), where, error.Description(), static_cast<std::int32_t>(at.Line()), 0);
}

bool Restorer::MadeAsWritten(std::string_view table) const {
  return m_MadeAsWritten.count(text::ToLower(table)) != 0;
}

namespace {

// Whether an engine object is the index `index` of the table `table`: under that name, or as the file
// provider names the indexes it makes ("<table>.<index>").
bool IsIndexObject(const EngineObject& object, const std::string& table, const std::string& index) {
  return object.kind == "index" && text::EqualsNoCase(object.table, table) &&
         (text::EqualsNoCase(object.name, index) || text::EqualsNoCase(object.name, table + "." + index));
}

}  // namespace

TableEntry Restorer::IndexesBeyondStatement(const TableEntry& entry, const Table& made,
                                            const backupfile::BackupDocument& document) const {
  TableEntry rest = entry;
  std::erase_if(rest.indexes, [&](const backupfile::IndexEntry& stored) {
    // The statement's own keys: the table has them already, over the same columns.
    for (const Index& index : made.indexes) {
      if (index.primaryKey != stored.primaryKey.ValueOr(false) ||
          index.unique != stored.unique.ValueOr(false) || index.columns.size() != stored.columns.size())
        continue;
      bool same = true;
      for (std::size_t i = 0; i < index.columns.size(); ++i)
        same = same && text::EqualsNoCase(index.columns[i].name, stored.columns[i]);
      if (same) return true;
    }
    // Made under its own name with the engine objects.
    const std::vector<EngineObject>& objects = document.engineObjects->objects;
    return std::any_of(objects.begin(), objects.end(), [&](const EngineObject& object) {
      return IsIndexObject(object, entry.name, stored.name);
    });
  });
  return rest;
}

bool Restorer::MadeFromDocument(const EngineObject& object,
                                const backupfile::BackupDocument& document) const {
  if (object.kind != "index" || MadeAsWritten(object.table)) return false;
  for (const std::vector<TableEntry>& group : document.groups)
    for (const TableEntry& entry : group)
      if (entry.IsTable() && text::EqualsNoCase(entry.name, object.table))
        for (const backupfile::IndexEntry& stored : entry.indexes)
          if (IsIndexObject(object, entry.name, stored.name)) return true;
  return false;
}

bool Restorer::ColumnHasPK(const TableEntry& entry, const std::string& columnName) {
  return Trapped("ColumnHasPK", [&](Procedure& at) {
    at();
    for (const backupfile::KeyEntry& key : entry.keys) {
      if (key.type != adKeyPrimary) continue;
      for (const backupfile::KeyColumnEntry& column : key.columns)
        if (column.name == columnName) return true;
    }
    return false;
  });
}

void Restorer::RestoreTableDefault(const TableEntry& entry, const Table& table, Connection& connection) {
  Trapped("RestoreTableDefault", [&](Procedure& at) {
    for (const ColumnEntry& columnEntry : entry.columns) {
      at();
      const std::string& name = columnEntry.name;
      const Column* column = FindByName(table.columns, name);
      if (column == nullptr)
        throw Error(kItemNotFound, kSourceData, "Table " + table.name + " has no column " + name);
      const std::optional<std::string>& stored = columnEntry.defaultExpression;
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

void Restorer::SetColumnDefault(const std::string& tableName, const Column& column, const Value& value,
                                Connection& connection) {
  Trapped("SetColumnDefault", [&](Procedure& at) {
    if (m_Provider != dpSQLServer) return;
    at();
    const std::string table = Unbracket(tableName);
    const std::string columnName = Unbracket(column.name);
    const std::string expression = value.AsText();
    // The default comes from the backup document, which may have been made by anyone: only a number, a
    // quoted text or a known function reaches the server, and the server may refuse one of those for the
    // column's type. Either way the column stays without its default and the user hears of it.
    auto leaveOut = [&] {
      std::int32_t answer = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(44, table, columnName, expression), kInformationOk,
                                  kDefaultLeftOutGuid, answer);
    };
    std::optional<DefaultText> read = ReadDefaultText(expression);
    if (!read || read->kind == DefaultText::Kind::kWord) return leaveOut();
    at();
    const std::string defaultName = BracketName(table + "_" + columnName);
    try {
      connection.Execute("CREATE DEFAULT " + defaultName + " AS " + expression);
      // A default object applies to nothing until it is bound to the column.
      at();
      connection.Execute("EXEC sp_bindefault " + QuoteText(defaultName) + ", " +
                         QuoteText(BracketName(table) + "." + BracketName(columnName)));
    } catch (const Error& error) {
      if (error.Number() != kCommandError) throw;
      leaveOut();
    }
  });
}

}  // namespace vela
