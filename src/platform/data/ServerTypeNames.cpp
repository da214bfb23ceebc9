#include "platform/data/ServerTypeNames.h"

#include <cctype>
#include <vector>

namespace vela::data {

namespace {

struct Named {
  const char* name;
  int arguments;  // the most numbers the name takes in parentheses
};

// Names with their modifier after the first word ("time(3) without time zone") or at the end.
constexpr Named kNames[] = {
    {"boolean", 0},
    {"smallint", 0},
    {"integer", 0},
    {"bigint", 0},
    {"real", 0},
    {"double precision", 0},
    {"numeric", 2},
    {"text", 0},
    {"character varying", 1},
    {"character", 1},
    {"bytea", 0},
    {"uuid", 0},
    {"date", 0},
    {"interval", 1},
    {"json", 0},
    {"jsonb", 0},
    {"inet", 0},
    {"cidr", 0},
    {"macaddr", 0},
    {"xml", 0},
    {"time without time zone", 1},
    {"timestamp without time zone", 1},
    {"timestamp with time zone", 1},
};

}  // namespace

std::optional<std::string> KnownServerType(std::string_view given) {
  // Lower case, blanks collapsed, the modifier taken out as numbers.
  std::string name;
  std::vector<std::string> numbers;
  std::size_t modifierAt = std::string::npos;
  bool inside = false, closed = false;
  for (char c : given) {
    auto u = static_cast<unsigned char>(c);
    if (inside) {
      if (std::isdigit(u)) {
        if (numbers.empty()) numbers.emplace_back();
        numbers.back() += c;
      } else if (c == ',') {
        if (numbers.empty() || numbers.back().empty()) return std::nullopt;
        numbers.emplace_back();
      } else if (c == ')') {
        inside = false;
        closed = true;
      } else if (c != ' ') {
        return std::nullopt;
      }
      continue;
    }
    if (c == '(') {
      if (closed || modifierAt != std::string::npos) return std::nullopt;
      while (!name.empty() && name.back() == ' ') name.pop_back();
      modifierAt = name.size();
      inside = true;
    } else if (c == ' ' || c == '\t') {
      if (!name.empty() && name.back() != ' ') name += ' ';
    } else if (std::isalpha(u)) {
      name += static_cast<char>(std::tolower(u));
    } else {
      return std::nullopt;
    }
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (inside || (modifierAt != std::string::npos && (numbers.empty() || numbers.back().empty())))
    return std::nullopt;
  for (const std::string& n : numbers)
    if (n.size() > 9) return std::nullopt;
  for (const Named& known : kNames) {
    if (name != known.name) continue;
    if (numbers.size() > static_cast<std::size_t>(known.arguments)) return std::nullopt;
    if (numbers.empty()) return name;
    // The modifier stands where the server writes it: after "time" and "timestamp", else at the end.
    const std::size_t at = name.starts_with("time") ? name.find(' ') : name.size();
    if (modifierAt != at) return std::nullopt;
    std::string modifier = "(" + numbers[0] + (numbers.size() > 1 ? "," + numbers[1] : "") + ")";
    return name.substr(0, at) + modifier + name.substr(at);
  }
  return std::nullopt;
}

std::string FileLosesOf(std::string_view serverType) {
  std::optional<std::string> known = KnownServerType(serverType);
  if (!known) return "its values kept in the nearest type";
  std::string_view name = *known;
  if (name.find("with time zone") != std::string_view::npos) return "kept in UTC";
  if (name.starts_with("time")) {
    if (!name.starts_with("timestamp")) return "kept as a time of 1899-12-30";
    return "";
  }
  // A numeric without precision has no file type but its exact text.
  if (name == "numeric") return "kept as text";
  for (std::string_view asText : {"interval", "json", "jsonb", "inet", "cidr", "macaddr", "xml"})
    if (name.starts_with(asText) &&
        (name.size() == asText.size() || name[asText.size()] == '(' || name[asText.size()] == ' '))
      return "kept as text";
  return "";
}

}  // namespace vela::data
