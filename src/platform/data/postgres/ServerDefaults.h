// Column defaults on the server, both ways. A default arrives as text from a backup document, which is
// untrusted: only a literal number, a quoted text, a Yes/No word or a known function call becomes SQL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vela::data::postgres {

// The PostgreSQL expression for a default given in the component's dialect ("0", "'DE'", "\"DE\"",
// "((0))", "(getdate())", "Now()", "Yes") on a column of the ADO type `type`; nullopt when the text is
// none of the forms above, which must then not reach the server.
std::optional<std::string> ServerDefaultSql(std::string_view defaultText, int type);

// A column default as PostgreSQL reports it (pg_get_expr: "'DE'::character varying", "now()",
// "(0)::numeric") in the plain form both engines read, the file engine's ("\"DE\"", "Now()", "0");
// nullopt for a default that is no constant and no known function (a sequence's nextval, an expression).
std::optional<std::string> DefaultFromServer(std::string_view expression);

}  // namespace vela::data::postgres
