#include "platform/data/postgres/ServerDefaults.h"

#include <cctype>
#include <vector>

#include "platform/data/Canonical.h"
#include "platform/data/DefaultText.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"
#include "velabackup/data/Types.h"

namespace vela::data::postgres {

namespace {

using Kind = DefaultText::Kind;

bool IsNumberType(int type) {
  return IsIntegerType(type) || type == adSingle || type == adDouble || type == adCurrency ||
         type == adNumeric || type == adDecimal || type == adVarNumeric;
}

// The date or timestamp literal of a text, typed for the column.
std::optional<std::string> DateLiteral(std::string_view text, int type) {
  std::optional<std::string> date = CanonicalDate(text);
  if (!date) return std::nullopt;
  if (type == adDBDate) return QuoteText(date->substr(0, 10));
  if (type == adDBTime) return date->size() > 11 ? std::optional(QuoteText(date->substr(11))) : std::nullopt;
  return QuoteText(*date);
}

// Where a type cast ("::character varying(20)", "::integer[]") begins at the end of an expression, outside
// texts and parentheses; npos when the expression ends in none.
std::size_t TrailingCast(std::string_view t) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(t, Brackets::Engine);
  } catch (const Error&) {
    return std::string_view::npos;  // a quote left open: no SQL the server wrote
  }
  // The tokenizer reads "::" as a parameter mark ":" followed by one that starts with ":".
  std::size_t at = std::string_view::npos;
  int depth = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (token.IsPunct('(')) ++depth;
    if (token.IsPunct(')')) --depth;
    if (depth == 0 && token.kind == TokenKind::Parameter && token.text == ":" && i + 1 < tokens.size() &&
        tokens[i + 1].begin == token.end && tokens[i + 1].text.starts_with(':'))
      at = token.begin;
  }
  if (at == std::string_view::npos) return at;
  // The type: words, a quoted name, a modifier in parentheses and array brackets; nothing else.
  for (char c : t.substr(at + 2)) {
    auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '_' && c != ' ' && c != '"' && c != '(' && c != ')' && c != ',' &&
        c != '[' && c != ']' && c != '.')
      return std::string_view::npos;
  }
  return at;
}

}  // namespace

std::optional<std::string> ServerDefaultSql(std::string_view defaultText, int type) {
  std::optional<DefaultText> read = ReadDefaultText(defaultText);
  if (!read) return std::nullopt;
  const bool isText = IsTextType(type);
  const bool isDate = IsDateType(type);
  switch (read->kind) {
    case Kind::kNow:
      if (type == adDBDate) return "CURRENT_DATE";
      if (type == adDBTime) return "LOCALTIME";
      return isDate ? std::optional<std::string>("LOCALTIMESTAMP") : std::nullopt;
    case Kind::kDate:
      return isDate ? std::optional<std::string>("CURRENT_DATE") : std::nullopt;
    case Kind::kTime:
      return type == adDBTime ? std::optional<std::string>("LOCALTIME") : std::nullopt;
    case Kind::kNewGuid:
      return type == adGUID ? std::optional<std::string>("gen_random_uuid()") : std::nullopt;
    case Kind::kYes:
    case Kind::kNo: {
      const bool yes = read->kind == Kind::kYes;
      if (type == adBoolean) return yes ? "true" : "false";
      if (IsNumberType(type)) return yes ? "-1" : "0";
      if (isText) return QuoteText(yes ? "-1" : "0");
      return std::nullopt;
    }
    case Kind::kNumber:
      if (type == adBoolean) return read->value == "0" ? "false" : "true";
      if (IsNumberType(type)) return read->value;
      if (isText) return QuoteText(read->raw);
      return std::nullopt;
    case Kind::kText:
      if (isText) return QuoteText(read->value);
      if (isDate) return DateLiteral(read->value, type);
      if (IsNumberType(type)) {
        if (std::optional<std::string> number = CanonicalDecimal(read->value)) return *number;
        return std::nullopt;
      }
      if (type == adGUID) return QuoteText(read->value);  // the server reads the GUID, or refuses it
      if (type == adBoolean) return ServerDefaultSql(read->value, type);
      return std::nullopt;
    case Kind::kWord:
      if (isText) return QuoteText(read->raw);
      if (isDate) return DateLiteral(read->raw, type);
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> DefaultFromServer(std::string_view expression) {
  std::string_view t = text::Trim(expression);
  bool numericCast = false;
  for (std::size_t cast = TrailingCast(t); cast != std::string_view::npos; cast = TrailingCast(t)) {
    std::string type = text::ToLower(text::Trim(t.substr(cast + 2)));
    numericCast = type.starts_with("int") || type.starts_with("bigint") || type.starts_with("smallint") ||
                  type.starts_with("numeric") || type.starts_with("real") || type.starts_with("double");
    t = text::Trim(t.substr(0, cast));
    while (t.size() >= 2 && t.front() == '(' && t.back() == ')' &&
           TrailingCast(t) == std::string_view::npos) {
      std::optional<DefaultText> inner = ReadDefaultText(t);
      if (!inner || inner->raw.size() + 2 > t.size()) break;
      t = text::Trim(t.substr(1, t.size() - 2));
    }
  }
  std::optional<DefaultText> read = ReadDefaultText(t);
  if (!read) return std::nullopt;
  // The forms of the file engine, which reads them as it writes them, so that a default comes back from a
  // trip through the server as it went.
  switch (read->kind) {
    case Kind::kNow:
      return "Now()";
    case Kind::kDate:
      return "Date()";
    case Kind::kTime:
      return "Time()";
    case Kind::kNewGuid:
      return "newid()";
    case Kind::kYes:
      return "True";
    case Kind::kNo:
      return "False";
    case Kind::kNumber:
      return read->raw;
    case Kind::kText:
      // A number the server keeps as a text cast to a number ("'-1'::integer") is that number.
      if (numericCast) {
        if (std::optional<std::string> number = CanonicalDecimal(read->value)) return *number;
      }
      return "\"" + text::ReplaceAll(read->value, "\"", "\"\"") + "\"";
    case Kind::kWord: {
      std::string lower = text::ToLower(read->raw);
      if (lower == "statement_timestamp()" || lower == "transaction_timestamp()" ||
          lower == "clock_timestamp()")
        return "Now()";
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace vela::data::postgres
