#include "platform/utils/KeyValue.h"

#include <algorithm>
#include <vector>

#include "platform/text/Strings.h"

namespace vela::utils {
namespace {

struct Item {
  std::string key;
  std::string value;
  std::size_t begin = 0, end = 0;  // the item's span in the text, separator excluded
};

// Splits at separators that are not inside double quotes.
std::vector<Item> Items(std::string_view text, std::string_view separator) {
  std::vector<Item> items;
  if (separator.empty()) separator = ";";
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t i = start;
    bool quoted = false;
    while (i < text.size()) {
      if (text[i] == '"') quoted = !quoted;
      if (!quoted && text.compare(i, separator.size(), separator) == 0) break;
      ++i;
    }
    std::string_view raw = text.substr(start, i - start);
    std::size_t eq = raw.find('=');
    if (eq != std::string_view::npos) {
      Item item;
      item.key = std::string(text::Trim(raw.substr(0, eq)));
      std::string_view value = text::Trim(raw.substr(eq + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
        item.value = text::ReplaceAll(value, "\"\"", "\"");
      } else {
        item.value = std::string(value);
      }
      item.begin = start;
      item.end = i;
      items.push_back(std::move(item));
    }
    if (i >= text.size()) break;
    start = i + separator.size();
  }
  return items;
}

}  // namespace

std::string KeyValue(std::string_view text, std::string_view key, std::string_view separator) {
  std::string_view wanted = text::Trim(key);
  for (const Item& item : Items(text, separator))
    if (text::EqualsNoCase(item.key, wanted)) return item.value;
  return {};
}

std::string RemoveKey(std::string_view text, std::string_view key, std::string_view separator) {
  std::string out(text);
  std::vector<Item> items = Items(text, separator);
  std::string_view sep = separator.empty() ? std::string_view(";") : separator;
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    if (!text::EqualsNoCase(it->key, text::Trim(key))) continue;
    std::size_t begin = it->begin, end = it->end;
    if (end < out.size() && out.compare(end, sep.size(), sep) == 0)
      end += sep.size();
    else if (begin >= sep.size() && out.compare(begin - sep.size(), sep.size(), sep) == 0)
      begin -= sep.size();
    out.erase(begin, end - begin);
  }
  return out;
}

std::string SetKeyValue(std::string_view text, std::string_view key, std::string_view value,
                        std::string_view separator) {
  std::string_view sep = separator.empty() ? std::string_view(";") : separator;
  for (const Item& item : Items(text, separator)) {
    if (!text::EqualsNoCase(item.key, text::Trim(key))) continue;
    std::string out(text.substr(0, item.begin));
    out += FormatKeyValue(item.key, value);
    out += text.substr(item.end);
    return out;
  }
  std::string out(text);
  if (!out.empty() && out.compare(out.size() - std::min(out.size(), sep.size()), sep.size(), sep) != 0)
    out += sep;
  return out + FormatKeyValue(key, value);
}

std::string FormatKeyValue(std::string_view key, std::string_view value) {
  bool quote =
      value.find_first_of(";\"") != std::string_view::npos || text::Trim(value).size() != value.size();
  if (!quote) return std::string(key) + "=" + std::string(value);
  return std::string(key) + "=\"" + text::ReplaceAll(value, "\"", "\"\"") + "\"";
}

}  // namespace vela::utils
