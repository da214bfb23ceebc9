#include "platform/data/DefaultText.h"

#include <initializer_list>
#include <vector>

#include "platform/data/Canonical.h"
#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"
#include "velabackup/Error.h"

namespace vela::data {

namespace {

bool OneOf(std::string_view word, std::initializer_list<std::string_view> words) {
  for (std::string_view w : words)
    if (word == w) return true;
  return false;
}

// The text's tokens; none when it is no SQL the tokenizer reads (a quote left open).
std::optional<std::vector<Token>> Tokens(std::string_view t) {
  try {
    return Tokenize(t, Brackets::Engine);
  } catch (const Error&) {
    return std::nullopt;
  }
}

// Whether the parentheses at both ends belong together: "(a) + (b)" is not wrapped.
bool Wrapped(std::string_view t) {
  if (t.size() < 2 || t.front() != '(' || t.back() != ')') return false;
  std::optional<std::vector<Token>> tokens = Tokens(t);
  if (!tokens) return false;
  int depth = 0;
  for (const Token& token : *tokens) {
    if (token.IsPunct('(')) ++depth;
    if (token.IsPunct(')') && --depth == 0) return token.end == t.size();
  }
  return true;
}

// The value of a text that is one quoted literal and nothing else ('...', "...", N'...'), a quote inside
// doubled; nullopt for any other text ('a' || 'b', 'a'b').
std::optional<std::string> QuotedLiteral(std::string_view t) {
  std::optional<std::vector<Token>> tokens = Tokens(t);
  if (!tokens || tokens->empty() || tokens->back().end != t.size()) return std::nullopt;
  std::size_t at = 0;
  // The national-text prefix N, written right before the quote.
  if (tokens->size() == 2 && ((*tokens)[0].Is("N")) && (*tokens)[0].end == (*tokens)[1].begin &&
      (*tokens)[1].kind == TokenKind::String)
    at = 1;
  if (tokens->size() != at + 1) return std::nullopt;
  const Token& literal = (*tokens)[at];
  if (literal.kind == TokenKind::String || (literal.kind == TokenKind::Name && literal.quote == '"'))
    return literal.text;
  return std::nullopt;
}

}  // namespace

std::optional<DefaultText> ReadDefaultText(std::string_view text) {
  using Kind = DefaultText::Kind;
  std::string_view t = text::Trim(text);
  if (!t.empty() && t.front() == '=') t = text::Trim(t.substr(1));
  while (Wrapped(t)) t = text::Trim(t.substr(1, t.size() - 2));
  if (t.empty()) return std::nullopt;

  const std::string raw(t);
  auto make = [&raw](Kind kind, std::string value = {}) { return DefaultText{kind, std::move(value), raw}; };
  std::string upper = text::ToUpper(t);
  if (OneOf(upper, {"NOW()", "GETDATE()", "CURRENT_TIMESTAMP", "SYSDATETIME()", "NOW", "LOCALTIMESTAMP"}))
    return make(Kind::kNow);
  if (OneOf(upper, {"DATE()", "CURRENT_DATE"})) return make(Kind::kDate);
  if (OneOf(upper, {"TIME()", "CURRENT_TIME", "LOCALTIME"})) return make(Kind::kTime);
  if (OneOf(upper, {"NEWID()", "GEN_RANDOM_UUID()", "GENGUID()"})) return make(Kind::kNewGuid);
  if (OneOf(upper, {"YES", "TRUE", "ON"})) return make(Kind::kYes);
  if (OneOf(upper, {"NO", "FALSE", "OFF"})) return make(Kind::kNo);
  if (t.find_first_of("eE") == std::string_view::npos) {
    if (std::optional<std::string> number = CanonicalDecimal(t)) return make(Kind::kNumber, *number);
  }
  if (std::optional<std::string> value = QuotedLiteral(t)) return make(Kind::kText, std::move(*value));
  return make(Kind::kWord, raw);
}

}  // namespace vela::data
