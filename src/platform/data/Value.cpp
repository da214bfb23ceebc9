#include "velabackup/data/Value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/data/Canonical.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data {
namespace {

[[noreturn]] void Mismatch(std::string_view what) {
  throw Error(kTypeMismatch, kSourceComponent, "Type mismatch: cannot convert " + std::string(what));
}

// A number rounded half to even, as a 64-bit integer. Rounding never saturates: a number outside the
// 64-bit integers (or NaN) would come back as some other number, so it is a type mismatch naming it.
std::int64_t WholeOfDouble(double d) {
  const double rounded = std::nearbyint(d);
  if (!(rounded >= -0x1p63 && rounded < 0x1p63)) Mismatch(ShortestDouble(d) + " to a 64-bit whole number");
  return static_cast<std::int64_t>(rounded);
}

}  // namespace

bool Value::AsBool() const {
  switch (kind_) {
    case Kind::Boolean:
      return std::get<bool>(data_);
    case Kind::Integer:
      return std::get<std::int64_t>(data_) != 0;
    case Kind::Double:
      return std::get<double>(data_) != 0.0;
    case Kind::Text:
    case Kind::Decimal: {
      const std::string& t = std::get<std::string>(data_);
      if (text::EqualsNoCase(t, "True") || text::EqualsNoCase(t, "Yes")) return true;
      if (text::EqualsNoCase(t, "False") || text::EqualsNoCase(t, "No")) return false;
      double d;
      if (ParseDouble(t, d)) return d != 0.0;
      Mismatch("\"" + t + "\" to Boolean");
    }
    default:
      Mismatch("a value without a Boolean form");
  }
}

std::int64_t Value::AsInt() const {
  switch (kind_) {
    case Kind::Boolean:
      return std::get<bool>(data_) ? -1 : 0;
    case Kind::Integer:
      return std::get<std::int64_t>(data_);
    case Kind::Double:
      return WholeOfDouble(std::get<double>(data_));
    case Kind::Text:
    case Kind::Decimal: {
      std::string_view t = text::Trim(std::get<std::string>(data_));
      std::string_view digits = (!t.empty() && t.front() == '+') ? t.substr(1) : t;
      std::int64_t v;
      auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
      if (ec == std::errc() && end == digits.data() + digits.size() && !digits.empty()) return v;
      double d;
      if (ParseDouble(t, d)) return WholeOfDouble(d);
      Mismatch("\"" + std::string(t) + "\" to a number");
    }
    default:
      Mismatch("a value without a numeric form");
  }
}

double Value::AsDouble() const {
  switch (kind_) {
    case Kind::Boolean:
      return std::get<bool>(data_) ? -1.0 : 0.0;
    case Kind::Integer:
      return static_cast<double>(std::get<std::int64_t>(data_));
    case Kind::Double:
      return std::get<double>(data_);
    case Kind::Text:
    case Kind::Decimal: {
      double d;
      if (ParseDouble(std::get<std::string>(data_), d)) return d;
      Mismatch("\"" + std::get<std::string>(data_) + "\" to a number");
    }
    default:
      Mismatch("a value without a numeric form");
  }
}

std::string Value::AsText() const {
  switch (kind_) {
    case Kind::Empty:
    case Kind::Null:
      return {};
    case Kind::Boolean:
      return std::get<bool>(data_) ? "-1" : "0";
    case Kind::Integer:
      return std::to_string(std::get<std::int64_t>(data_));
    case Kind::Double: {
      // The shortest text that reads back as the same double.
      char buffer[64];
      auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::get<double>(data_));
      return ec == std::errc() ? std::string(buffer, end) : std::string();
    }
    case Kind::Text:
    case Kind::Date:
    case Kind::Decimal:
      return std::get<std::string>(data_);
    case Kind::Binary: {
      const Bytes& b = std::get<Bytes>(data_);
      return std::string(b.begin(), b.end());
    }
  }
  return {};
}

const Bytes& Value::AsBytes() const {
  if (kind_ != Kind::Binary) Mismatch("a non-binary value to bytes");
  return std::get<Bytes>(data_);
}

}  // namespace vela::data
