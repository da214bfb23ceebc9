#include "backupfile/FormatNumericValue.h"

#include "platform/text/Strings.h"

namespace vela::backupfile {

std::string FormatNumericValue(std::string_view value, std::string_view fileDecimalSeparator,
                               std::string_view fileThousandsSeparator,
                               std::string_view localDecimalSeparator,
                               std::string_view localThousandsSeparator) {
  // Whether there is a decimal separator is decided on the text as saved: the thousands replacement below
  // may bring in a text equal to the file's decimal separator (a "." grouping a "," decimal becomes ",").
  const bool hasDecimal =
      !fileDecimalSeparator.empty() && value.find(fileDecimalSeparator) != std::string_view::npos;

  std::string result = text::ReplaceAll(value, fileThousandsSeparator, localThousandsSeparator);
  if (hasDecimal) {
    const std::size_t at = result.rfind(fileDecimalSeparator);
    if (at != std::string::npos) result.replace(at, fileDecimalSeparator.size(), localDecimalSeparator);
  }
  return result;
}

}  // namespace vela::backupfile
