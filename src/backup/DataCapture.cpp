// Data capture: the rows of one table into its table data file (backup/TableDataFile.h), streamed through
// a forward-only cursor, with progress every 100 rows, a notice for rows that look corrupted and one for
// values the restore cannot give back as they are stored.
//
// A value goes in its column type's text form. What the engine holds in another form (another program's
// integer in a date column, a text in a number column; Recordset::GetStoredValue), and every value of a
// column without declared type (adVariant), goes as it is, marked with its class, for the restore to store
// unchanged. Only a number in a text column and an integer in a real column cannot come back as they are
// held, since any text column turns a number into its text and any real column an integer into a real:
// those go converted to the column's type and the host hears of them, once per table.
#include <algorithm>
#include <memory>
#include <optional>

#include "backup/Save.h"
#include "backupfile/TableDataFile.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/Canonical.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

// A text made only of "#" (the empty text included) is what a damaged row reads as.
bool OnlyHashes(std::string_view text) {
  return text.find_first_not_of('#') == std::string_view::npos;
}

// Whether a restored column of this type holds a value of this class as it was held (see above).
bool KeepsClass(int type, Value::Kind kind) {
  const bool number = kind == Value::Kind::Integer || kind == Value::Kind::Double;
  if (IsTextType(type)) return !number;
  if (type == adSingle || type == adDouble) return kind != Value::Kind::Integer;
  return true;
}

// A value as it is held, marked with its class; a typeless column's texts need no mark. Returns whether
// the value can be one of a damaged row (a text of "#" only).
bool WriteHeld(backupfile::TableDataFileWriter& file, std::uint32_t index, const Value& value,
               bool typeless) {
  switch (value.GetKind()) {
    case Value::Kind::Integer:
    case Value::Kind::Boolean:
      file.WriteInteger(index, value.GetKind() == Value::Kind::Boolean ? value.AsBool() : value.AsInt());
      return false;
    case Value::Kind::Double:
      file.WriteReal(index, value.AsDouble());
      return false;
    case Value::Kind::Binary:
      file.WriteHeldBinary(index, value.AsBytes());
      return false;
    default:
      if (typeless)
        file.WriteText(index, value.TextRef());
      else
        file.WriteHeldText(index, value.TextRef());
      return OnlyHashes(value.TextRef());
  }
}

// A number's text with the saving machine's decimal separator in place of the canonical ".".
std::string WithSeparator(std::string text, const std::string& separator) {
  if (separator == ".") return text;
  std::size_t point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, separator);
  return text;
}

// The widest values of a column, as far as its declared type does not hold them.
struct Widest {
  std::int64_t length = 0;  // characters of the longest text
  bool outOfRange = false;  // an integer beyond the column's integer type
  std::int64_t digits = 0;  // digits before the point
  std::int64_t scale = 0;   // digits after it

  void Measure(int type, const Value& value) {
    const Value::Kind kind = value.GetKind();
    if (IsTextType(type) && !IsLongType(type) && kind == Value::Kind::Text) {
      std::int64_t characters = 0;
      for (char c : value.TextRef()) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      length = std::max(length, characters);
    } else if (IsIntegerType(type) && type != adBigInt && kind == Value::Kind::Integer) {
      const std::int64_t v = value.AsInt();
      const std::int64_t low = type == adSmallInt          ? -32768
                               : type == adUnsignedTinyInt ? 0
                               : type == adTinyInt         ? -128
                                                           : -2147483648LL;
      const std::int64_t high = type == adSmallInt          ? 32767
                                : type == adUnsignedTinyInt ? 255
                                : type == adTinyInt         ? 127
                                                            : 2147483647LL;
      outOfRange = outOfRange || v < low || v > high;
    } else if ((type == adNumeric || type == adDecimal || type == adVarNumeric || type == adCurrency) &&
               kind != Value::Kind::Text && kind != Value::Kind::Binary) {
      std::optional<std::string> number = CanonicalDecimal(value.AsText());
      if (!number) return;
      std::string_view n = *number;
      if (!n.empty() && n.front() == '-') n.remove_prefix(1);
      const std::size_t point = n.find('.');
      std::string_view whole = n.substr(0, point);
      while (whole.size() > 1 && whole.front() == '0') whole.remove_prefix(1);
      digits = std::max<std::int64_t>(digits, whole == "0" ? 0 : static_cast<std::int64_t>(whole.size()));
      if (point != std::string_view::npos)
        scale = std::max<std::int64_t>(scale, static_cast<std::int64_t>(n.size() - point - 1));
    }
  }
};

}  // namespace

bool Saver::SaveData(const Table& table, Connection& connection, const std::string& dataFilePath,
                     utils::ByteSink* member, std::int32_t progress, backupfile::TableEntry& element) {
  return Trapped("SaveData", [&](Procedure& at) {
    at();
    const std::string& tableName = table.name;
    const Utils& utils = operation_.utils();
    // The parameter row that lets new connections in is the live database's own switch, not data.
    std::string filter =
        text::EqualsNoCase(tableName, "VelaParams") ? " WHERE [ParamName]<>'AllowNewConnection'" : "";
    const std::string& decimal = m_DecimalSeparator;
    const std::string& monetary = m_MonetaryDecimalSeparator;

    at();
    std::unique_ptr<Recordset> rows =
        connection.OpenRecordset("SELECT COUNT(*) AS Count1 FROM " + BracketName(tableName) + filter,
                                 adOpenForwardOnly, adLockReadOnly, adUseServer);
    std::int64_t recordCount = rows->Eof() ? 0 : rows->GetValue("Count1").AsInt();
    rows->Close();
    at();
    rows = connection.OpenRecordset("SELECT * FROM " + BracketName(tableName) + filter, adOpenForwardOnly,
                                    adLockReadOnly, adUseServer);
    if (rows->FieldCount() != table.columns.size()) {
      // The rows carry fields the table's columns do not list (columns the engine computes): the data file
      // holds the listed columns alone, field by field as the document names them.
      rows->Close();
      std::string list;
      for (const Column& column : table.columns)
        list += (list.empty() ? "" : ", ") + BracketName(column.name);
      rows = connection.OpenRecordset("SELECT " + list + " FROM " + BracketName(tableName) + filter,
                                      adOpenForwardOnly, adLockReadOnly, adUseServer);
    }
    at();
    const auto count = static_cast<std::uint32_t>(recordCount);
    std::unique_ptr<backupfile::TableDataFileWriter> writer =
        member != nullptr ? std::make_unique<backupfile::TableDataFileWriter>(*member, dataFilePath, count)
                          : std::make_unique<backupfile::TableDataFileWriter>(dataFilePath, count);
    backupfile::TableDataFileWriter& file = *writer;

    std::int64_t rowNumber = 0, corruptRows = 0;
    const std::size_t fieldCount = rows->FieldCount();
    std::vector<std::int64_t> converted(fieldCount, 0);  // per field: held values saved converted
    // A file database holds any value in any column: how wide they are, per field.
    std::vector<Widest> widest(m_Provider == dpAccess ? fieldCount : 0);
    std::string caption;
    operation_.RaiseTableProgress(tableName, 0, recordCount);
    while (!rows->Eof() && !operation_.Cancelled()) {
      if (rowNumber % 100 == 0 && rowNumber > 0) {
        at();
        if (caption.empty()) caption = GetMessageText(19, tableName);
        operation_.RaiseUpdateProgress(
            progress, caption + " (" + std::to_string(rowNumber) + "/" + std::to_string(recordCount) + ")");
        operation_.RaiseTableProgress(tableName, rowNumber, recordCount);
      }
      at();
      bool suspect = true;
      ++rowNumber;
      file.BeginRow();
      for (std::size_t i = 0; i < fieldCount; ++i) {
        const auto index = static_cast<std::uint32_t>(i);
        const int type = rows->Field(i).type;
        if (const Value& held = rows->GetStoredValue(i); !held.IsEmpty()) {
          if (!widest.empty()) widest[i].Measure(type, held);
          if (KeepsClass(type, held.GetKind())) {
            if (!WriteHeld(file, index, held, false)) suspect = false;
            continue;
          }
          ++converted[i];
        }
        const Value& value = rows->GetValue(i);
        if (value.IsNullOrEmpty()) continue;
        if (!widest.empty()) widest[i].Measure(type, value);
        if (type == adVariant) {
          if (!WriteHeld(file, index, value, true)) suspect = false;
        } else if (IsBinaryType(type)) {
          suspect = false;
          if (value.GetKind() != Value::Kind::Binary)
            file.WriteBinary(index, Bytes());
          else if (value.AsBytes().empty())
            file.WriteHeldBinary(index, value.AsBytes());  // an empty array, which is no NULL
          else
            file.WriteBinary(index, value.AsBytes());
        } else if (IsTextType(type)) {
          // A text goes as it is held, not copied: it may be the row's largest value.
          std::string converted;
          const std::string& text =
              value.GetKind() == Value::Kind::Text ? value.TextRef() : (converted = value.AsText());
          if (!OnlyHashes(text)) suspect = false;
          file.WriteText(index, text);
        } else if (IsDateType(type)) {
          suspect = false;
          file.WriteText(index, utils.DateToText(value, true));
        } else if (type == adBoolean) {
          suspect = false;
          file.WriteText(index, value.AsBool() ? "-1" : "0");
        } else {
          suspect = false;
          if (type == adCurrency)
            file.WriteText(index, WithSeparator(value.AsText(), monetary));
          else if (value.GetKind() == Value::Kind::Double || value.GetKind() == Value::Kind::Decimal)
            file.WriteText(index, WithSeparator(value.AsText(), decimal));
          else
            file.WriteText(index, value.AsText());
        }
      }
      if (suspect) ++corruptRows;
      file.EndRow(suspect);
      at();
      rows->MoveNext();
    }
    for (std::size_t i = 0; i < widest.size(); ++i) {
      const FieldInfo& field = rows->Field(i);
      auto column = std::find_if(element.columns.begin(), element.columns.end(),
                                 [&](const backupfile::ColumnEntry& c) { return c.name == field.name; });
      if (column == element.columns.end()) continue;
      const Widest& w = widest[i];
      if (w.length > column->defineSize.ValueOr(0)) column->maxLength = w.length;
      if (w.outOfRange) column->maxDigits = std::int64_t{19};
      // Currency's scale is its type's: the column reports none.
      const std::int64_t precision = column->precision.ValueOr(0),
                         scale = field.type == adCurrency ? 4 : column->numericScale.ValueOr(0);
      if (w.digits > precision - scale || w.scale > scale) {
        column->maxDigits = w.digits;
        column->maxScale = w.scale;
      }
    }
    std::string convertedColumns;
    std::int64_t convertedCount = 0;
    for (std::size_t i = 0; i < fieldCount; ++i) {
      if (converted[i] == 0) continue;
      convertedColumns += (convertedColumns.empty() ? "" : ", ") + rows->Field(i).name;
      convertedCount += converted[i];
    }
    at();
    rows->Close();
    at();
    file.Finish();
    if (rowNumber > 0 && !operation_.Cancelled())
      operation_.RaiseTableProgress(tableName, rowNumber, recordCount);

    if (corruptRows > 0) {
      at();
      std::int32_t result = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(23, tableName, corruptRows), 48, kCorruptedRowsGuid, result);
    }
    if (convertedCount > 0 && !operation_.Cancelled()) {
      at();
      std::int32_t result = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(43, tableName, convertedColumns, convertedCount), 64,
                                  kConvertedValuesGuid, result);
    }
    return true;
  });
}

}  // namespace vela
