// Small string chores shared by the whole library. Letter case is folded for ASCII letters and for the
// Latin-1 supplement and Latin Extended-A (enough for table and column names in Western databases).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vela::text {

std::string ToUpper(std::string_view text);
std::string ToLower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

std::string_view Trim(std::string_view text);                           // blanks and tabs at both ends
std::vector<std::string> Split(std::string_view text, char separator);  // empty items kept
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

}  // namespace vela::text
