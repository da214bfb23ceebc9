// Fuzzes the engine objects of a backup: an input is one object, its kind, name and table on the first three
// lines and its SQL after them. The checks that need no database (the ones verify runs, the file engine's
// and the server's) must give a reason or none; then the object is made in a copy of a small file database,
// as a restore makes it, and whatever the SQL says, the table's rows are all still there and nothing but the
// database is written.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kProvider = "Microsoft.Jet.OLEDB.4.0";
constexpr std::int64_t kRows = 3;

using Db = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;

Db Open(const fs::path& path) {
  sqlite3* raw = nullptr;
  if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) std::abort();
  return Db(raw, sqlite3_close);
}

// The database every input starts from: a table with a check, its rows and a view over it.
const fs::path& Template() {
  static const fs::path path = [] {
    fs::path made = vela::fuzz::RunFolder() / "template.db";
    Db db = Open(made);
    if (sqlite3_exec(db.get(),
                     "CREATE TABLE T (a INTEGER PRIMARY KEY, b TEXT CHECK (b <> 'x'));"
                     "INSERT INTO T (b) VALUES ('one'), ('two'), ('three');"
                     "CREATE VIEW V AS SELECT b FROM T;",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
      std::abort();
    return made;
  }();
  return path;
}

std::set<fs::path> Listing(const fs::path& folder) {
  std::set<fs::path> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename());
  return names;
}

std::string_view Line(std::string_view& input) {
  std::size_t end = input.find('\n');
  std::string_view line = input.substr(0, end);
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vela::data::EngineObject object;
  object.kind = Line(input);
  object.name = Line(input);
  object.table = Line(input);
  object.sql = input;
  (void)vela::data::CheckEngineObject(kProvider, object);
  // The server's check reads the same input with its own quoting rules (dollar quotes, E'' strings,
  // nested comments) and must give a reason or none as well.
  (void)vela::data::CheckEngineObject("SQLOLEDB.1", object);

  static const fs::path folder = [] {
    fs::path made = vela::fuzz::RunFolder() / "target";
    fs::create_directory(made);
    return made;
  }();
  // A file the SQL names without a folder lands in the working folder, which must not change either.
  static const std::set<fs::path> working = Listing(fs::current_path());
  const fs::path target = folder / "target.db";
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
  fs::copy_file(Template(), target);
  try {
    std::unique_ptr<vela::data::Connection> connection =
        vela::data::OpenConnection(std::string("Provider=") + kProvider + ";Data Source=" + target.string());
    connection->OpenCatalog()->ApplyEngineObject(object);
  } catch (const vela::Error&) {
  }
  Db db = Open(target);
  sqlite3_stmt* count = nullptr;
  if (sqlite3_prepare_v2(db.get(), "SELECT count(*) FROM T", -1, &count, nullptr) != SQLITE_OK)
    __builtin_trap();
  if (sqlite3_step(count) != SQLITE_ROW || sqlite3_column_int64(count, 0) != kRows) __builtin_trap();
  sqlite3_finalize(count);
  // The database and the engine's own files beside it, nothing else.
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "target.db" && name != "target.db-journal" && name != "target.db-wal" &&
        name != "target.db-shm")
      __builtin_trap();
  }
  if (Listing(fs::current_path()) != working) __builtin_trap();
  return 0;
}
