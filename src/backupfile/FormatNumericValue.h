// Numbers in the table data file carry the separators of the machine that saved them (the save writes a
// number's default text under its regional settings and records those separators in the backup document).
// FormatNumericValue rewrites such a text with the separators of the machine that restores it, so that the
// local conversion to a number reads it back; the restore passes the local separators it took from its
// locale (the monetary pair for currency columns).
#pragma once

#include <string>
#include <string_view>

namespace vela::backupfile {

// Every occurrence of the file's thousands separator becomes the local one; then, when the original text
// held the file's decimal separator, its last occurrence in the rewritten text becomes the local decimal
// separator. Comparisons are exact. An empty file separator matches nothing.
std::string FormatNumericValue(std::string_view value, std::string_view fileDecimalSeparator,
                               std::string_view fileThousandsSeparator,
                               std::string_view localDecimalSeparator,
                               std::string_view localThousandsSeparator);

}  // namespace vela::backupfile
