// Reading "key=value" items out of a connection string.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vela::utils {

// Connection strings are read and written here and nowhere else: FormatKeyValue / SetKeyValue write an
// item so that KeyValue reads the value back exactly, whatever it holds.
//
// The value of `key` among the items of `text` separated by `separator`. Keys match without regard to
// case; blanks around keys and unquoted values are trimmed. A value is quoted only when a double quote
// opens it (after the "=" and any blanks): it then runs to the closing quote, may hold the separator and
// blanks at its ends, and a doubled quote inside it stands for one. A quote anywhere else is an ordinary
// character, and a quoted value that is not closed before the next separator (or that has more than
// blanks after its closing quote) reads as an unquoted one. Empty when the key is absent. The first
// occurrence wins.
std::string KeyValue(std::string_view text, std::string_view key, std::string_view separator);

// Every item of `text` as (key, value), in order, read as KeyValue reads them; text without "=" is no item.
std::vector<std::pair<std::string, std::string>> KeyValues(std::string_view text, std::string_view separator);

// The same text with the named key's item removed (passwords, before a connection string is recorded).
std::string RemoveKey(std::string_view text, std::string_view key, std::string_view separator);

// The same text with the named key's value replaced (quoted as FormatKeyValue does), or the item appended
// when the key is absent.
std::string SetKeyValue(std::string_view text, std::string_view key, std::string_view value,
                        std::string_view separator);

// "key=value", with the value in double quotes (inner quotes doubled) when it holds a ";", a quote or
// blanks at its ends, so that KeyValue reads it back unchanged.
std::string FormatKeyValue(std::string_view key, std::string_view value);

}  // namespace vela::utils
