#include "platform/data/DefaultText.h"

#include <initializer_list>

#include "platform/data/Canonical.h"
#include "platform/text/Strings.h"

namespace vela::data {

namespace {

bool OneOf(std::string_view word, std::initializer_list<std::string_view> words) {
  for (std::string_view w : words)
    if (word == w) return true;
  return false;
}

// Whether the parentheses at both ends belong together: "(a) + (b)" is not wrapped.
bool Wrapped(std::string_view t) {
  if (t.size() < 2 || t.front() != '(' || t.back() != ')') return false;
  int depth = 0;
  char quote = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    if (c == '(') ++depth;
    if (c == ')' && --depth == 0 && i + 1 < t.size()) return false;
  }
  return true;
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
  std::string_view inner = t;
  if ((inner.front() == 'N' || inner.front() == 'n') && inner.size() >= 3 && inner[1] == '\'')
    inner.remove_prefix(1);
  if (inner.size() >= 2 && (inner.front() == '"' || inner.front() == '\'') && inner.back() == inner.front()) {
    const char q = inner.front();
    std::string_view body = inner.substr(1, inner.size() - 2);
    // A quote inside must be doubled; a lone one means the text is more than one literal ('a' || 'b').
    std::string value;
    value.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (body[i] == q) {
        if (i + 1 >= body.size() || body[i + 1] != q) return make(Kind::kWord, raw);
        ++i;
      }
      value += body[i];
    }
    return make(Kind::kText, std::move(value));
  }
  return make(Kind::kWord, raw);
}

}  // namespace vela::data
