// Runs of the same parameterised INSERT, as a restore sends one per row, travel to the server as one COPY:
// the statement becomes "COPY t (columns) FROM STDIN" and each row's parameters a line of COPY's text
// format. The server reads each value with its column type's input, as it reads a parameter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/data/postgres/PgValues.h"

namespace vela::data::postgres {

// The COPY statement for "INSERT INTO [t] ([a], [b]) VALUES (?, ?)" with as many placeholders as
// `parameters`; nullopt for any other statement, which then runs on its own.
std::optional<std::string> CopyStatementFor(std::string_view insertSql, std::size_t parameters);

// Appends one row of bound parameters to `buffer` as a line of COPY's text format.
void AppendCopyRow(const BoundParameters& row, std::string& buffer);

}  // namespace vela::data::postgres
