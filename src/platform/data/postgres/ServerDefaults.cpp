#include "platform/data/postgres/ServerDefaults.h"

namespace vela::data::postgres {

std::optional<std::string> ServerDefaultSql(std::string_view, int) { return std::nullopt; }

std::optional<std::string> DefaultFromServer(std::string_view) { return std::nullopt; }

}  // namespace vela::data::postgres
