// The thin layer over the SQLite C interface that the rest of the provider builds on: owning handles for
// a database and a statement, and the one place where an engine result code becomes a vela::Error.
//
// Only the files of this folder include sqlite3.h; the component sees none of it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "velabackup/Error.h"

namespace vela::data::sqlite {

// The source of every error this provider raises.
inline constexpr const char* kSource = kSourceFileProvider;

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

// A prepared statement. Step() returns true while a row is available.
class Statement {
 public:
  Statement() = default;
  // Prepares one statement; `context` names the object for messages (a table, a path).
  Statement(sqlite3* db, std::string_view sql, std::string_view context = {});
  Statement(Statement&&) noexcept;
  Statement& operator=(Statement&&) noexcept;
  ~Statement();

  sqlite3_stmt* get() const noexcept { return stmt_; }
  explicit operator bool() const noexcept { return stmt_ != nullptr; }
  bool Step();
  void Reset() noexcept;

  void BindText(int index, std::string_view text);
  void BindInt(int index, std::int64_t value);
  void BindNull(int index);

  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const;
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  std::string context_;
};

// Raises the error the engine reported for `rc`, with the engine's own message, the object named, the
// extended result code as the error's engine code and the statement that failed (empty when none did).
// `number` 0 takes the number ErrorNumberFor gives.
[[noreturn]] void ThrowEngineError(sqlite3* db, int rc, std::string_view context,
                                   std::string_view statement = {});
[[noreturn]] void ThrowEngineError(int rc, std::string_view message, std::string_view context,
                                   std::string_view statement = {}, std::int32_t number = 0);
// A statement the engine would not prepare; one that names a table the database lacks is kNoSuchTable.
[[noreturn]] void ThrowPrepareError(sqlite3* db, int rc, std::string_view sql, std::string_view context);
// The error number this provider gives an engine result code.
std::int32_t ErrorNumberFor(int rc);

// Runs statements that return no rows (several may be separated by ";").
void ExecAll(sqlite3* db, std::string_view sql, std::string_view context = {});

// One integer from a query of one row (0 when it returns none).
std::int64_t QueryInt(sqlite3* db, std::string_view sql);

}  // namespace vela::data::sqlite
