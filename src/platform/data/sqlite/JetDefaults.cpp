#include "platform/data/sqlite/JetDefaults.h"

#include "platform/data/Canonical.h"
#include "platform/data/DefaultText.h"
#include "platform/data/SqlText.h"
#include "platform/data/sqlite/JetValues.h"
#include "platform/data/sqlite/SqliteApi.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data::sqlite {

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
