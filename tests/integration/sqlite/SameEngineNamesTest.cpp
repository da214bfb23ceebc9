// A SQLite file made with plain SQL (named keys, every foreign-key action, an index over a column named in
// other letters) comes back from a text backup as a file with the same keys, rules and indexes.
#include <gtest/gtest.h>

#include "support/EventRecorder.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Answers;
using testing::FileDatabase;

constexpr const char* kShop = R"sql(
PRAGMA foreign_keys = ON;
CREATE TABLE parent (
  ID INTEGER CONSTRAINT parent_primary PRIMARY KEY,
  code TEXT NOT NULL CONSTRAINT parent_code_key UNIQUE,
  flag BOOLEAN NOT NULL DEFAULT 0);
CREATE INDEX parent_flag_idx ON parent (flag);
CREATE TABLE child (
  id INTEGER PRIMARY KEY,
  p_null INTEGER CONSTRAINT child_null_fk REFERENCES parent (ID) ON DELETE SET NULL ON UPDATE CASCADE,
  p_restrict INTEGER CONSTRAINT child_restrict_fk REFERENCES parent (ID) ON DELETE RESTRICT ON UPDATE RESTRICT,
  p_default INTEGER DEFAULT 1 CONSTRAINT child_default_fk REFERENCES parent (ID)
    ON DELETE SET DEFAULT ON UPDATE SET NULL,
  p_cascade INTEGER CONSTRAINT child_cascade_fk REFERENCES parent (ID) ON DELETE CASCADE,
  p_none INTEGER CONSTRAINT child_none_fk REFERENCES parent (ID));
CREATE INDEX child_cascade_idx ON child (P_CASCADE);
INSERT INTO parent VALUES (1, 'one', 1), (2, 'two', 0);
INSERT INTO child VALUES (10, 2, 1, 2, 2, 1);
)sql";

class SameEngineFileNames : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testing::Exec(source_, kShop), "");
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
    std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
    connection.reset();
    ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  }

  testing::TempFolder folder_;
  std::string source_ = folder_ / "shop.db", target_ = folder_ / "restored.db",
              archive_ = folder_ / "shop.vbk";
  CBackup backup_;
  testing::EventRecorder notices_;
};

TEST_F(SameEngineFileNames, ForeignKeysKeepTheirActions) {
  const std::string keys =
      "SELECT \"from\", \"table\", \"to\", on_update, on_delete FROM pragma_foreign_key_list('child') "
      "ORDER BY \"from\"";
  EXPECT_EQ(Answers(target_, keys), Answers(source_, keys));
  // The rule does what it did: a parent with children under RESTRICT stays.
  EXPECT_NE(testing::Exec(target_, "PRAGMA foreign_keys = ON; DELETE FROM parent WHERE ID = 1"), "");
}

TEST_F(SameEngineFileNames, EveryIndexComesBackOverItsColumns) {
  // The file engine keeps an index under its table ("child.child_cascade_idx"); a unique constraint comes
  // back as a unique index over the same columns.
  const std::string indexes =
      "SELECT s.tbl, l.\"unique\", i.name FROM (SELECT 'parent' AS tbl UNION SELECT 'child') AS s, "
      "pragma_index_list(s.tbl) AS l, pragma_index_info(l.name) AS i ORDER BY 1, 3";
  EXPECT_EQ(Answers(target_, indexes), Answers(source_, indexes));
  EXPECT_TRUE(notices_.messages.empty()) << notices_.messages[0].prompt;
}

}  // namespace
}  // namespace vela
