// A field, parameter or property value of the data-access layer: the variant of the automation world.
//
// Texts are UTF-8. Dates travel as their canonical text "YYYY-MM-DD HH:MM:SS" (a fraction ".fffffff" only
// when present); exact numbers (currency, decimal, numeric) as their canonical text "[-]digits[.digits]"
// with "." as decimal point. Both providers produce and accept these forms, so no value loses precision
// between engines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vela::data {

using Bytes = std::vector<std::uint8_t>;

class Value {
 public:
  enum class Kind { Empty, Null, Boolean, Integer, Double, Text, Binary, Date, Decimal };

  Value() = default;  // Empty: "no value" (an unset property), unlike Null
  Value(bool v) : kind_(Kind::Boolean), data_(v) {}
  Value(int v) : kind_(Kind::Integer), data_(static_cast<std::int64_t>(v)) {}
  Value(long v) : kind_(Kind::Integer), data_(static_cast<std::int64_t>(v)) {}
  Value(long long v) : kind_(Kind::Integer), data_(static_cast<std::int64_t>(v)) {}
  Value(double v) : kind_(Kind::Double), data_(v) {}
  Value(std::string v) : kind_(Kind::Text), data_(std::move(v)) {}
  Value(std::string_view v) : kind_(Kind::Text), data_(std::string(v)) {}
  Value(const char* v) : kind_(Kind::Text), data_(std::string(v)) {}
  Value(Bytes v) : kind_(Kind::Binary), data_(std::move(v)) {}

  static Value Null() { return Value(Kind::Null); }
  static Value Date(std::string canonical) { return Value(Kind::Date, std::move(canonical)); }
  static Value Decimal(std::string canonical) { return Value(Kind::Decimal, std::move(canonical)); }

  Kind GetKind() const noexcept { return kind_; }
  bool IsEmpty() const noexcept { return kind_ == Kind::Empty; }
  bool IsNull() const noexcept { return kind_ == Kind::Null; }
  bool IsNullOrEmpty() const noexcept { return kind_ == Kind::Null || kind_ == Kind::Empty; }

  // Conversions in the automation manner; a value that cannot convert throws vela::Error (type mismatch).
  bool AsBool() const;         // numbers: non-zero; texts: "True"/"False"/"Yes"/"No"/numbers
  std::int64_t AsInt() const;  // doubles round half to even; texts must be numeric; a number outside the
                               // 64-bit integers, or NaN, is a type mismatch
  double AsDouble() const;
  std::string AsText() const;    // the default text form, C locale ("-1"/"0" for Booleans)
  const Bytes& AsBytes() const;  // Binary only

  // The payload of Text, Date and Decimal values without conversion.
  const std::string& TextRef() const { return std::get<std::string>(data_); }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  explicit Value(Kind kind) : kind_(kind) {}
  Value(Kind kind, std::string text) : kind_(kind), data_(std::move(text)) {}

  Kind kind_ = Kind::Empty;
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes> data_;
};

}  // namespace vela::data
