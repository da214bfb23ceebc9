#include "platform/data/postgres/ServerValues.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/data/BufferedRecordset.h"
#include "platform/data/Canonical.h"
#include "platform/data/postgres/ServerTypes.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {

namespace {

using namespace pgtype;

// The type a parameter is declared with: the server reads the text as that type, so a number, date or
// Boolean reaches a column of another type by the server's own assignment casts. Texts stay "unknown",
// which takes the type of whatever the placeholder stands beside.
Oid ParameterType(const Parameter& parameter) {
  if (parameter.value.GetKind() == Value::Kind::Binary || IsBinaryType(parameter.type)) return kBytea;
  switch (parameter.type) {
    case adSmallInt:
    case adTinyInt:
    case adUnsignedTinyInt:
      return kInt2;
    case adInteger:
      return kInt4;
    case adBigInt:
      return kInt8;
    case adSingle:
      return kFloat4;
    case adDouble:
      return kFloat8;
    case adCurrency:
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      return kNumeric;
    case adBoolean:
      return kBool;
    case adDate:
    case adDBTimeStamp:
      return kTimestamp;
    case adDBDate:
      return kDate;
    case adGUID:
      return kUuid;
    default:
      return 0;
  }
}

std::string DoubleText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return ShortestDouble(value);
}

// A value's text for a parameter of the given type.
std::string ParameterText(const Value& value, Oid type) {
  // A number for a whole-number parameter is rounded as the automation conversions round it.
  bool whole = type == kInt2 || type == kInt4 || type == kInt8;
  if (whole && value.GetKind() == Value::Kind::Double) return std::to_string(value.AsInt());
  // A Boolean given as a number or a text ("-1", "True") is read as the automation types read it; what
  // they cannot read goes as it is, for the server to refuse naming the column.
  if (type == kBool && value.GetKind() != Value::Kind::Boolean) {
    try {
      return value.AsBool() ? "true" : "false";
    } catch (const Error&) {
      return value.AsText();
    }
  }
  switch (value.GetKind()) {
    case Value::Kind::Boolean:
      if (type == kBool || type == 0) return value.AsBool() ? "true" : "false";
      return value.AsText();
    case Value::Kind::Double:
      return DoubleText(value.AsDouble());
    case Value::Kind::Text:
    case Value::Kind::Date:
    case Value::Kind::Decimal:
      return value.TextRef();
    default:
      return value.AsText();
  }
}

// A GUID's text in one of the forms the server reads ("{...}" or bare, 32 hex digits with or without dashes).
bool LooksLikeGuid(std::string_view text) {
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') text = text.substr(1, text.size() - 2);
  int digits = 0;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)))
      ++digits;
    else if (c != '-')
      return false;
  }
  return digits == 32;
}

// Whether the server surely reads a text as a value of the type: a whole number in the type's range, a
// decimal number, a date or a GUID in the forms this layer writes them.
bool ReadsAs(Oid type, std::string_view text) {
  switch (type) {
    case kInt2:
    case kInt4:
    case kInt8: {
      std::int64_t value = 0;
      if (!ParseInt(text, value)) return false;
      if (type == kInt2) return value >= -32768 && value <= 32767;
      if (type == kInt4) return value >= -2147483648LL && value <= 2147483647LL;
      return true;
    }
    case kNumeric:
      return CanonicalDecimal(text).has_value();
    case kFloat4:
    case kFloat8: {
      double value = 0;
      return ParseDouble(text, value) && std::isfinite(value) &&
             (type == kFloat8 || std::fabs(value) < 3.4e38);
    }
    case kTimestamp:
    case kDate:
      return CanonicalDate(text).has_value();
    case kUuid:
      return LooksLikeGuid(text);
    default:
      return false;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// bytea in the hex output form ("\x0a1b..."), which the session asks for.
Value BinaryFromText(const char* text, int length) {
  Bytes bytes;
  if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
    bytes.reserve(static_cast<std::size_t>(length - 2) / 2);
    for (int i = 2; i + 1 < length; i += 2)
      bytes.push_back(static_cast<std::uint8_t>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1])));
    return Value(std::move(bytes));
  }
  // The escape form, should a server be set to it.
  std::size_t size = 0;
  unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
  if (raw != nullptr) {
    bytes.assign(raw, raw + size);
    PQfreemem(raw);
  }
  return Value(std::move(bytes));
}

Value DoubleFromText(std::string_view text) {
  if (text == "NaN") return Value(std::nan(""));
  if (text == "Infinity") return Value(HUGE_VAL);
  if (text == "-Infinity") return Value(-HUGE_VAL);
  double value = 0;
  if (ParseDouble(text, value)) return Value(value);
  return Value(text);
}

bool AllDigits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return !text.empty();
}

// The fraction of a number or a time without the zeros that end it, and its point when none is left.
void DropTrailingZeros(std::string& text, std::size_t point) {
  std::size_t end = text.size();
  while (end > point + 1 && text[end - 1] == '0') --end;
  text.resize(end == point + 1 ? point : end);
}

// A date or timestamp in its canonical form; a time zone (always UTC in this session) is dropped.
// Values the canonical form cannot hold ("infinity", dates before Christ) stay texts.
Value DateFromText(std::string_view text, bool withZone) {
  if (withZone) {
    std::size_t sign = text.find_last_of("+-");
    if (sign != std::string_view::npos && sign > 10) text = text.substr(0, sign);
  }
  // The server writes "YYYY-MM-DD[ HH:MM:SS[.ffffff]]", which is canonical but for the time of a date and
  // the zeros that end a fraction: taken as it stands, without reading it through.
  const bool day = text.size() == 10 && text[4] == '-' && text[7] == '-' && AllDigits(text.substr(0, 4)) &&
                   AllDigits(text.substr(5, 2)) && AllDigits(text.substr(8, 2));
  if (day) return Value::Date(std::string(text) + " 00:00:00");
  const bool time = text.size() >= 19 && text[10] == ' ' && text[13] == ':' && text[16] == ':' &&
                    AllDigits(text.substr(11, 2)) && AllDigits(text.substr(14, 2)) &&
                    AllDigits(text.substr(17, 2));
  if (time && text[4] == '-' && text[7] == '-' && AllDigits(text.substr(0, 4)) &&
      AllDigits(text.substr(5, 2)) && AllDigits(text.substr(8, 2))) {
    if (text.size() == 19) return Value::Date(std::string(text));
    if (text[19] == '.' && AllDigits(text.substr(20))) {
      std::string canonical(text);
      DropTrailingZeros(canonical, 19);
      return Value::Date(std::move(canonical));
    }
  }
  if (auto canonical = CanonicalDate(text)) return Value::Date(std::move(*canonical));
  return Value(text);
}

// A numeric in its canonical form. The server writes "[-]digits[.digits]" without leading zeros, which is
// canonical but for the zeros that end the fraction.
Value DecimalFromText(std::string_view text) {
  std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  const std::size_t point = digits.find('.');
  const std::string_view whole = digits.substr(0, point);
  const bool plain = AllDigits(whole) && (whole.size() == 1 || whole.front() != '0') &&
                     (point == std::string_view::npos || AllDigits(digits.substr(point + 1)));
  if (plain) {
    std::string canonical(text);
    if (point != std::string_view::npos) DropTrailingZeros(canonical, text.size() - digits.size() + point);
    if (canonical != "-0") return Value::Decimal(std::move(canonical));
  }
  if (auto canonical = CanonicalDecimal(text)) return Value::Decimal(std::move(*canonical));
  return Value(text);  // "NaN"
}

}  // namespace

void BoundParameters::Bind(std::span<const Parameter> parameters) {
  // Converted texts live in texts_, which never grows past the room reserved here, so pointers into it
  // hold; a value that is sent as it is points into the parameter itself, which outlives the binding.
  textsToRead_ = false;
  texts_.clear();
  types_.clear();
  values_.clear();
  lengths_.clear();
  formats_.clear();
  texts_.reserve(parameters.size());
  types_.reserve(parameters.size());
  values_.reserve(parameters.size());
  lengths_.reserve(parameters.size());
  formats_.reserve(parameters.size());
  static const char kEmpty[] = "";
  for (const Parameter& parameter : parameters) {
    const Value& value = parameter.value;
    const Value::Kind kind = value.GetKind();
    Oid type = ParameterType(parameter);
    types_.push_back(type);
    if (value.IsNullOrEmpty()) {
      values_.push_back(nullptr);
      lengths_.push_back(0);
      formats_.push_back(0);
    } else if (type == kBytea) {
      // bytea travels in binary form: the bytes themselves, no escaping.
      if (kind == Value::Kind::Binary) {
        const Bytes& bytes = value.AsBytes();
        values_.push_back(bytes.empty() ? kEmpty : reinterpret_cast<const char*>(bytes.data()));
        lengths_.push_back(static_cast<int>(bytes.size()));
      } else {
        texts_.push_back(value.AsText());
        values_.push_back(texts_.back().data());
        lengths_.push_back(static_cast<int>(texts_.back().size()));
      }
      formats_.push_back(1);
    } else {
      const bool asItIs = type != kBool && (kind == Value::Kind::Text || kind == Value::Kind::Date ||
                                            kind == Value::Kind::Decimal);
      if (asItIs) {
        values_.push_back(value.TextRef().c_str());
      } else {
        texts_.push_back(ParameterText(value, type));
        values_.push_back(texts_.back().c_str());
      }
      lengths_.push_back(0);
      formats_.push_back(0);
      // A Boolean's text was read here already; the other types' texts the server reads.
      if (asItIs && type != 0 && kind == Value::Kind::Text)
        textsToRead_ = textsToRead_ || !ReadsAs(type, value.TextRef());
      if (!asItIs && type == kBool && kind == Value::Kind::Text && texts_.back() != "true" &&
          texts_.back() != "false")
        textsToRead_ = true;
    }
  }
}

std::string BoundParameters::TypeKey() const {
  std::string key;
  for (Oid type : types_) key += std::to_string(type) + ",";
  return key;
}

FieldInfo FieldFromResult(const PGresult* result, int column) {
  AdoType ado = AdoTypeFor(PQftype(result, column), PQfmod(result, column));
  return FieldInfo{PQfname(result, column), ado.type, ado.definedSize, ado.precision, ado.numericScale};
}

const FieldInfo& ResultRecordset::Field(std::size_t index) const {
  if (index >= fields_.size()) ThrowNoSuchField(kSourceServerProvider, index);
  return fields_[index];
}

Value ValueFromResult(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return Value::Null();
  return ValueFromText(PQftype(result, column), PQgetvalue(result, row, column),
                       PQgetlength(result, row, column));
}

Value ValueFromText(Oid type, const char* text, int length) {
  std::string_view view(text, static_cast<std::size_t>(length));
  switch (type) {
    case kBool:
      return Value(view == "t");
    case kBpchar:
      // The server pads a char(n) value with blanks it holds insignificant; the value is what it was given.
      while (!view.empty() && view.back() == ' ') view.remove_suffix(1);
      return Value(view);
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid: {
      std::int64_t value = 0;
      if (ParseInt(view, value)) return Value(static_cast<long long>(value));
      return Value(view);
    }
    case kFloat4:
    case kFloat8:
      return DoubleFromText(view);
    case kNumeric:
      return DecimalFromText(view);
    case kBytea:
      return BinaryFromText(text, length);
    case kDate:
    case kTimestamp:
      return DateFromText(view, false);
    case kTimestampTz:
      return DateFromText(view, true);
    case kUuid: {
      // In the form GUIDs take everywhere else: braces and capitals.
      std::string guid;
      guid.reserve(view.size() + 2);
      guid += '{';
      for (char c : view) guid += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
      guid += '}';
      return Value(std::move(guid));
    }
    case kTime:
      // A time of day is a date on the day dates count from, as the automation types hold it.
      if (auto canonical = CanonicalDate("1899-12-30 " + std::string(view)))
        return Value::Date(std::move(*canonical));
      return Value(view);
    default:
      return Value(view);
  }
}

}  // namespace vela::data::postgres
