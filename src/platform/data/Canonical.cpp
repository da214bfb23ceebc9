#include "platform/data/Canonical.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data {

bool ParseInt(std::string_view text, std::int64_t& out) {
  text = text::Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ParseDouble(std::string_view text, double& out) {
  text = text::Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string ShortestDouble(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, ec == std::errc() ? end : buffer);
}

std::optional<std::string> CanonicalDecimal(std::string_view input) {
  std::string_view t = text::Trim(input);
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  std::string digits;
  long long point = -1;  // digits before the decimal point
  std::size_t i = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9')
      digits += c;
    else if (c == '.' && point < 0)
      point = static_cast<long long>(digits.size());
    else
      break;
  }
  if (digits.empty()) return std::nullopt;
  if (point < 0) point = static_cast<long long>(digits.size());
  if (i < t.size()) {
    if (t[i] != 'e' && t[i] != 'E') return std::nullopt;
    std::int64_t exponent;
    if (!ParseInt(t.substr(i + 1), exponent) || exponent > 400 || exponent < -400) return std::nullopt;
    point += exponent;
  }
  // Pad so the point falls within the digits, then trim zeros at both ends.
  if (point < 0) {
    digits.insert(0, static_cast<std::size_t>(-point), '0');
    point = 0;
  }
  if (point > static_cast<long long>(digits.size()))
    digits.append(static_cast<std::size_t>(point) - digits.size(), '0');
  std::string whole = digits.substr(0, static_cast<std::size_t>(point));
  std::string fraction = digits.substr(static_cast<std::size_t>(point));
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (whole.empty()) whole.assign(1, '0');
  std::string out = whole;
  if (!fraction.empty()) {
    out += '.';
    out += fraction;
  }
  if (negative && out != "0") out.insert(0, 1, '-');
  return out;
}

std::string DecimalFromDouble(double value) {
  if (!std::isfinite(value))
    throw Error(kTypeMismatch, kSourceData, "Data type mismatch: not a finite number");
  return CanonicalDecimal(ShortestDouble(value)).value_or("0");
}

namespace {

// Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

}  // namespace

std::string DateFromUnixTime(std::int64_t seconds) {
  std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-(seconds + 1)) / 86400) - 1;
  std::int64_t rest = seconds - days * 86400;
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d", y, m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buffer;
}

std::string DateFromOleDays(double days) {
  constexpr std::int64_t kOleEpoch = -25569;   // 1899-12-30 in days since 1970-01-01
  constexpr std::int64_t kFirstDay = -693593;  // 0001-01-01 in automation days
  constexpr std::int64_t kEndDay = 2958466;    // 10000-01-01
  constexpr std::int64_t kFirstSecond = (kOleEpoch + kFirstDay) * 86400;
  constexpr std::int64_t kEndSecond = (kOleEpoch + kEndDay) * 86400;
  auto outside = [&] {
    throw Error(kTypeMismatch, kSourceData,
                "Data type mismatch: " + ShortestDouble(days) +
                    " days since 1899-12-30 is no date of the years 1 to 9999");
  };
  // Before 1899-12-30 the fraction still counts forward from the whole day (-1.5 is 1899-12-29 12:00), so
  // the first day's fractions lie below it. The comparison also turns NaN away.
  if (!(days > static_cast<double>(kFirstDay - 1) && days < static_cast<double>(kEndDay))) outside();
  const double whole = std::trunc(days);
  const auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(days - whole) * 86400.0));
  const std::int64_t since1970 = (kOleEpoch + static_cast<std::int64_t>(whole)) * 86400 + seconds;
  if (since1970 < kFirstSecond || since1970 >= kEndSecond)
    outside();  // 9999-12-31 23:59:59.6 rounds past the end
  return DateFromUnixTime(since1970);
}

std::string DateFromJulianDay(double day) {
  return DateFromUnixTime(std::llround((day - 2440587.5) * 86400.0));
}

std::optional<std::string> CanonicalDate(std::string_view input) {
  std::string_view t = text::Trim(input);
  if (t.size() >= 2 && t.front() == '#' && t.back() == '#') t = text::Trim(t.substr(1, t.size() - 2));
  int y = 1899, mo = 12, d = 30, h = 0, mi = 0, s = 0;
  std::string fraction;
  std::size_t i = 0;
  auto number = [&](int maxDigits, int& out) {
    std::size_t start = i;
    int v = 0;
    while (i < t.size() && i - start < static_cast<std::size_t>(maxDigits) &&
           std::isdigit(static_cast<unsigned char>(t[i])))
      v = v * 10 + (t[i++] - '0');
    out = v;
    return i > start;
  };
  bool hasDate = t.size() >= 8 && (t[4] == '-' || t[4] == '/');
  if (hasDate) {
    if (!number(4, y) || i != 4) return std::nullopt;
    char sep = t[i++];
    if (!number(2, mo) || i >= t.size() || t[i] != sep) return std::nullopt;
    ++i;
    if (!number(2, d)) return std::nullopt;
    if (i < t.size() && (t[i] == ' ' || t[i] == 'T')) ++i;
    while (i < t.size() && t[i] == ' ') ++i;
  }
  if (i < t.size()) {
    if (!number(2, h) || i >= t.size() || t[i] != ':') return std::nullopt;
    ++i;
    if (!number(2, mi)) return std::nullopt;
    if (i < t.size() && t[i] == ':') {
      ++i;
      if (!number(2, s)) return std::nullopt;
      if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) fraction += t[i++];
      }
    }
    if (i < t.size() && (t[i] == 'Z' || t[i] == 'z')) ++i;
    if (i != t.size()) return std::nullopt;
  } else if (!hasDate) {
    return std::nullopt;
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap)) return std::nullopt;
  if (h > 23 || mi > 59 || s > 59) return std::nullopt;
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  // Written by hand: this runs for every date a restore binds, and the formatted-print path costs more
  // than the rest of the conversion.
  std::string out(19, '0');
  auto put = [&](std::size_t at, int value, int digits) {
    for (int k = digits - 1; k >= 0; --k, value /= 10) out[at + k] = static_cast<char>('0' + value % 10);
  };
  put(0, y, 4);
  out[4] = '-';
  put(5, mo, 2);
  out[7] = '-';
  put(8, d, 2);
  out[10] = ' ';
  put(11, h, 2);
  out[13] = ':';
  put(14, mi, 2);
  out[16] = ':';
  put(17, s, 2);
  if (!fraction.empty()) out += "." + fraction;
  return out;
}

}  // namespace vela::data
