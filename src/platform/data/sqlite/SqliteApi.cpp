#include "platform/data/sqlite/SqliteApi.h"

#include <utility>

namespace vela::data::sqlite {

std::int32_t ErrorNumberFor(int rc, std::string_view message) {
  switch (rc & 0xFF) {
    case SQLITE_CONSTRAINT:
      return kIntegrityViolation;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
      return kPathAccess;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return kBadFileFormat;
    case SQLITE_NOMEM:
      return kOutOfMemory;
    case SQLITE_MISMATCH:
      return kTypeMismatch;
    case SQLITE_RANGE:
      return kInvalidArgument;
    case SQLITE_AUTH:
      return kAuthenticationFailed;
    case SQLITE_ERROR:
      if (message.find("no such table") != std::string_view::npos) return kNoSuchTable;
      return kCommandError;
    default:
      return kGeneralFailure;
  }
}

void ThrowEngineError(int rc, std::string_view message, std::string_view context) {
  std::string description(message);
  if (!context.empty()) description += " (" + std::string(context) + ")";
  throw Error(ErrorNumberFor(rc, message), kSource, std::move(description));
}

void ThrowEngineError(sqlite3* db, int rc, std::string_view context) {
  bool fromDb = db != nullptr && (sqlite3_extended_errcode(db) & 0xFF) == (rc & 0xFF);
  ThrowEngineError(rc, fromDb ? sqlite3_errmsg(db) : sqlite3_errstr(rc), context);
}

Statement::Statement(sqlite3* db, std::string_view sql, std::string_view context)
    : db_(db), context_(context) {
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, &tail);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    ThrowEngineError(db, rc, context_.empty() ? std::string(sql) : context_);
  }
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)), context_(std::move(other.context_)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    db_ = other.db_;
    stmt_ = std::exchange(other.stmt_, nullptr);
    context_ = std::move(other.context_);
  }
  return *this;
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  std::string context = context_.empty() ? std::string(sqlite3_sql(stmt_)) : context_;
  std::string message = sqlite3_errmsg(db_);
  sqlite3_reset(stmt_);
  ThrowEngineError(rc, message, context);
}

void Statement::Reset() noexcept {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

void Statement::BindText(int index, std::string_view text) {
  int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) ThrowEngineError(db_, rc, context_);
}

void Statement::BindInt(int index, std::int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) ThrowEngineError(db_, rc, context_);
}

void Statement::BindNull(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) ThrowEngineError(db_, rc, context_);
}

std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

void ExecAll(sqlite3* db, std::string_view sql, std::string_view context) {
  std::string text(sql);
  const char* rest = text.c_str();
  while (*rest != '\0') {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db, rest, -1, &raw, &tail);
    if (rc != SQLITE_OK) ThrowEngineError(db, rc, context.empty() ? std::string_view(rest) : context);
    rest = tail;
    if (raw == nullptr) continue;  // only blanks or a comment
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
      std::string failed = context.empty() ? std::string(sqlite3_sql(raw)) : std::string(context);
      std::string message = sqlite3_errmsg(db);
      ThrowEngineError(rc, message, failed);
    }
  }
}

std::int64_t QueryInt(sqlite3* db, std::string_view sql) {
  Statement stmt(db, sql);
  return stmt.Step() ? stmt.Int(0) : 0;
}

}  // namespace vela::data::sqlite
