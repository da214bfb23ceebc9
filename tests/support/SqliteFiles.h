// SQLite files written with the sqlite3 library alone, as other programs write them.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

namespace vela::testing {

// Runs statements on a file (made when missing); the engine's complaint, or "" when they ran.
inline std::string Exec(const std::string& path, const std::string& sql) {
  sqlite3* raw = nullptr;
  if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) {
    sqlite3_close(raw);
    return "cannot open " + path;
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  char* message = nullptr;
  sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message);
  std::string complaint = message ? message : "";
  sqlite3_free(message);
  return complaint;
}

}  // namespace vela::testing
