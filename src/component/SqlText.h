// Names and texts placed into SQL. Every name the component writes into a statement goes through
// BracketName, every text literal through QuoteText: a backup file is untrusted input, and a table called
// "a]; DROP TABLE b" must stay one name.
#pragma once

#include <string>
#include <string_view>

namespace vela {

// "[" + name with every "]" doubled + "]".
std::string BracketName(std::string_view name);
// The name with every "'" doubled, for use between quotes.
std::string EscapeText(std::string_view text);
// "'" + EscapeText(text) + "'".
std::string QuoteText(std::string_view text);

}  // namespace vela

namespace vela {

// A name as the catalog knows it: one enclosing "[...]" pair removed (with "]]" inside read as "]");
// a name without brackets is returned unchanged.
std::string Unbracket(std::string_view name);

}  // namespace vela
