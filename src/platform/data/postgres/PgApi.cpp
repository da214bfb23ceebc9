#include "platform/data/postgres/PgApi.h"

#include <string>

namespace vela::data::postgres {

namespace {

// libpq ends its messages with a line break and indents their later lines with a tab; the description
// carries the message alone, its lines as lines.
std::string Trimmed(const char* message) {
  std::string text;
  for (const char* c = message != nullptr ? message : ""; *c != '\0'; ++c)
    if (*c != '\t' || text.empty() || text.back() != '\n') text += *c;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::string CellText(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<std::size_t>(PQgetlength(result, row, column)));
}
bool CellIsNull(const PGresult* result, int row, int column) {
  return PQgetisnull(result, row, column) != 0;
}
bool CellFlag(const PGresult* result, int row, int column) {
  return CellText(result, row, column) == "t";
}
std::int64_t CellNumber(const PGresult* result, int row, int column) {
  return std::stoll(CellText(result, row, column));
}

bool IsValueMismatch(std::string_view sqlState) {
  // Class 22 (data exception) also holds failures of computing (a division by zero), which are not.
  for (std::string_view code :
       {"22001", "22003", "22007", "22008", "22009", "22018", "22021", "22P02", "22P03"})
    if (sqlState == code) return true;
  return false;
}

std::int32_t ErrorNumberFor(std::string_view sqlState) {
  if (sqlState == "42P01") return kNoSuchTable;
  if (sqlState.starts_with("23")) return kIntegrityViolation;
  if (IsValueMismatch(sqlState)) return kTypeMismatch;
  if (sqlState.starts_with("28")) return kAuthenticationFailed;
  if (sqlState.starts_with("08")) return kServerGone;
  if (sqlState.starts_with("53")) return kOutOfMemory;
  return kCommandError;
}

void ThrowResultError(const PGresult* result, PGconn* conn, std::string_view statement, bool withContext) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  std::string message = primary != nullptr  ? Trimmed(primary)
                        : result != nullptr ? Trimmed(PQresultErrorMessage(result))
                                            : Trimmed(PQerrorMessage(conn));
  if (message.empty()) message = Trimmed(PQerrorMessage(conn));
  if (withContext && result != nullptr) {
    if (const char* context = PQresultErrorField(result, PG_DIAG_CONTEXT))
      message += " (" + Trimmed(context) + ")";
  }
  std::string sqlState = state != nullptr ? state : "";
  // A failure without a state is libpq's own. One met on a connection that sat idle while the server went
  // away may come before libpq marks the connection lost: reading what is left on it tells.
  if (sqlState.empty() && conn != nullptr && PQstatus(conn) != CONNECTION_BAD) PQconsumeInput(conn);
  std::int32_t number = sqlState.empty() ? (PQstatus(conn) == CONNECTION_BAD ? kServerGone : kCommandError)
                                         : ErrorNumberFor(sqlState);
  throw Error(number, kSource, std::move(message), std::move(sqlState), std::string(statement));
}

void ThrowConnectionError(PGconn* conn, std::string_view statement) {
  std::int32_t number = conn == nullptr || PQstatus(conn) == CONNECTION_BAD ? kServerGone : kCommandError;
  std::string message = conn != nullptr ? Trimmed(PQerrorMessage(conn)) : "Out of memory";
  throw Error(number, kSource, std::move(message), {}, std::string(statement));
}

}  // namespace vela::data::postgres
