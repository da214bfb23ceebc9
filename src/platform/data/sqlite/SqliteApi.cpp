#include "platform/data/sqlite/SqliteApi.h"

#include <utility>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/text/Strings.h"

namespace vela::data::sqlite {

std::int32_t ErrorNumberFor(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_CONSTRAINT:
      return kIntegrityViolation;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
      return kPathAccess;
    case SQLITE_FULL:
      return kDiskFull;
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
      return kCommandError;
    default:
      return kGeneralFailure;
  }
}

namespace {

// Whether a statement the engine refused names a table or view the database does not have. Decided from
// the statement's own words (the name after FROM, JOIN, INTO, UPDATE, TABLE, ON or REFERENCES) and the
// schema, never from the engine's message.
bool NamesMissingTable(sqlite3* db, std::string_view sql) {
  std::vector<Token> tokens;
  try {
    tokens = Tokenize(sql, Brackets::Engine);
  } catch (const Error&) {
    return false;
  }
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    const Token& word = tokens[i];
    if (word.kind != TokenKind::Word) continue;
    if (!word.Is("FROM") && !word.Is("JOIN") && !word.Is("INTO") && !word.Is("UPDATE") && !word.Is("TABLE") &&
        !word.Is("ON") && !word.Is("REFERENCES"))
      continue;
    std::size_t at = i + 1;
    // "schema.table": the table is the name after the point.
    if (at + 2 < tokens.size() && tokens[at + 1].IsPunct('.')) at += 2;
    const Token& name = tokens[at];
    if (name.kind != TokenKind::Word && name.kind != TokenKind::Name) continue;
    if (name.kind == TokenKind::Word && (name.Is("SELECT") || name.Is("IF") || name.Is("ONLY"))) continue;
    sqlite3_stmt* probe = nullptr;
    const char* query =
        "SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 COLLATE NOCASE";
    if (sqlite3_prepare_v2(db, query, -1, &probe, nullptr) != SQLITE_OK) {
      sqlite3_finalize(probe);
      return false;
    }
    sqlite3_bind_text(probe, 1, name.text.data(), static_cast<int>(name.text.size()), SQLITE_TRANSIENT);
    bool found = sqlite3_step(probe) == SQLITE_ROW;
    sqlite3_finalize(probe);
    if (!found && !text::StartsWithNoCase(name.text, "sqlite_")) return true;
  }
  return false;
}

}  // namespace

void ThrowEngineError(int rc, std::string_view message, std::string_view context, std::string_view statement,
                      std::int32_t number) {
  std::string description(message);
  if (!context.empty()) description += " (" + std::string(context) + ")";
  throw Error(number != 0 ? number : ErrorNumberFor(rc), kSource, std::move(description), std::to_string(rc),
              std::string(statement));
}

void ThrowEngineError(sqlite3* db, int rc, std::string_view context, std::string_view statement) {
  bool fromDb = db != nullptr && (sqlite3_extended_errcode(db) & 0xFF) == (rc & 0xFF);
  int code = fromDb ? sqlite3_extended_errcode(db) : rc;
  ThrowEngineError(code, fromDb ? sqlite3_errmsg(db) : sqlite3_errstr(rc), context, statement);
}

void ThrowPrepareError(sqlite3* db, int rc, std::string_view sql, std::string_view context) {
  bool fromDb = db != nullptr && (sqlite3_extended_errcode(db) & 0xFF) == (rc & 0xFF);
  int code = fromDb ? sqlite3_extended_errcode(db) : rc;
  std::string message = fromDb ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  std::int32_t number =
      (code & 0xFF) == SQLITE_ERROR && db != nullptr && NamesMissingTable(db, sql) ? kNoSuchTable : 0;
  ThrowEngineError(code, message, context.empty() ? sql : context, sql, number);
}

Statement::Statement(sqlite3* db, std::string_view sql, std::string_view context)
    : db_(db), context_(context) {
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, &tail);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    ThrowPrepareError(db, rc, sql, context_);
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
  std::string statement = sqlite3_sql(stmt_);
  std::string context = context_.empty() ? statement : context_;
  std::string message = sqlite3_errmsg(db_);
  int code = sqlite3_extended_errcode(db_);
  sqlite3_reset(stmt_);
  ThrowEngineError((code & 0xFF) == (rc & 0xFF) ? code : rc, message, context, statement);
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
    if (rc != SQLITE_OK) ThrowPrepareError(db, rc, rest, context);
    rest = tail;
    if (raw == nullptr) continue;  // only blanks or a comment
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
      std::string statement = sqlite3_sql(raw);
      std::string failed = context.empty() ? statement : std::string(context);
      std::string message = sqlite3_errmsg(db);
      int code = sqlite3_extended_errcode(db);
      ThrowEngineError((code & 0xFF) == (rc & 0xFF) ? code : rc, message, failed, statement);
    }
  }
}

std::int64_t QueryInt(sqlite3* db, std::string_view sql) {
  Statement stmt(db, sql);
  return stmt.Step() ? stmt.Int(0) : 0;
}

}  // namespace vela::data::sqlite
