// The server engine's own type names, as a column carries one through the backup document (the Column's
// ServerType attribute): which of them a restore makes again as they are, and what a file database keeps of
// a column of each.
//
// Only built-in types whose values travel in the text form of the column's ADO type are made again by name:
// boolean, the integers, real, double precision, numeric with or without precision, character varying and
// character with or without a length, text, bytea, uuid, date, time and timestamp without time zone,
// timestamp with time zone, interval, json, jsonb, inet, cidr, macaddr and xml. Any other name (an array,
// an enum, a domain, a type of an extension) is never written into SQL: the column's ADO type stands for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vela::data {

// The type's name in the server's own spelling ("character varying(40)", "numeric(12,2)",
// "timestamp(3) without time zone"), rebuilt from what was read, for a name of the list above; nullopt for
// every other text.
std::optional<std::string> KnownServerType(std::string_view name);

// What a file database does not keep of a column of that server type, for the restore's notice ("kept as
// text", "kept in UTC"); empty when it keeps the type.
std::string FileLosesOf(std::string_view serverType);

}  // namespace vela::data
