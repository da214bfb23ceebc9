#include "platform/data/sqlite/JetTypes.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/data/DefaultText.h"
#include "platform/data/sqlite/JetStatements.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data::sqlite {
namespace {

constexpr int kDefaultTextSize = 255;  // Jet's size for a text or binary column created without one
constexpr int kDefaultDecimalPrecision = 18;

[[noreturn]] void Mismatch(std::string_view context, std::string_view what) {
  throw Error(kTypeMismatch, kSource,
              "Data type mismatch: " + std::string(what) +
                  (context.empty() ? "" : " (" + std::string(context) + ")"));
}

std::string Collapse(std::string_view text) {
  std::string out;
  for (char c : text::Trim(text)) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return text::ToUpper(out);
}

bool OneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (name == n) return true;
  return false;
}

// Jet's Single keeps float precision; the stored double is the shortest decimal of that float, so the
// value reads back as the text it was written with.
double AsSingle(double value) {
  float f = static_cast<float>(value);
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, f);
  double d = value;
  if (ec == std::errc()) std::from_chars(buffer, end, d);
  return d;
}

std::optional<std::string> CanonicalGuid(std::string_view text) {
  text = text::Trim(text);
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  std::string out = "{";
  for (std::size_t i = 0; i < 36; ++i) {
    char c = text[i];
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out + "}";
}

std::string GuidFromBytes(const unsigned char* b) {
  // The in-memory GUID layout: the first three groups little-endian.
  char buffer[40];
  std::snprintf(buffer, sizeof buffer,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3], b[2], b[1],
                b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return buffer;
}

std::optional<bool> BoolFromText(std::string_view text) {
  text = text::Trim(text);
  if (text::EqualsNoCase(text, "True") || text::EqualsNoCase(text, "Yes") || text::EqualsNoCase(text, "On"))
    return true;
  if (text::EqualsNoCase(text, "False") || text::EqualsNoCase(text, "No") || text::EqualsNoCase(text, "Off"))
    return false;
  double d;
  if (ParseDouble(text, d)) return d != 0.0;
  return std::nullopt;
}

std::string TextOfColumn(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)))
              : std::string();
}

Bytes BytesOfColumn(sqlite3_stmt* stmt, int column) {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
  int size = sqlite3_column_bytes(stmt, column);
  return data ? Bytes(data, data + size) : Bytes();
}

// A column's value in its storage class, as the engine holds it.
Value StoredValue(sqlite3_stmt* stmt, int column, int storage) {
  switch (storage) {
    case SQLITE_INTEGER:
      return Value(static_cast<long long>(sqlite3_column_int64(stmt, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(stmt, column));
    case SQLITE_BLOB:
      return Value(BytesOfColumn(stmt, column));
    default:
      return Value(TextOfColumn(stmt, column));
  }
}

// Whether an integer type holds the number.
bool InRange(int type, std::int64_t v) {
  switch (type) {
    case adSmallInt:
      return v >= -32768 && v <= 32767;
    case adInteger:
      return v >= INT32_MIN && v <= INT32_MAX;
    case adUnsignedTinyInt:
      return v >= 0 && v <= 255;
    default:
      return true;
  }
}

// A whole number within the 64-bit integers.
bool IsWhole64(double d) {
  return d >= -9223372036854775808.0 && d < 9223372036854775808.0 && std::trunc(d) == d;
}

// An empty array is a value too, which a null pointer would bind as NULL.
int BindBytes(sqlite3_stmt* stmt, int index, const Bytes& bytes) {
  return bytes.empty()
             ? sqlite3_bind_zeroblob(stmt, index, 0)
             : sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

// The class a decimal's canonical text is stored in (see the header): a whole number within 64 bits as an
// integer, a number a double gives back digit for digit as a real, any other as its text. Up to 15
// significant digits always come back from a double; longer ones are tried.
enum class DecimalClass { kInteger, kReal, kText };
DecimalClass ClassOfDecimal(const std::string& canonical, std::int64_t& whole, double& real) {
  if (canonical.find('.') == std::string::npos && ParseInt(canonical, whole)) return DecimalClass::kInteger;
  std::size_t digits = 0;
  for (char c : canonical) digits += c >= '0' && c <= '9';
  if (ParseDouble(canonical, real) && std::isfinite(real) &&
      (digits <= 15 || CanonicalDecimal(ShortestDouble(real)) == canonical))
    return DecimalClass::kReal;
  return DecimalClass::kText;
}

int BindDecimal(sqlite3_stmt* stmt, int index, const std::string& canonical) {
  std::int64_t whole = 0;
  double real = 0;
  switch (ClassOfDecimal(canonical, whole, real)) {
    case DecimalClass::kInteger:
      return sqlite3_bind_int64(stmt, index, whole);
    case DecimalClass::kReal:
      return sqlite3_bind_double(stmt, index, real);
    default:
      return sqlite3_bind_text(stmt, index, canonical.data(), static_cast<int>(canonical.size()),
                               SQLITE_TRANSIENT);
  }
}

}  // namespace

ColumnType EngineType(int type, std::int64_t definedSize, int precision, int numericScale) {
  ColumnType t{type, 0, NaturalPrecision(type), NaturalScale(type)};
  switch (type) {
    case adTinyInt:
      t = {adInteger, 0, NaturalPrecision(adInteger), 0};
      break;
    case adChar:
    case adWChar:
      t.type = adWChar;
      t.definedSize = definedSize > 0 ? definedSize : kDefaultTextSize;
      break;
    case adVarChar:
    case adVarWChar:
    case adBSTR:
      t.type = adVarWChar;
      t.definedSize = definedSize > 0 ? definedSize : kDefaultTextSize;
      break;
    case adLongVarChar:
    case adLongVarWChar:
      t = {adLongVarWChar, 0, 0, 0};
      break;
    case adDBTimeStamp:
    case adDBDate:
    case adDBTime:
      t = {adDate, 0, 0, 0};
      break;
    case adBinary:
    case adVarBinary:
      t.definedSize = definedSize > 0 ? definedSize : kDefaultTextSize;
      break;
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      t.type = adNumeric;
      t.precision = precision > 0 ? precision : kDefaultDecimalPrecision;
      t.numericScale = std::max(0, std::min(numericScale, t.precision));
      break;
    case adSmallInt:
    case adInteger:
    case adSingle:
    case adDouble:
    case adCurrency:
    case adDate:
    case adBoolean:
    case adUnsignedTinyInt:
    case adBigInt:
    case adGUID:
    case adLongVarBinary:
    case adVariant:
      break;
    default:
      throw Error(kNotSupported, kSource,
                  "Data type " + std::to_string(type) + " is not supported by this provider");
  }
  return t;
}

std::string DeclarationFor(const ColumnType& t) {
  auto sized = [&](const char* name) {
    return std::string(name) + "(" + std::to_string(t.definedSize) + ")";
  };
  switch (t.type) {
    case adSmallInt:
      return "SMALLINT";
    case adInteger:
      return "INTEGER";
    case adSingle:
      return "FLOAT4";
    case adDouble:
      return "DOUBLE";
    case adCurrency:
      return "CURRENCY BLOB";
    case adDate:
      return "DATETIME";
    case adBoolean:
      return "BOOLEAN";
    case adUnsignedTinyInt:
      return "TINYINT";
    case adBigInt:
      return "BIGINT";
    case adGUID:
      return "GUID";
    case adBinary:
      return sized("BINARY");
    case adWChar:
      return sized("CHAR");
    case adNumeric:
      return "DECIMAL BLOB(" + std::to_string(t.precision) + "," + std::to_string(t.numericScale) + ")";
    case adVarWChar:
      return sized("VARCHAR");
    case adLongVarWChar:
      return "TEXT";
    case adVarBinary:
      return sized("VARBINARY");
    case adLongVarBinary:
      return "BLOB";
    case adVariant:
      return "";
    default:
      return "TEXT";
  }
}

ColumnType TypeFromDeclaration(std::string_view declaration) {
  std::string decl = Collapse(declaration);
  std::string name = decl;
  std::vector<std::int64_t> args;
  if (std::size_t open = decl.find('('); open != std::string::npos) {
    name = std::string(text::Trim(decl.substr(0, open)));
    std::size_t close = decl.find(')', open);
    std::string inside =
        decl.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    for (const std::string& part : text::Split(inside, ',')) {
      std::int64_t v = 0;
      if (ParseInt(part, v)) args.push_back(v);
    }
  }
  auto arg = [&](std::size_t i, std::int64_t fallback) { return i < args.size() ? args[i] : fallback; };
  auto make = [](int type, std::int64_t size = 0) {
    return ColumnType{type, size, NaturalPrecision(type), NaturalScale(type)};
  };
  auto decimal = [&] {
    ColumnType t = make(adNumeric);
    t.precision = static_cast<int>(arg(0, kDefaultDecimalPrecision));
    t.numericScale = static_cast<int>(arg(1, 0));
    return t;
  };

  if (name.empty()) return make(adVariant);
  // This provider's own decimal declarations, of now ("DECIMAL BLOB") and of earlier files ("DECIMAL TEXT").
  if ((name.rfind("DECIMAL", 0) == 0 || name.rfind("NUMERIC", 0) == 0) &&
      (name.find("BLOB") != std::string::npos || name.find("TEXT") != std::string::npos))
    return decimal();
  if (name.rfind("CURRENCY", 0) == 0 || name == "MONEY" || name == "SMALLMONEY") return make(adCurrency);
  if (OneOf(name, {"DECIMAL", "NUMERIC", "NUMBER", "DEC"})) return decimal();
  if (OneOf(name, {"SMALLINT", "INT2", "SHORT"})) return make(adSmallInt);
  if (OneOf(name, {"TINYINT", "BYTE", "INT1", "UNSIGNED TINYINT"})) return make(adUnsignedTinyInt);
  if (OneOf(name, {"BIGINT", "INT8", "UNSIGNED BIG INT", "LONGLONG"})) return make(adBigInt);
  if (OneOf(name, {"FLOAT4", "SINGLE"})) return make(adSingle);
  if (OneOf(name, {"REAL", "DOUBLE", "DOUBLE PRECISION", "FLOAT", "FLOAT8"})) return make(adDouble);
  if (OneOf(name, {"DATE", "DATETIME", "TIMESTAMP", "TIME", "SMALLDATETIME", "DATETIME2"}))
    return make(adDate);
  if (OneOf(name, {"BOOLEAN", "BOOL", "BIT", "YESNO", "LOGICAL"})) return make(adBoolean);
  if (OneOf(name, {"GUID", "UNIQUEIDENTIFIER", "UUID"})) return make(adGUID);
  if (OneOf(name, {"CHAR", "NCHAR", "CHARACTER", "NATIVE CHARACTER"}))
    return make(adWChar, arg(0, kDefaultTextSize));
  if (OneOf(name, {"VARCHAR", "NVARCHAR", "VARYING CHARACTER", "NATIONAL VARYING CHARACTER",
                   "CHARACTER VARYING", "TEXT", "STRING"}) &&
      !args.empty())
    return make(adVarWChar, args[0]);
  if (OneOf(name,
            {"TEXT", "CLOB", "MEMO", "LONGTEXT", "NTEXT", "LONGCHAR", "MEDIUMTEXT", "VARCHAR", "NVARCHAR"}))
    return make(adLongVarWChar);
  if (name == "BINARY") return make(adBinary, arg(0, kDefaultTextSize));
  if (name == "VARBINARY") return args.empty() ? make(adLongVarBinary) : make(adVarBinary, args[0]);
  if (OneOf(name, {"BLOB", "LONGBINARY", "IMAGE", "OLEOBJECT", "GENERAL"})) return make(adLongVarBinary);
  // Otherwise the engine's own affinity rules decide.
  if (name.find("INT") != std::string::npos)
    return make(name.find("BIG") != std::string::npos ? adBigInt : adInteger);
  if (name.find("BLOB") != std::string::npos) return make(adLongVarBinary);
  if (name.find("REAL") != std::string::npos || name.find("FLOA") != std::string::npos ||
      name.find("DOUB") != std::string::npos)
    return make(adDouble);
  if (!args.empty() && name.find("CHAR") != std::string::npos) return make(adVarWChar, args[0]);
  return make(adLongVarWChar);
}

int NaturalPrecision(int type) {
  return type == adNumeric ? kDefaultDecimalPrecision : FixedPrecision(type);
}

int NaturalScale(int type) {
  return type == adCurrency ? 4 : 0;
}

Value ReadValue(sqlite3_stmt* stmt, int column, int type, Value* held) {
  const int storage = sqlite3_column_type(stmt, column);
  if (storage == SQLITE_NULL) return Value::Null();
  if (type == adVariant) return StoredValue(stmt, column, storage);
  // Read before any conversion: converting a column's value changes what the engine reports of it.
  auto hold = [&] {
    if (held != nullptr) *held = StoredValue(stmt, column, storage);
  };
  if (IsBinaryType(type)) {
    if (storage == SQLITE_BLOB) return Value(BytesOfColumn(stmt, column));
    hold();
    std::string text = TextOfColumn(stmt, column);
    return Value(Bytes(text.begin(), text.end()));
  }
  if (storage == SQLITE_BLOB) {
    hold();
    if (type == adGUID && sqlite3_column_bytes(stmt, column) == 16)
      return Value(GuidFromBytes(static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column))));
    return Value(BytesOfColumn(stmt, column));
  }
  if (IsIntegerType(type)) {
    if (storage == SQLITE_INTEGER) {
      const std::int64_t v = sqlite3_column_int64(stmt, column);
      if (!InRange(type, v)) hold();  // another program's 64-bit value in an INTEGER column
      return Value(static_cast<long long>(v));
    }
    hold();
    if (storage == SQLITE_FLOAT)
      return Value(static_cast<long long>(std::llround(sqlite3_column_double(stmt, column))));
    std::int64_t v;
    std::string text = TextOfColumn(stmt, column);
    return ParseInt(text, v) ? Value(static_cast<long long>(v)) : Value(std::move(text));
  }
  switch (type) {
    case adSingle:
    case adDouble: {
      if (storage == SQLITE_FLOAT) {
        const double d = sqlite3_column_double(stmt, column);
        // More digits than a Single keeps would be cut when bound again.
        if (type == adSingle && std::isfinite(d) && AsSingle(d) != d) hold();
        return Value(d);
      }
      hold();
      if (storage == SQLITE_INTEGER) return Value(sqlite3_column_double(stmt, column));
      double d;
      std::string text = TextOfColumn(stmt, column);
      return ParseDouble(text, d) ? Value(d) : Value(std::move(text));
    }
    case adCurrency:
    case adNumeric: {
      if (storage == SQLITE_INTEGER)
        return Value::Decimal(std::to_string(sqlite3_column_int64(stmt, column)));
      if (storage == SQLITE_FLOAT) {
        const double d = sqlite3_column_double(stmt, column);
        // Bound again as a decimal, a whole number would be stored as an integer; an infinity has no
        // decimal text at all.
        if (std::isfinite(d) && !IsWhole64(d)) return Value::Decimal(DecimalFromDouble(d));
        hold();
        return std::isfinite(d) ? Value::Decimal(DecimalFromDouble(d)) : Value(d);
      }
      // A number's text, exact or not in canonical form, is this column's own (the texts of files made
      // before decimals were stored as numbers); any other text is held as it is.
      std::string text = TextOfColumn(stmt, column);
      if (auto canonical = CanonicalDecimal(text)) return Value::Decimal(std::move(*canonical));
      if (held != nullptr) *held = Value(text);
      return Value(std::move(text));
    }
    case adDate: {
      if (storage == SQLITE_INTEGER) {
        hold();
        return Value::Date(DateFromUnixTime(sqlite3_column_int64(stmt, column)));
      }
      if (storage == SQLITE_FLOAT) {
        hold();
        return Value::Date(DateFromJulianDay(sqlite3_column_double(stmt, column)));
      }
      std::string text = TextOfColumn(stmt, column);
      auto canonical = CanonicalDate(text);
      if (canonical && *canonical == text) return Value::Date(std::move(text));
      if (held != nullptr) *held = Value(text);
      return canonical ? Value::Date(std::move(*canonical)) : Value(std::move(text));
    }
    case adBoolean: {
      if (storage == SQLITE_INTEGER) {
        const std::int64_t v = sqlite3_column_int64(stmt, column);
        if (v != 0 && v != 1) hold();
        return Value(v != 0);
      }
      hold();
      if (storage == SQLITE_FLOAT) return Value(sqlite3_column_double(stmt, column) != 0.0);
      std::string text = TextOfColumn(stmt, column);
      auto b = BoolFromText(text);
      return b ? Value(*b) : Value(std::move(text));
    }
    case adGUID: {
      if (storage != SQLITE_TEXT) hold();
      std::string text = TextOfColumn(stmt, column);
      auto canonical = CanonicalGuid(text);
      if (storage == SQLITE_TEXT && (!canonical || *canonical != text) && held != nullptr)
        *held = Value(text);
      return Value(canonical ? std::move(*canonical) : std::move(text));
    }
    default:
      if (storage == SQLITE_TEXT) return Value(TextOfColumn(stmt, column));
      hold();
      if (storage == SQLITE_FLOAT) return Value(ShortestDouble(sqlite3_column_double(stmt, column)));
      return Value(TextOfColumn(stmt, column));
  }
}

void BindValue(sqlite3_stmt* stmt, int index, const Value& value, int type, std::string_view context) {
  auto check = [&](int rc) {
    if (rc != SQLITE_OK) ThrowEngineError(sqlite3_db_handle(stmt), rc, context);
  };
  auto bindText = [&](const std::string& text) {
    check(sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
  };
  if (value.IsNullOrEmpty()) {
    check(sqlite3_bind_null(stmt, index));
    return;
  }
  Value::Kind kind = value.GetKind();
  if (type == adVariant) {
    // Every value as it is, in its own class; a decimal as a decimal column stores it.
    switch (kind) {
      case Value::Kind::Boolean:
        check(sqlite3_bind_int(stmt, index, value.AsBool() ? 1 : 0));
        return;
      case Value::Kind::Integer:
        check(sqlite3_bind_int64(stmt, index, value.AsInt()));
        return;
      case Value::Kind::Double:
        check(sqlite3_bind_double(stmt, index, value.AsDouble()));
        return;
      case Value::Kind::Binary:
        check(BindBytes(stmt, index, value.AsBytes()));
        return;
      case Value::Kind::Decimal:
        if (auto text = CanonicalDecimal(value.TextRef())) {
          check(BindDecimal(stmt, index, *text));
          return;
        }
        bindText(value.TextRef());
        return;
      default:
        bindText(value.TextRef());
        return;
    }
  }
  if (IsBinaryType(type)) {
    if (kind == Value::Kind::Binary) {
      check(BindBytes(stmt, index, value.AsBytes()));
    } else {
      std::string text = value.AsText();
      check(sqlite3_bind_blob(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    return;
  }
  if (kind == Value::Kind::Binary && !IsTextType(type))
    Mismatch(context, "binary data for a non-binary column");
  try {
    if (IsIntegerType(type)) {
      std::int64_t v = value.AsInt();
      if (!InRange(type, v)) Mismatch(context, "the value " + std::to_string(v) + " is out of range");
      check(sqlite3_bind_int64(stmt, index, v));
      return;
    }
    switch (type) {
      case adSingle:
        check(sqlite3_bind_double(stmt, index, AsSingle(value.AsDouble())));
        return;
      case adDouble:
        check(sqlite3_bind_double(stmt, index, value.AsDouble()));
        return;
      case adCurrency:
      case adNumeric: {
        if (kind == Value::Kind::Integer || kind == Value::Kind::Boolean) {
          check(sqlite3_bind_int64(stmt, index, value.AsInt()));
        } else if (kind == Value::Kind::Double) {
          const double d = value.AsDouble();
          if (!std::isfinite(d)) Mismatch(context, "not a finite number");
          check(IsWhole64(d) ? sqlite3_bind_int64(stmt, index, static_cast<std::int64_t>(d))
                             : sqlite3_bind_double(stmt, index, d));
        } else {
          std::optional<std::string> text = CanonicalDecimal(value.AsText());
          if (!text) Mismatch(context, "\"" + value.AsText() + "\" is not a number");
          check(BindDecimal(stmt, index, *text));
        }
        return;
      }
      case adDate: {
        std::optional<std::string> text;
        if (kind == Value::Kind::Double || kind == Value::Kind::Integer)
          text = DateFromOleDays(value.AsDouble());
        else
          text = CanonicalDate(value.AsText());
        if (!text) Mismatch(context, "\"" + value.AsText() + "\" is not a date");
        bindText(*text);
        return;
      }
      case adBoolean:
        check(sqlite3_bind_int(stmt, index, value.AsBool() ? 1 : 0));
        return;
      case adGUID: {
        auto text = CanonicalGuid(value.AsText());
        if (!text) Mismatch(context, "\"" + value.AsText() + "\" is not a GUID");
        bindText(*text);
        return;
      }
      default:
        // Texts bind straight from the value; only other kinds need their text made first.
        if (kind == Value::Kind::Text || kind == Value::Kind::Date || kind == Value::Kind::Decimal)
          bindText(value.TextRef());
        else
          bindText(value.AsText());
        return;
    }
  } catch (const Error& e) {
    if (e.Number() != kTypeMismatch || e.Source() == kSource) throw;
    Mismatch(context, e.Description());
  }
}

std::optional<std::string> EngineDefault(std::string_view jetDefault, int type) {
  using Kind = DefaultText::Kind;
  std::optional<DefaultText> read = ReadDefaultText(jetDefault);
  if (!read) return std::nullopt;
  const bool isText = IsTextType(type);
  switch (read->kind) {
    case Kind::kNow:
      return "(datetime('now','localtime'))";
    case Kind::kDate:
      return "(date('now','localtime') || ' 00:00:00')";
    case Kind::kTime:
      return "('1899-12-30 ' || time('now','localtime'))";
    case Kind::kYes:
    case Kind::kNo: {
      const bool yes = read->kind == Kind::kYes;
      if (type == adBoolean) return yes ? "1" : "0";
      return isText ? QuoteText(yes ? "-1" : "0") : std::string(yes ? "-1" : "0");
    }
    case Kind::kNumber: {
      const std::string& number = read->value;
      if (type == adBoolean) return number == "0" ? "0" : "1";
      if (isText) return QuoteText(read->raw);
      if (type == adCurrency || type == adNumeric) {
        // Stored in the class a bound value of the same number gets.
        std::int64_t whole = 0;
        double real = 0;
        return ClassOfDecimal(number, whole, real) == DecimalClass::kText ? QuoteText(number) : number;
      }
      if (type == adDate) {
        // A number as a date default is a count of days; one that is no date of the years 1 to 9999 is
        // refused by name rather than stored as some other date (or left out without a word).
        double days = 0;
        if (ParseDouble(number, days)) {
          try {
            return QuoteText(DateFromOleDays(days));
          } catch (const Error& e) {
            if (e.Number() != kTypeMismatch) throw;
          }
        }
        throw Error(kTypeMismatch, kSource,
                    "Data type mismatch: the default " + number + " of a Date/Time column is no date");
      }
      return number;
    }
    case Kind::kText:
      if (type == adDate) {
        if (auto date = CanonicalDate(read->value)) return QuoteText(*date);
      }
      return QuoteText(read->value);
    case Kind::kNewGuid:
    case Kind::kWord:
      if (type == adDate) {
        if (auto date = CanonicalDate(read->raw)) return QuoteText(*date);
      }
      if (isText) return QuoteText(read->raw);
      return std::nullopt;
  }
  return std::nullopt;
}

std::string JetDefaultFromEngine(std::string_view engineDefault) {
  std::string_view t = text::Trim(engineDefault);
  std::string upper = text::ToUpper(t);
  if (upper == "CURRENT_TIMESTAMP") return "Now()";
  if (upper == "CURRENT_DATE") return "Date()";
  if (upper == "CURRENT_TIME") return "Time()";
  if (t.size() >= 2 && t.front() == '\'' && t.back() == '\'') {
    std::string value = text::ReplaceAll(t.substr(1, t.size() - 2), "''", "'");
    return "\"" + text::ReplaceAll(value, "\"", "\"\"") + "\"";
  }
  return std::string(t);
}

}  // namespace vela::data::sqlite
