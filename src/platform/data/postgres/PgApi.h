// The thin layer over libpq the server provider builds on: owning handles for a connection and a result,
// and the one place where a server error becomes a vela::Error.
//
// Only the files of this folder include libpq-fe.h; the component sees none of it.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "velabackup/Error.h"

namespace vela::data::postgres {

// The source of every error this provider raises.
inline constexpr const char* kSource = kSourceServerProvider;

struct ConnCloser {
  void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
using ConnHandle = std::unique_ptr<PGconn, ConnCloser>;

struct ResultClearer {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

// The cells of a result in text form: the text, whether it is NULL, a Boolean ("t"), a whole number.
std::string CellText(const PGresult* result, int row, int column);
bool CellIsNull(const PGresult* result, int row, int column);
bool CellFlag(const PGresult* result, int row, int column);
std::int64_t CellNumber(const PGresult* result, int row, int column);

// The error number this provider gives an SQLSTATE: class 23 is an integrity violation, a value its type
// cannot hold (IsValueMismatch) a type mismatch, 42P01 a missing table, class 28 a refused login, class 08 a
// lost server, anything else a refused statement.
std::int32_t ErrorNumberFor(std::string_view sqlState);
// Whether the SQLSTATE says a value could not be read as, or does not fit, its type ("22P02", "22003").
bool IsValueMismatch(std::string_view sqlState);

// Raises the error a failed result carries: the server's message, its SQLSTATE and the statement sent;
// with `withContext`, also where the server stood ("COPY t, line 3, column c: ...").
[[noreturn]] void ThrowResultError(const PGresult* result, PGconn* conn, std::string_view statement,
                                   bool withContext = false);
// Raises the connection's last error (no result to read it from: a lost connection, a failed send).
[[noreturn]] void ThrowConnectionError(PGconn* conn, std::string_view statement);

}  // namespace vela::data::postgres
