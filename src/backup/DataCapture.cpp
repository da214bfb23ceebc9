// Data capture: the rows of one table into its table data file (backup/TableDataFile.h), streamed through
// a forward-only cursor, with progress every 100 rows and a notice for rows that look corrupted.
#include "backup/Save.h"
#include "backup/TableDataFile.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

// A text made only of "#" (the empty text included) is what a damaged row reads as.
bool OnlyHashes(std::string_view text) {
  return text.find_first_not_of('#') == std::string_view::npos;
}

// A number's text with the saving machine's decimal separator in place of the canonical ".".
std::string WithSeparator(std::string text, const std::string& separator) {
  if (separator == ".") return text;
  std::size_t point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, separator);
  return text;
}

}  // namespace

bool Saver::SaveData(const std::string& tableName, Connection& connection, const std::string& dataFilePath,
                     std::int32_t progress) {
  return Trapped("SaveData", [&](Procedure& at) {
    at();
    const Utils& utils = operation_.utils();
    // The parameter row that lets new connections in is the live database's own switch, not data.
    std::string filter =
        text::EqualsNoCase(tableName, "VelaParams") ? " WHERE ParamName<>'AllowNewConnection'" : "";
    const std::string decimal = utils.LocaleItem(kLocaleDecimalSeparator);
    const std::string monetary = utils.LocaleItem(kLocaleMonetaryDecimalSeparator);

    at();
    std::unique_ptr<Recordset> rows =
        connection.OpenRecordset("SELECT COUNT(*) AS Count1 FROM " + BracketName(tableName) + filter,
                                 adOpenForwardOnly, adLockReadOnly, adUseServer);
    std::int64_t recordCount = rows->Eof() ? 0 : rows->GetValue("Count1").AsInt();
    rows->Close();
    at();
    rows = connection.OpenRecordset("SELECT * FROM " + BracketName(tableName) + filter, adOpenForwardOnly,
                                    adLockReadOnly, adUseServer);
    at();
    backup::TableDataFileWriter file(dataFilePath, static_cast<std::uint32_t>(recordCount));

    std::int64_t rowNumber = 0, corruptRows = 0;
    const std::size_t fieldCount = rows->FieldCount();
    std::string caption;
    while (!rows->Eof() && !operation_.Cancelled()) {
      if (rowNumber % 100 == 0 && rowNumber > 0) {
        at();
        if (caption.empty()) caption = GetMessageText(19, tableName);
        operation_.RaiseUpdateProgress(
            progress, caption + " (" + std::to_string(rowNumber) + "/" + std::to_string(recordCount) + ")");
      }
      at();
      bool suspect = true;
      ++rowNumber;
      file.BeginRow();
      for (std::size_t i = 0; i < fieldCount; ++i) {
        const Value& value = rows->GetValue(i);
        if (value.IsNullOrEmpty()) continue;
        const auto index = static_cast<std::uint32_t>(i);
        const int type = rows->Field(i).type;
        if (IsBinaryType(type)) {
          suspect = false;
          file.WriteBinary(index, value.GetKind() == Value::Kind::Binary ? value.AsBytes() : Bytes());
        } else if (IsTextType(type)) {
          std::string text = value.AsText();
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
    at();
    rows->Close();
    at();
    file.Finish();

    if (corruptRows > 0) {
      at();
      std::int32_t result = kAnswerOk;
      operation_.RaiseShowMessage(GetMessageText(23, tableName, corruptRows), 48,
                                  "{8C4E3CBD-13EC-4E92-8EB5-65D220A0933E}", result);
    }
    return true;
  });
}

}  // namespace vela
