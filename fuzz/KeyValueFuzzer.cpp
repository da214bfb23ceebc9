// Fuzzes the connection-string items: whatever a value holds, the formatter writes it so that the reader
// gives it back exactly, alone or set into any connection string; the list of items reads as KeyValue does.
//
// An input is split at its first three NUL bytes: key, value, connection string; what is missing is empty.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"

namespace {

std::string_view NextPart(std::string_view& input) {
  std::size_t end = input.find('\0');
  std::string_view part = input.substr(0, end);
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return part;
}

void Expect(bool holds, const char* what, std::string_view text, std::string_view value) {
  if (holds) return;
  std::fprintf(stderr, "%s\n  text:  [%.*s]\n  value: [%.*s]\n", what, static_cast<int>(text.size()),
               text.data(), static_cast<int>(value.size()), value.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view key = NextPart(input);
  const std::string_view value = NextPart(input);
  const std::string_view text = NextPart(input);

  // Reading never fails, whatever the text.
  (void)vela::utils::KeyValue(text, key, ";");
  (void)vela::utils::RemoveKey(text, key, ";");
  // Every item the list of items gives reads back by its key, the first of a key (in any case) winning.
  std::set<std::string> seen;
  for (const auto& [itemKey, itemValue] : vela::utils::KeyValues(text, ";"))
    if (seen.insert(vela::text::ToUpper(itemKey)).second)
      Expect(vela::utils::KeyValue(text, itemKey, ";") == itemValue, "KeyValues lists another value", text,
             itemValue);

  // A key names an item only when it holds neither "=" nor the separator, and is not blank.
  if (key.find_first_of("=;") != std::string_view::npos || vela::text::Trim(key).empty()) return -1;

  const std::string item = vela::utils::FormatKeyValue(key, value);
  Expect(vela::utils::KeyValue(item, key, ";") == value, "FormatKeyValue does not read back", item, value);

  const std::string set = vela::utils::SetKeyValue(text, key, value, ";");
  Expect(vela::utils::KeyValue(set, key, ";") == value, "SetKeyValue does not read back", set, value);

  const std::string removed = vela::utils::RemoveKey(set, key, ";");
  Expect(vela::utils::KeyValue(removed, key, ";").empty(), "RemoveKey leaves the key", removed, value);
  return 0;
}
