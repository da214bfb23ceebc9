// Data restoration: the rows of one table data file into the freshly created table. File databases take
// the rows through one updatable cursor (the provider batches them in transactions); server databases
// through one parameterised INSERT per row. Identity values are kept as stored, and a file database's
// next autoincrement value is moved past the highest restored one. A value the data file holds with its
// class (backup/TableDataFile.h) goes to a file database as it is, in that class (Recordset::SetStoredValue);
// a server database gets it in the column's type.
#include <charconv>
#include <filesystem>
#include <limits>

#include "backup/FormatNumericValue.h"
#include "backup/TableDataFile.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/Canonical.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "restore/Restore.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

// What the restore needs of one column element, read once per table.
struct ColumnInfo {
  std::string name;
  std::string bracketed;  // the name as SQL text takes it
  int dataType = 0;
  bool autoincrement = false;
  int precision = 0;
  int numericScale = 0;
  // A nullable column with a default: a NULL stored for it must not turn into the default.
  bool nullableWithDefault = false;
};

std::vector<ColumnInfo> ReadColumns(const backup::TableEntry& table) {
  std::vector<ColumnInfo> infos;
  for (const backup::ColumnEntry& column : table.columns) {
    ColumnInfo info;
    info.name = column.name;
    info.bracketed = BracketName(column.name);
    info.dataType = column.dataType;
    info.autoincrement = column.autoincrement.ValueOr(false);
    bool hasDefault = column.defaultValue.has_value() || column.defaultExpression.has_value();
    info.nullableWithDefault = hasDefault && !info.autoincrement && column.nullable.ValueOr(false);
    info.precision = static_cast<int>(column.precision.ValueOr(0) & 0xFF);
    info.numericScale = static_cast<int>(column.numericScale.ValueOr(0) & 0xFF);
    infos.push_back(std::move(info));
  }
  return infos;
}

// The number a stored text holds, parsed once; nothing when the text is not a number.
std::optional<double> ParseNumber(std::string_view text) {
  text = text::Trim(text);
  double number;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// A whole number written as one; nothing for any other text.
std::optional<std::int64_t> ParseWholeNumber(std::string_view text) {
  text = text::Trim(text);
  std::int64_t number;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// A date text the server takes: "YYYY-MM-DD..." from 1753 on; anything else becomes 1753-01-01.
std::string ServerDate(const std::string& text) {
  std::string_view t = text::Trim(text);
  bool shaped = t.size() >= 10 && t[4] == '-' && t[7] == '-';
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) shaped = shaped && t[i] >= '0' && t[i] <= '9';
  if (!shaped || t.substr(0, 4) < "1753") return "1753-01-01";
  return std::string(t);
}

// The value of a field with a class letter, in that class.
Value HeldValue(const backup::TableDataFileReader& field, std::string& text) {
  using Class = backup::TableDataFileReader::ValueClass;
  switch (field.Class()) {
    case Class::kInteger:
      return Value(static_cast<long long>(field.Integer()));
    case Class::kReal:
      return Value(field.Real());
    case Class::kBinary:
      return Value(field.Bytes());
    default:
      text.clear();
      field.AppendText(text);
      return Value(text);
  }
}

// A held value for a server column, which keeps one type: a date held as a number is read as the file
// engine reads one (seconds since 1970, a Julian day), a text in a date column as a date text.
Value ForServer(const ColumnInfo& column, Value held) {
  if (!IsDateType(column.dataType)) return held;
  switch (held.GetKind()) {
    case Value::Kind::Integer:
      return Value::Date(ServerDate(DateFromUnixTime(held.AsInt())));
    case Value::Kind::Double:
      return Value::Date(ServerDate(DateFromJulianDay(held.AsDouble())));
    case Value::Kind::Text:
      return Value::Date(ServerDate(held.TextRef()));
    default:
      return held;
  }
}

// The value of the field the reader stands on, as the target engine takes it.
Value DecodeValue(const ColumnInfo& column, const backup::TableDataFileReader& field, DataProvider provider,
                  const Restorer::Separators& separators, std::string& text) {
  const int type = column.dataType;
  auto number = [&](bool monetary) {
    return backup::FormatNumericValue(text, monetary ? separators.monetaryDecimal : separators.decimal,
                                      monetary ? separators.monetaryThousands : separators.thousands, ".",
                                      "");
  };
  if (field.Class() != backup::TableDataFileReader::ValueClass::kColumn) {
    Value held = HeldValue(field, text);
    return provider == dpAccess ? held : ForServer(column, std::move(held));
  }
  if (provider != dpAccess && IsBinaryType(type)) return Value(field.Bytes());
  text.clear();
  field.AppendText(text);
  if (type == adBoolean) {
    std::optional<double> flag = ParseNumber(text);
    return Value(flag && *flag != 0.0);
  }
  if (provider != dpAccess) {
    if (type == adSingle || type == adDouble || type == adDecimal || type == adVarNumeric ||
        type == adNumeric)
      return Value(number(false));
    if (type == adCurrency) return Value(number(true));
    if (type == adDate || type == adDBDate) return Value::Date(ServerDate(text));
    return Value(text);
  }
  if (type == adSingle || type == adDouble) {
    std::string converted = number(false);
    std::optional<double> parsed = ParseNumber(converted);
    return parsed ? Value(*parsed) : Value(std::move(converted));
  }
  if (type == adDecimal || type == adNumeric || type == adVarNumeric) return Value::Decimal(number(false));
  if (type == adCurrency) return Value::Decimal(number(true));
  if (type == adDate || type == adDBDate || type == adDBTime || type == adDBTimeStamp)
    return Value::Date(text);
  if (IsIntegerType(type)) {
    if (std::optional<std::int64_t> whole = ParseWholeNumber(text)) return Value(*whole);
    if (ParseNumber(text)) return Value(Value(text).AsInt());
  }
  return Value(text);
}

}  // namespace

void Restorer::RestoreData(const backup::TableEntry& tableEntry, const std::string& dataFilePath,
                           Connection& connection, const std::string& tableName, Catalog& catalog,
                           const Separators& separators, std::int32_t progress) {
  Trapped("RestoreData [" + tableName + ".]", [&](Procedure& at) {
    std::string currentColumn;
    try {
      at();
      const std::string caption = GetMessageText(11, tableName);
      operation_.RaiseUpdateProgress(progress, caption);
      if (!utils().FileExists(dataFilePath)) {
        operation_.RaiseTableProgress(tableName, 0, 0);  // a table without rows
        return;
      }
      at();
      const std::vector<ColumnInfo> columns = ReadColumns(tableEntry);
      std::vector<std::string> columnNames;
      for (const ColumnInfo& column : columns) columnNames.push_back(column.name);
      backup::TableDataFileReader reader(dataFilePath, tableName, std::move(columnNames));
      if (!reader.HasRows()) {
        operation_.RaiseTableProgress(tableName, 0, 0);  // a table without rows
        return;
      }
      const std::int64_t declared = reader.RecordCount();
      operation_.RaiseTableProgress(tableName, 0, declared);

      const ColumnInfo* identity = nullptr;
      for (const ColumnInfo& column : columns)
        if (column.autoincrement) {
          identity = &column;
          break;
        }
      std::optional<Column> identityColumn;
      if (identity != nullptr && m_Provider == dpAccess) {
        at();
        Table table = catalog.GetTable(tableName);
        if (const Column* found = FindByName(table.columns, identity->name)) identityColumn = *found;
      }

      std::unique_ptr<Recordset> rows;
      std::optional<Command> command;
      std::string columnList, placeholders;
      if (m_Provider == dpAccess) {
        at();
        rows = connection.OpenRecordset("SELECT * FROM " + BracketName(tableName), adOpenDynamic,
                                        adLockOptimistic, adUseServer);
      } else if (m_Provider == dpSQLServer && identity != nullptr) {
        at();
        connection.Execute("SET IDENTITY_INSERT " + BracketName(tableName) + " ON");
      }
      auto pendingAdd = [&] { return rows && !rows->Eof() && rows->EditMode() == adEditAdd; };
      std::vector<std::size_t> defaulted;
      for (std::size_t i = 0; i < columns.size(); ++i)
        if (columns[i].nullableWithDefault) defaulted.push_back(i);
      std::vector<bool> given(columns.size(), false);
      const std::string insertInto = "INSERT INTO " + BracketName(tableName);
      // A row is pending on the server from its start until the next row, the end or a corruption marker.
      bool rowPending = false;
      auto finishCommand = [&](bool prepared) {
        rowPending = false;
        for (std::size_t i : defaulted) {
          if (given[i]) continue;
          columnList += columns[i].bracketed;
          columnList += ", ";
          placeholders += "?, ";
          command->Parameters().push_back(
              command->CreateParameter(columns[i].name, columns[i].dataType, adParamInput, 1, Value::Null()));
        }
        if (columnList.empty()) {
          // A row whose every value was NULL or empty still is a row.
          command->SetCommandText(insertInto + " DEFAULT VALUES");
        } else {
          columnList.resize(columnList.size() - 2);
          placeholders.resize(placeholders.size() - 2);
          std::string statement;
          statement.reserve(insertInto.size() + columnList.size() + placeholders.size() + 12);
          statement.append(insertInto).append(" (").append(columnList).append(") VALUES(");
          statement.append(placeholders).append(")");
          command->SetCommandText(std::move(statement));
        }
        command->SetPrepared(prepared);
        command->Execute();
      };

      std::int64_t rowCounter = 0;
      std::string text;  // a value's text, reused from field to field
      using Token = backup::TableDataFileReader::Token;
      while (!operation_.Cancelled()) {
        at();
        const Token token = reader.Next();
        if (token == Token::kEnd) break;
        if (reader.StartsRow()) {
          at();
          if (m_Provider == dpAccess) {
            if (pendingAdd()) rows->Update();
            rows->AddNew();
            // A value absent from the file is NULL; left alone, the column would take its default.
            for (std::size_t i : defaulted) rows->SetValue(i, Value::Null());
          } else {
            if (command && rowPending) finishCommand(true);
            // One command serves every row: its parameters are made anew, their room kept.
            if (!command) command.emplace(connection);
            command->Parameters().clear();
            columnList.clear();
            placeholders.clear();
            given.assign(columns.size(), false);
            rowPending = true;
          }
          ++rowCounter;
          if (rowCounter > declared && declared > 0) {
            operation_.RaiseUpdateProgress(
                progress, caption + " (" + std::to_string(declared) + "/" + std::to_string(declared) + ")");
          } else if (rowCounter % 100 == 0) {
            operation_.RaiseUpdateProgress(
                progress, caption + " (" + std::to_string(rowCounter) + "/" + std::to_string(declared) + ")");
            operation_.RaiseTableProgress(tableName, rowCounter, declared);
          }
        }
        if (token == Token::kCorruption) {
          at();
          m_CorruptionFound = true;
          if (m_Provider == dpAccess) {
            if (pendingAdd()) rows->CancelUpdate();
          } else if (command) {
            command->Parameters().clear();
            columnList.clear();
            placeholders.clear();
            rowPending = false;
          }
          continue;
        }
        if (token != Token::kField) continue;

        at();
        const std::uint32_t index = reader.FieldIndex();
        const ColumnInfo& column = columns[index];
        currentColumn = column.name;
        Value value = DecodeValue(column, reader, m_Provider, separators, text);
        if (m_Provider == dpAccess) {
          at();
          if (reader.Class() == backup::TableDataFileReader::ValueClass::kColumn)
            rows->SetValue(index, value);
          else
            rows->SetStoredValue(index, value);
        } else {
          given[index] = true;
          columnList += column.bracketed;
          columnList += ", ";
          placeholders += "?, ";
          const int type = column.dataType;
          const bool binary = IsBinaryType(type);
          const auto units = static_cast<std::int64_t>(reader.Units().size());
          Parameter parameter = command->CreateParameter(column.name, type, adParamInput,
                                                         binary ? 99999999 : units + 1, std::move(value));
          if (type == adNumeric) {
            parameter.precision = column.precision;
            parameter.numericScale = column.numericScale;
          }
          command->Parameters().push_back(std::move(parameter));
        }
      }
      if (operation_.Cancelled()) return;
      operation_.RaiseTableProgress(tableName, rowCounter, declared);

      at();
      if (m_Provider == dpAccess) {
        if (pendingAdd()) rows->Update();
        rows->Close();
      } else if (command && rowPending) {
        finishCommand(false);
      }

      if (identity != nullptr) {
        if (m_Provider == dpAccess && identityColumn) {
          at();
          catalog.Refresh();
          Table table = catalog.GetTable(tableName);
          const Column* column = FindByName(table.columns, identityColumn->name);
          std::int64_t seed = column != nullptr ? column->properties["Seed"].AsInt() : 1;
          at();
          std::unique_ptr<Recordset> maximum =
              connection.OpenRecordset("SELECT MAX(" + BracketName(identityColumn->name) +
                                           ") AS MaxIdentity FROM " + BracketName(tableName),
                                       adOpenDynamic, adLockReadOnly, adUseClient);
          const Value& highest = maximum->GetValue("MaxIdentity");
          // Past the highest restored value; a table already at the largest value keeps that as its seed
          // (it has no next value, in the source as here) instead of wrapping round.
          std::int64_t newSeed = 1;
          if (!highest.IsNullOrEmpty()) {
            const std::int64_t top = highest.AsInt();
            newSeed = top < std::numeric_limits<std::int64_t>::max() ? top + 1 : top;
          }
          maximum->Close();
          at();
          if (seed < newSeed)
            catalog.SetColumnProperty(tableName, identityColumn->name, "Seed", Value(newSeed));
        } else if (m_Provider == dpSQLServer) {
          at();
          connection.Execute("SET IDENTITY_INSERT " + BracketName(tableName) + " OFF");
        }
      }
    } catch (...) {
      at.SetName("RestoreData [" + tableName + "." + currentColumn + "]");
      throw;
    }
  });
}

}  // namespace vela
