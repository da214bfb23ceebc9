// The canonical forms of the data layer, shared by every provider: numbers with "." as decimal point and
// no grouping, decimals as exact text, dates as "YYYY-MM-DD HH:MM:SS" (a fraction only when present).
// Values cross the data-access interface in these forms whatever engine or locale is on either side.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vela::data {

// A whole number or a number, written as one (blanks around it and a leading "+" allowed).
bool ParseInt(std::string_view text, std::int64_t& out);
bool ParseDouble(std::string_view text, double& out);
// The shortest text that reads back as the same double.
std::string ShortestDouble(double value);

// A decimal number's canonical text ("-12.5", "0.001"), or nothing when the text is no number.
std::optional<std::string> CanonicalDecimal(std::string_view text);
std::string DecimalFromDouble(double value);
// A date's canonical text, or nothing when the text is no date.
std::optional<std::string> CanonicalDate(std::string_view text);
// The dates other programs store as numbers, to the second: seconds since 1970-01-01 00:00:00 (Unix time)
// and a Julian day number (days since noon of 24 November 4714 BC, the fraction being the time of day).
std::string DateFromUnixTime(std::int64_t seconds);
std::string DateFromJulianDay(double day);
// An automation date (days since 1899-12-30, the fraction being the time of day) to the second. Only the
// years 1 to 9999 have a canonical form: a number outside them, or no number at all (NaN, infinity),
// throws a type mismatch that names it rather than wrapping round to some other date.
std::string DateFromOleDays(double days);

}  // namespace vela::data
