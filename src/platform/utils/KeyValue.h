// Reading "key=value" items out of a connection string.
#pragma once

#include <string>
#include <string_view>

namespace vela::utils {

// The value of `key` among the items of `text` separated by `separator`. Keys match without regard to
// case; blanks around keys and values are trimmed; a value may be enclosed in double quotes (which may
// then hold the separator, a doubled quote standing for one). Empty when the key is absent. The first
// occurrence wins.
std::string KeyValue(std::string_view text, std::string_view key, std::string_view separator);

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
