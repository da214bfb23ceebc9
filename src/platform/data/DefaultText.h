// Column defaults as texts: what a default given in the component's dialect, or another engine's, means.
// Both providers read defaults through this one reader and turn its answer into their own SQL; a text it
// does not recognise must never reach an engine as SQL (a backup document is untrusted input).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vela::data {

struct DefaultText {
  enum class Kind {
    kNow,      // Now(), GetDate(), CURRENT_TIMESTAMP, SYSDATETIME(), now()
    kDate,     // Date(), CURRENT_DATE
    kTime,     // Time(), CURRENT_TIME
    kNewGuid,  // NEWID(), gen_random_uuid()
    kYes,      // Yes, True, On
    kNo,       // No, False, Off
    kNumber,   // a plain decimal number (no exponent); `value` is its canonical form
    kText,     // a quoted text ('...', "...", N'...'); `value` is the text itself, quotes undone
    kWord,     // anything else; `value` is the trimmed text, which an engine may take only as a text
  };
  Kind kind;
  std::string value;
  std::string raw;  // the default as given, without its "=" and wrapping parentheses
};

// Reads a default: a leading "=" and parentheses wrapping the whole ("((0))", "(getdate())") are taken
// off first. nullopt for an empty default.
std::optional<DefaultText> ReadDefaultText(std::string_view text);

}  // namespace vela::data
