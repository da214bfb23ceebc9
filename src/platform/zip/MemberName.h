// Which archive member names may be written into a folder.
//
// A backup file is untrusted input: a member name must lead to a place inside the destination folder. A name
// is refused when it is empty, absolute ("/etc/x"), starts with a drive letter ("C:x"), uses a backslash
// (Windows tools mean it as a folder separator, so "..\x" would climb on their side and "a\b" is ambiguous),
// or has a ".." part anywhere (also "a/../b": nothing we write needs it). Empty and "." parts are dropped.
// The zip control applies the same rule to the names it stores, so that every archive it writes unpacks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vela::zip {

// Returns why `name` may not be unpacked, or an empty text when it may; `parts` receives its folder names
// and, last, its file name (a name ending in "/" stands for a folder).
std::string CheckMemberName(std::string_view name, std::vector<std::string>& parts);

}  // namespace vela::zip
