#include "platform/utils/KeyValue.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/text/Strings.h"

namespace vela::utils {
namespace {

struct Item {
  std::string key;
  std::string value;
  std::size_t begin = 0, end = 0;  // the item's span in the text, separator excluded
  bool openQuote = false;          // a quote opens the value but never closes it: read as unquoted
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A value enclosed in double quotes that starts at `open` (the opening quote): the value with doubled
// quotes undone, and in `end` the position after the closing quote and the blanks that follow it. Nothing
// when the closing quote is missing or is followed by anything but blanks before the separator or the end.
std::optional<std::string> QuotedValue(std::string_view text, std::size_t open, std::string_view separator,
                                       std::size_t& end) {
  std::string value;
  for (std::size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] != '"') {
      value += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '"') {
      value += '"';
      ++i;
      continue;
    }
    std::size_t after = i + 1;
    while (after < text.size() && IsBlank(text[after])) ++after;
    if (after != text.size() && text.compare(after, separator.size(), separator) != 0) return std::nullopt;
    end = after;
    return value;
  }
  return std::nullopt;
}

// Splits the text into its items. A value counts as quoted only when a double quote is its first
// character (after the "=" and any blanks); a quote anywhere else is an ordinary character. A quoted
// value may hold the separator. One that is never closed, or is followed by more than blanks, is read as
// an unquoted value: the next separator ends it, so that it cannot swallow the items after it.
std::vector<Item> Items(std::string_view text, std::string_view separator) {
  std::vector<Item> items;
  if (separator.empty()) separator = ";";
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = std::min(text.find(separator, start), text.size());
    std::string_view raw = text.substr(start, end - start);
    std::size_t eq = raw.find('=');
    if (eq != std::string_view::npos) {
      Item item;
      item.key = std::string(text::Trim(raw.substr(0, eq)));
      std::size_t open = start + eq + 1;
      while (open < end && IsBlank(text[open])) ++open;
      std::optional<std::string> quoted;
      if (open < end && text[open] == '"') quoted = QuotedValue(text, open, separator, end);
      item.openQuote = open < end && text[open] == '"' && !quoted;
      item.value = quoted ? std::move(*quoted) : std::string(text::Trim(raw.substr(eq + 1)));
      item.begin = start;
      item.end = end;
      items.push_back(std::move(item));
    }
    if (end >= text.size()) break;
    start = end + separator.size();
  }
  return items;
}

// The text up to `end`, with every item before it whose value opens a quote it never closes written again
// as FormatKeyValue writes it, which reads the same value. A quote written after such an item could
// otherwise close its value and swallow the items up to it.
std::string ClosedPrefix(std::string_view text, const std::vector<Item>& items, std::size_t end) {
  std::string out;
  std::size_t copied = 0;
  for (const Item& item : items) {
    if (item.begin >= end) break;
    if (!item.openQuote) continue;
    out += text.substr(copied, item.begin - copied);
    out += FormatKeyValue(item.key, item.value);
    copied = item.end;
  }
  out += text.substr(copied, end - copied);
  return out;
}

}  // namespace

std::string KeyValue(std::string_view text, std::string_view key, std::string_view separator) {
  std::string_view wanted = text::Trim(key);
  for (const Item& item : Items(text, separator))
    if (text::EqualsNoCase(item.key, wanted)) return item.value;
  return {};
}

std::vector<std::pair<std::string, std::string>> KeyValues(std::string_view text,
                                                           std::string_view separator) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (Item& item : Items(text, separator)) pairs.emplace_back(std::move(item.key), std::move(item.value));
  return pairs;
}

std::string RemoveKey(std::string_view text, std::string_view key, std::string_view separator) {
  // Items whose value opens a quote it never closes are written closed first: with an item taken out, a
  // quote further on could otherwise close such a value, and what was inside another value (a second
  // password) would read as an item of its own.
  std::string out = ClosedPrefix(text, Items(text, separator), text.size());
  std::vector<Item> items = Items(out, separator);
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
  const std::vector<Item> items = Items(text, separator);
  for (const Item& item : items) {
    if (!text::EqualsNoCase(item.key, text::Trim(key))) continue;
    std::string out = ClosedPrefix(text, items, item.begin);
    out += FormatKeyValue(item.key, value);
    out += text.substr(item.end);
    return out;
  }
  std::string out = ClosedPrefix(text, items, text.size());
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
