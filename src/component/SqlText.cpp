#include "component/SqlText.h"

#include "platform/text/Strings.h"

namespace vela {

std::string BracketName(std::string_view name) {
  return "[" + text::ReplaceAll(name, "]", "]]") + "]";
}
std::string EscapeText(std::string_view text) {
  return text::ReplaceAll(text, "'", "''");
}
std::string QuoteText(std::string_view text) {
  return "'" + EscapeText(text) + "'";
}

}  // namespace vela

namespace vela {

std::string Unbracket(std::string_view name) {
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    return text::ReplaceAll(name.substr(1, name.size() - 2), "]]", "]");
  return std::string(name);
}

}  // namespace vela
