// A SQLite file made the way applications make theirs (plain SQL: declared types of their own choosing,
// CURRENT_TIMESTAMP defaults, a generated column, a STRICT table, AUTOINCREMENT, user_version) comes back
// from a text backup onto a file as it was: the same statements in its schema, the same columns, the same
// answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::Answers;
using testing::FileDatabase;

constexpr const char* kApplicationSchema = R"sql(
PRAGMA user_version = 7;
PRAGMA application_id = 1096044883;
CREATE TABLE orders (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  customer VARCHAR(40) NOT NULL,
  placed DATE,
  created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP,
  payload JSON,
  amount NUMERIC(8,2) DEFAULT 0,
  quantity INT DEFAULT 1,
  total NUMERIC(10,2) GENERATED ALWAYS AS (amount * quantity) VIRTUAL,
  label TEXT AS (upper(customer)) STORED
);
CREATE TABLE readings (sensor TEXT NOT NULL, at INTEGER NOT NULL, value REAL, note ANY) STRICT;
INSERT INTO orders (customer, placed, created_at, payload, amount, quantity) VALUES
  ('ada', '2024-01-31', '2024-01-31 10:00:00', '{"a":1}', 12.5, 2),
  ('bob', '1999-12-31', '2000-01-01 00:00:00', '[1,2]', 3, 7),
  ('cleo', NULL, '2024-02-29 23:59:59', NULL, 0.25, 4);
DELETE FROM orders WHERE customer = 'cleo';
INSERT INTO readings VALUES ('t1', 1700000000000, 21.5, 'x'), ('t2', 1700000000001, NULL, 42);
)sql";

class SqliteAsItWas : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    ASSERT_EQ(testing::Exec(source_, kApplicationSchema), "");
    std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
    connection->Close();
  }

  void ExpectAlike(const std::string& query) {
    EXPECT_EQ(Answers(target_, query), Answers(source_, query)) << query;
  }

  testing::TempFolder folder_;
  std::string source_ = folder_ / "app.db", target_ = folder_ / "restored.db", archive_ = folder_ / "app.vbk";
  CBackup backup_;
};

TEST_F(SqliteAsItWas, GeneratedColumnsSaveIntoASoundBackup) {
  std::string lines;
  for (const VerifyProblem& problem : VerifyBackup(archive_).problems) lines += problem.text + "\n";
  EXPECT_EQ(lines, "");
}

TEST_F(SqliteAsItWas, AFileToFileRestoreGivesBackTheSchemaAndTheRows) {
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  ExpectAlike(
      "SELECT type, name, tbl_name, sql FROM sqlite_schema WHERE name NOT LIKE 'MSysVela%' "
      "ORDER BY type, name");
  for (const char* table : {"orders", "readings"})
    ExpectAlike(std::string("SELECT * FROM pragma_table_xinfo('") + table + "')");
  ExpectAlike("SELECT * FROM orders ORDER BY id");
  ExpectAlike("SELECT typeof(amount), typeof(total), typeof(placed) FROM orders ORDER BY id");
  ExpectAlike("SELECT * FROM readings ORDER BY at");
  ExpectAlike("SELECT name, seq FROM sqlite_sequence");
  ExpectAlike("PRAGMA user_version");
  ExpectAlike("PRAGMA application_id");
  // New rows behave alike: the generated columns compute, the default is the engine's UTC time, the
  // sequence goes on past the deleted row, STRICT refuses a text where an integer belongs.
  const char* insert = "INSERT INTO orders (customer, amount, quantity) VALUES ('dan', 2, 3)";
  ASSERT_EQ(testing::Exec(target_, insert), "");
  ASSERT_EQ(testing::Exec(source_, insert), "");
  ExpectAlike(
      "SELECT id, total, label, created_at >= datetime('now', '-1 minute') "
      "AND created_at <= datetime('now', '+1 minute') FROM orders WHERE customer = 'dan'");
  EXPECT_NE(testing::Exec(target_, "INSERT INTO readings VALUES ('t3', 'soon', 1, NULL)"), "");
}

// Restoring a table whose key is named anew (the autoincrement column's key becomes "PK_<table>") renames
// it in place: the file is no larger than the source and has no more free pages than a few.
TEST(SqliteRestoredSize, ARenamedKeyLeavesNoFreePagesBehind) {
  testing::TempFolder folder;
  const std::string source = folder / "log.db", target = folder / "restored.db", archive = folder / "log.vbk";
  ASSERT_EQ(testing::Exec(source, R"sql(
    CREATE TABLE log (id INTEGER PRIMARY KEY AUTOINCREMENT, note VARCHAR(200));
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
    INSERT INTO log (note) SELECT printf('entry %d of the log, long enough to fill its pages', i) FROM n;
  )sql"),
            "");
  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  {
    std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(source));
    ASSERT_TRUE(backup.Save(*connection, archive));
  }
  ASSERT_TRUE(backup.Restore(FileDatabase(target), archive));
  auto number = [](const std::string& path, const char* pragma) {
    return std::stoll(Answers(path, pragma).at(0).substr(std::string("integer:").size()));
  };
  EXPECT_LE(number(target, "PRAGMA freelist_count"), number(source, "PRAGMA freelist_count") + 4);
  EXPECT_LE(number(target, "PRAGMA page_count"), number(source, "PRAGMA page_count") + 4);
  EXPECT_EQ(Answers(target, "PRAGMA integrity_check"), (std::vector<std::string>{"text:ok | "}));
  EXPECT_EQ(Answers(target, "SELECT count(*), max(id) FROM log"),
            Answers(source, "SELECT count(*), max(id) FROM log"));
}

}  // namespace
}  // namespace vela
