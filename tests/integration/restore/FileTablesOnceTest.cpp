// A restore into a new file builds it aside without a journal on the disk and without syncs, and puts it
// in place only when it is whole: many tables come back with every row, key and index in a file that is
// sound and opens as any other, and a restore that fails at any write leaves no file where the target was
// to be.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/ServiceDoubles.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::Answers;
using testing::Exec;
using testing::FileDatabase;
using testing::TempFolder;

std::set<std::string> Names(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Pairs of tables written as another program writes them: a parent with a unique code and an index, a
// child referring to it; `pairs` of each, with rows.
void MakeSource(const std::string& path, int pairs) {
  std::string sql = "BEGIN;";
  for (int i = 0; i < pairs; ++i) {
    const std::string n = std::to_string(i);
    sql += "CREATE TABLE p" + n + " (id INTEGER PRIMARY KEY, code TEXT NOT NULL UNIQUE, amount REAL);" +
           "CREATE INDEX p" + n + "_amount ON p" + n + " (amount);" + "CREATE TABLE c" + n +
           " (id INTEGER PRIMARY KEY, parent INTEGER NOT NULL REFERENCES p" + n +
           " (id) ON DELETE CASCADE, note TEXT);" +
           "WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < 25) INSERT INTO p" + n +
           " SELECT x, 'code ' || x, x * 1.5 FROM k;" +
           "WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < 40) INSERT INTO c" + n +
           " SELECT x, 1 + x % 25, CASE WHEN x % 3 THEN 'note ' || x END FROM k;";
  }
  ASSERT_EQ(Exec(path, sql + "COMMIT;"), "");
}

// The source above with `pairs` pairs, saved: the backup's path.
std::string SavedSource(const TempFolder& folder, int pairs) {
  const std::string source = folder / "source.db", archive = folder / "backup.vbk";
  MakeSource(source, pairs);
  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(source));
  EXPECT_TRUE(backup.Save(*connection, archive));
  return archive;
}

// What a file holds for a reader: its objects and, per table, its rows, its keys and its indexes' columns.
std::vector<std::string> Contents(const std::string& path) {
  std::vector<std::string> all = Answers(path,
                                         "SELECT type, name, tbl_name FROM sqlite_master WHERE name NOT LIKE "
                                         "'sqlite_%' AND name <> 'MSysVelaProperties' ORDER BY name");
  for (const std::string& table :
       Answers(path,
               "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' AND "
               "name <> 'MSysVelaProperties' ORDER BY name")) {
    for (const std::string& sql :
         {"SELECT * FROM \"" + table + "\" ORDER BY 1",
          "SELECT \"table\", \"from\", \"to\", on_delete FROM pragma_foreign_key_list('" + table + "')",
          "SELECT l.name, l.\"unique\", i.name FROM pragma_index_list('" + table +
              "') l, pragma_index_info(l.name) i ORDER BY 1, i.seqno"})
      for (std::string& row : Answers(path, sql)) all.push_back(table + ": " + row);
  }
  return all;
}

TEST(FileTablesOnce, ManyTablesComeBackWithEveryRowKeyAndIndexInASoundFile) {
  TempFolder folder;
  const std::string archive = SavedSource(folder, 40);
  const std::string source = folder / "source.db", target = folder / "target.db";
  const std::set<std::string> before = Names(folder.path());
  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  ASSERT_TRUE(backup.Restore(FileDatabase(target), archive, false, {}, {}));

  EXPECT_EQ(Contents(target), Contents(source));
  EXPECT_EQ(Answers(target, "PRAGMA integrity_check"), std::vector<std::string>{"text:ok | "});
  EXPECT_EQ(Answers(target, "PRAGMA foreign_key_check"), std::vector<std::string>{});
  // The new file is a database like any other: the next program that opens it journals its changes on the
  // disk, and nothing of the build is left beside it.
  EXPECT_EQ(Answers(target, "PRAGMA journal_mode"), std::vector<std::string>{"text:delete | "});
  std::set<std::string> after = before;
  after.insert("target.db");
  EXPECT_EQ(Names(folder.path()), after);
  EXPECT_EQ(Exec(target, "INSERT INTO c0 (parent) VALUES (999)"), "");  // another program's keys, as before
}

TEST(FileTablesOnce, ARestoreIntoANewFileThatFailsAtAnyWriteLeavesNoFileThere) {
  TempFolder folder;
  const std::string archive = SavedSource(folder, 3);
  const std::string source = folder / "source.db", target = folder / "target.db";
  const std::set<std::string> before = Names(folder.path());
  auto services = std::make_shared<testing::FaultCountingServices>();
  long n = 1;
  for (;; ++n) {
    SCOPED_TRACE("write, sync or rename " + std::to_string(n) + " fails");
    services->FailNth(n);
    bool restored = false;
    try {
      CBackup backup(services);
      backup.SetLanguageResources(LanguageResources::English());
      restored = backup.Restore(FileDatabase(target), archive, false, {}, {});
    } catch (const Error& error) {
      EXPECT_TRUE(error.Number() == kPathAccess || error.Number() == kDiskFull) << error.Description();
    }
    const bool metFault = services->Counted() >= n;
    services->FailNth(0);
    if (!metFault) {
      EXPECT_TRUE(restored);
      break;
    }
    EXPECT_FALSE(restored);
    EXPECT_EQ(Names(folder.path()), before);
    if (n > 5000) FAIL() << "no end to the fault points";
  }
  EXPECT_GT(n, 3);
  EXPECT_EQ(Contents(target), Contents(source));
  EXPECT_EQ(Answers(target, "PRAGMA integrity_check"), std::vector<std::string>{"text:ok | "});
}

}  // namespace
}  // namespace vela
