#include "platform/data/sqlite/JetValues.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data::sqlite {
namespace {

[[noreturn]] void Mismatch(std::string_view context, std::string_view what) {
  throw Error(kTypeMismatch, kSource,
              "Data type mismatch: " + std::string(what) +
                  (context.empty() ? "" : " (" + std::string(context) + ")"));
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

// An empty array is a value too, which a null pointer would bind as NULL. The bytes are the bound value's
// own, which outlives the step (see BindValue), so the engine reads them where they are.
int BindBytes(sqlite3_stmt* stmt, int index, const Bytes& bytes) {
  return bytes.empty()
             ? sqlite3_bind_zeroblob(stmt, index, 0)
             : sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
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

DecimalClass ClassOfDecimal(const std::string& canonical, std::int64_t& whole, double& real) {
  if (canonical.find('.') == std::string::npos && ParseInt(canonical, whole)) return DecimalClass::kInteger;
  std::size_t digits = 0;
  for (char c : canonical) digits += c >= '0' && c <= '9';
  if (ParseDouble(canonical, real) && std::isfinite(real) &&
      (digits <= 15 || CanonicalDecimal(ShortestDouble(real)) == canonical))
    return DecimalClass::kReal;
  return DecimalClass::kText;
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
  // The value's own text is not copied: callers step the statement while they still hold the value, and
  // bind every parameter again before the next step, so a long text is in memory once.
  auto bindHeld = [&](const std::string& text) {
    check(sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC));
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
        bindHeld(value.TextRef());
        return;
      default:
        bindHeld(value.TextRef());
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
          bindHeld(value.TextRef());
        else
          bindText(value.AsText());
        return;
    }
  } catch (const Error& e) {
    if (e.Number() != kTypeMismatch || e.Source() == kSource) throw;
    Mismatch(context, e.Description());
  }
}

}  // namespace vela::data::sqlite
