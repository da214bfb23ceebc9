// Decoding the fields of a table data file for the target engines.
#include "restore/RowValues.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "backupfile/FormatNumericValue.h"
#include "platform/data/Canonical.h"
#include "platform/text/Strings.h"
#include "platform/text/Utf16.h"
#include "velabackup/data/Types.h"

namespace vela {

using namespace data;

namespace {

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

// A date text the server takes: "YYYY-MM-DD..." of a year from 1 on, a month and a day that can be; nothing
// for any other text.
std::optional<std::string> ServerDate(const std::string& text) {
  std::string_view t = text::Trim(text);
  bool shaped = t.size() >= 10 && t[4] == '-' && t[7] == '-';
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) shaped = shaped && t[i] >= '0' && t[i] <= '9';
  if (!shaped || t.substr(0, 4) == "0000") return std::nullopt;
  const int month = (t[5] - '0') * 10 + (t[6] - '0'), day = (t[8] - '0') * 10 + (t[9] - '0');
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  return std::string(t);
}

// What the server does not store in a piece of UTF-16 becomes U+FFFD; says whether anything did.
bool ReplaceForServer(std::u16string& units, bool& nul, bool& bytes) {
  bool replaced = false;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t& unit = units[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF, low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ++i;  // a character beyond the BMP
    } else if (unit == 0 || high || low) {
      (unit == 0 ? nul : bytes) = true;
      unit = 0xFFFD;
      replaced = true;
    }
  }
  return replaced;
}

// A text the server stores: it holds neither NUL nor bytes that are not UTF-8, each of which becomes the
// replacement character U+FFFD in `replaced`. Returns what was replaced, empty when nothing was (and
// `replaced` is left alone). Looked at piece by piece: a long text is not converted whole, and copied only
// when something in it changes.
std::string ServerText(std::string_view text, std::string& replaced) {
  bool plain = true;
  for (char c : text) plain = plain && c != '\0' && static_cast<unsigned char>(c) < 0x80;
  if (plain) return {};
  bool nul = false, bytes = false, changed = false;
  std::u16string units;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t piece = text::Utf8PieceLength(text.substr(at), backupfile::datafile::kValuePiece);
    units.clear();
    text::AppendUtf16(text.substr(at, piece), units);
    if (ReplaceForServer(units, nul, bytes) && !changed) {
      changed = true;
      replaced.assign(text.substr(0, at));
    }
    if (changed) text::AppendUtf8(units, replaced);
    at += piece;
  }
  if (!changed) return {};
  return std::string(nul ? "NUL" : "") + (nul && bytes ? " and " : "") +
         (bytes ? "bytes that are not UTF-8" : "") + " replaced by U+FFFD";
}

// A field's text as a value: a long one hands the value its buffer; a short one is copied, so that `text`
// keeps its buffer for the next field.
Value TextValue(std::string& text) {
  if (text.size() > backupfile::datafile::kValuePiece) return Value(std::move(text));
  return Value(text);
}

// The value of a field with a class letter, in that class.
Value HeldValue(const backupfile::TableDataFileReader& field, std::string& text) {
  using Class = backupfile::TableDataFileReader::ValueClass;
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
      return TextValue(text);
  }
}

// A held value for a server column, which keeps one type: a date held as a number is read as the file
// engine reads one (seconds since 1970, a Julian day), a text in a date column as a date text. What the
// column's type cannot read is left empty and `how` says so.
Value ForServer(const ColumnInfo& column, Value held, std::string& how) {
  const int type = column.dataType;
  auto refused = [&](const char* what) {
    how = std::string("not ") + what + ", left empty";
    return Value::Null();
  };
  if (IsDateType(type)) {
    std::optional<std::string> date;
    switch (held.GetKind()) {
      case Value::Kind::Integer:
        date = ServerDate(DateFromUnixTime(held.AsInt()));
        break;
      case Value::Kind::Double:
        date = ServerDate(DateFromJulianDay(held.AsDouble()));
        break;
      case Value::Kind::Text:
        date = ServerDate(held.TextRef());
        break;
      default:
        return held;
    }
    return date ? Value::Date(std::move(*date)) : refused("a date");
  }
  // A whole-number column rounds a fraction the file held in it.
  if (IsIntegerType(type) && held.GetKind() == Value::Kind::Double &&
      std::trunc(held.AsDouble()) != held.AsDouble())
    how = "rounded to a whole number";
  if (held.GetKind() != Value::Kind::Text) return held;
  std::int64_t whole = 0;
  double real = 0;
  if (IsIntegerType(type) && !ParseInt(held.TextRef(), whole)) return refused("a whole number");
  if ((type == adSingle || type == adDouble) && !ParseDouble(held.TextRef(), real))
    return refused("a number");
  if ((type == adNumeric || type == adDecimal || type == adVarNumeric || type == adCurrency) &&
      !CanonicalDecimal(held.TextRef()))
    return refused("a number");
  std::string replaced;
  how = ServerText(held.TextRef(), replaced);
  return how.empty() ? held : Value(std::move(replaced));
}

// A value its server column holds: a text longer than a sized column is cut (there is no wider column once
// the rows go in), an integer or a number beyond the column's range is left empty; `how` says so.
Value Fit(const ColumnInfo& column, Value value, std::string& how) {
  const int type = column.dataType;
  const Value::Kind kind = value.GetKind();
  if (column.definedSize > 0 && kind == Value::Kind::Text &&
      static_cast<std::int64_t>(value.TextRef().size()) > column.definedSize) {
    const std::string& text = value.TextRef();
    std::int64_t characters = 0;
    std::size_t end = 0;
    for (; end < text.size(); ++end)
      if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && ++characters > column.definedSize) break;
    if (end == text.size()) return value;
    how = "cut to " + std::to_string(column.definedSize) + " characters";
    return Value(text.substr(0, end));
  }
  // Texts too short to be out of range are passed at once.
  const auto shorter = [&](std::size_t size) {
    return kind == Value::Kind::Text && value.TextRef().size() <= size;
  };
  if (IsIntegerType(type) && type != adBigInt &&
      (kind == Value::Kind::Integer || kind == Value::Kind::Text) && !shorter(type == adInteger ? 9 : 4)) {
    std::int64_t whole = 0;
    if (kind == Value::Kind::Integer)
      whole = value.AsInt();
    else if (!ParseInt(value.TextRef(), whole))
      return value;
    const std::int64_t high = type == adInteger ? 2147483647LL : 32767;  // smaller integers are smallints
    if (whole < -high - 1 || whole > high) {
      how = "beyond the column's range, left empty";
      return Value::Null();
    }
  }
  if (column.wholeDigits > 0 && kind != Value::Kind::Null && kind != Value::Kind::Binary &&
      !shorter(static_cast<std::size_t>(column.wholeDigits))) {
    std::optional<std::string> number = CanonicalDecimal(value.AsText());
    if (!number) return value;
    std::string_view n = *number;
    if (!n.empty() && n.front() == '-') n.remove_prefix(1);
    const std::size_t point = std::min(n.find('.'), n.size());
    if (static_cast<std::int64_t>(point) > column.wholeDigits && n.substr(0, point) != "0") {
      how = "beyond the column's precision, left empty";
      return Value::Null();
    }
  }
  return value;
}

std::string Number(std::string& text, const Separators& separators, bool monetary) {
  return backupfile::FormatNumericValue(text, monetary ? separators.monetaryDecimal : separators.decimal,
                                        monetary ? separators.monetaryThousands : separators.thousands, ".",
                                        "");
}

// The text of a field in its column's form, into `text`.
void FieldText(const backupfile::TableDataFileReader& field, std::string& text) {
  text.clear();
  field.AppendText(text);
}

bool Held(const backupfile::TableDataFileReader& field) {
  return field.Class() != backupfile::TableDataFileReader::ValueClass::kColumn;
}

// The value of a field for the server, converted as the column's type reads it.
Value ServerFieldValue(const ColumnInfo& column, const backupfile::TableDataFileReader& field,
                       const Separators& separators, std::string& text, std::string& how) {
  if (Held(field)) return ForServer(column, HeldValue(field, text), how);
  const int type = column.dataType;
  if (IsBinaryType(type)) return Value(field.Bytes());
  FieldText(field, text);
  if (type == adBoolean) {
    std::optional<double> flag = ParseNumber(text);
    return Value(flag && *flag != 0.0);
  }
  if (type == adSingle || type == adDouble || type == adDecimal || type == adVarNumeric || type == adNumeric)
    return Value(Number(text, separators, false));
  if (type == adCurrency) return Value(Number(text, separators, true));
  if (type == adDate || type == adDBDate) {
    if (std::optional<std::string> date = ServerDate(text)) return Value::Date(std::move(*date));
    how = "not a date, left empty";
    return Value::Null();
  }
  std::string replaced;
  how = ServerText(text, replaced);
  return how.empty() ? TextValue(text) : Value(std::move(replaced));
}

}  // namespace

Value FileValue(const ColumnInfo& column, const backupfile::TableDataFileReader& field,
                const Separators& separators, std::string& text) {
  if (Held(field)) return HeldValue(field, text);
  const int type = column.dataType;
  FieldText(field, text);
  if (type == adBoolean) {
    std::optional<double> flag = ParseNumber(text);
    return Value(flag && *flag != 0.0);
  }
  if (type == adSingle || type == adDouble) {
    std::string converted = Number(text, separators, false);
    std::optional<double> parsed = ParseNumber(converted);
    return parsed ? Value(*parsed) : Value(std::move(converted));
  }
  if (type == adDecimal || type == adNumeric || type == adVarNumeric)
    return Value::Decimal(Number(text, separators, false));
  if (type == adCurrency) return Value::Decimal(Number(text, separators, true));
  if (type == adDate || type == adDBDate || type == adDBTime || type == adDBTimeStamp)
    return Value::Date(text);
  if (IsIntegerType(type)) {
    if (std::optional<std::int64_t> whole = ParseWholeNumber(text)) return Value(*whole);
    if (ParseNumber(text)) return Value(Value(text).AsInt());
  }
  return TextValue(text);
}

Value ServerValue(const ColumnInfo& column, const backupfile::TableDataFileReader& field,
                  const Separators& separators, std::string& text, std::string& how) {
  how.clear();
  Value value = ServerFieldValue(column, field, separators, text, how);
  return how.empty() ? Fit(column, std::move(value), how) : value;
}

}  // namespace vela
