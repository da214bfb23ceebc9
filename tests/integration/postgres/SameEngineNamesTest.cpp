// A server database made the way its users make theirs (named keys, every foreign-key action, Booleans
// that must hold a value, an index over a text) comes back from a text backup onto the server with its
// names and rules: the catalogue of the copy says what the source's says. A file database keeps the rules.
#include <gtest/gtest.h>

#include "platform/data/postgres/ServerSession.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Scalar;

constexpr const char* kShop = R"sql(
CREATE TABLE parent (
  id integer CONSTRAINT parent_primary PRIMARY KEY,
  code text NOT NULL CONSTRAINT parent_code_key UNIQUE,
  flag boolean NOT NULL DEFAULT false,
  note text);
CREATE INDEX parent_note_idx ON parent (note);
CREATE TABLE child (
  id integer CONSTRAINT child_pk PRIMARY KEY,
  ticket serial,
  active boolean NOT NULL DEFAULT true,
  p_null integer CONSTRAINT child_null_fk REFERENCES parent (id) ON DELETE SET NULL ON UPDATE CASCADE,
  p_restrict integer CONSTRAINT child_restrict_fk REFERENCES parent (id) ON DELETE RESTRICT ON UPDATE RESTRICT,
  p_default integer DEFAULT 1 CONSTRAINT child_default_fk REFERENCES parent (id)
    ON DELETE SET DEFAULT ON UPDATE SET NULL,
  p_cascade integer CONSTRAINT child_cascade_fk REFERENCES parent (id) ON DELETE CASCADE,
  p_none integer CONSTRAINT child_none_fk REFERENCES parent (id));
CREATE UNIQUE INDEX child_ticket_idx ON child (ticket);
INSERT INTO parent VALUES (1, 'one', true, 'first'), (2, 'two', false, 'second');
INSERT INTO child (id, p_null, p_restrict, p_default, p_cascade, p_none) VALUES (10, 2, 1, 2, 2, 1);
)sql";

// The catalogue of the two tables, one line each: constraints with their actions, indexes, NOT NULL.
constexpr const char* kConstraints =
    "SELECT string_agg(conname || ':' || contype::text || ':' || confdeltype::text || confupdtype::text, ', "
    "' "
    "ORDER BY conname) FROM pg_constraint WHERE conrelid IN ('parent'::regclass, 'child'::regclass) "
    "AND contype IN ('p', 'u', 'f')";
constexpr const char* kIndexes =
    "SELECT string_agg(c.relname || ':' || i.indisunique || i.indisprimary, ', ' ORDER BY c.relname) "
    "FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid "
    "WHERE i.indrelid IN ('parent'::regclass, 'child'::regclass)";
constexpr const char* kNotNull =
    "SELECT string_agg(attrelid::regclass || '.' || attname || ':' || attnotnull, ', ' "
    "ORDER BY attrelid::regclass::text, attname) FROM pg_attribute "
    "WHERE attrelid IN ('parent'::regclass, 'child'::regclass) AND attnum > 0 AND NOT attisdropped";

class SameEngineNames : public testing::ServerDatabaseTest {
 protected:
  SameEngineNames() : ServerDatabaseTest("names_source") {}

  void SetUp() override {
    ServerDatabaseTest::SetUp();
    if (NotSetUp()) return;
    dynamic_cast<postgres::ServerSession&>(*db_).RunServerSql(kShop);
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
    ASSERT_TRUE(backup_.Save(*db_, folder_ / "shop.vbk"));
    target_ = targets_.Add("names_target");
    ASSERT_TRUE(backup_.Restore(target_, folder_ / "shop.vbk"));
  }
  std::string Source(const char* query) const {
    return Scalar(testing::ServerDatabase(database_), query).AsText();
  }
  std::string Target(const char* query) const { return Scalar(target_, query).AsText(); }

  testing::TempFolder folder_;
  testing::ServerDatabaseGuard targets_;
  std::string target_;
  CBackup backup_;
  testing::EventRecorder notices_;
};

TEST_F(SameEngineNames, ForeignKeysKeepTheirActions) {
  if (NotSetUp()) return;
  EXPECT_EQ(Target(kConstraints), Source(kConstraints));
  // RESTRICT refuses the change at once, where NO ACTION would wait for the statement's end.
  EXPECT_EQ(Target("SELECT confdeltype::text || confupdtype::text FROM pg_constraint WHERE conname = "
                   "'child_restrict_fk'"),
            "rr");
}

TEST_F(SameEngineNames, KeysAndIndexesKeepTheirNames) {
  if (NotSetUp()) return;
  EXPECT_EQ(Target(kIndexes), Source(kIndexes));
  EXPECT_TRUE(notices_.messages.empty()) << notices_.messages[0].prompt;
}

TEST_F(SameEngineNames, EveryColumnThatMustHoldAValueStillMust) {
  if (NotSetUp()) return;
  EXPECT_EQ(Target(kNotNull), Source(kNotNull));
}

// A file database holds every rule the server's keys have: a restore into one keeps them.
TEST_F(SameEngineNames, AFileDatabaseKeepsTheRulesToo) {
  if (NotSetUp()) return;
  const std::string file = folder_ / "shop.db";
  ASSERT_TRUE(backup_.Restore(testing::FileDatabase(file), folder_ / "shop.vbk"));
  EXPECT_EQ(testing::Answers(file,
                             "SELECT \"from\", on_update, on_delete FROM pragma_foreign_key_list('child') "
                             "ORDER BY \"from\""),
            (std::vector<std::string>{"text:p_cascade | text:NO ACTION | text:CASCADE | ",
                                      "text:p_default | text:SET NULL | text:SET DEFAULT | ",
                                      "text:p_none | text:NO ACTION | text:NO ACTION | ",
                                      "text:p_null | text:CASCADE | text:SET NULL | ",
                                      "text:p_restrict | text:RESTRICT | text:RESTRICT | "}));
}

}  // namespace
}  // namespace vela
