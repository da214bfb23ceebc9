// A restore into a new server database with two jobs builds what one job builds: the same columns, keys,
// indexes, sequences and rows, with the same events and notices in the same order. A cancel at any of its
// events, or a table whose data file is damaged, leaves no database and no session behind, and fails as one
// job fails. A login the server gives few sessions restores and saves with as many jobs as it may have.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerSession.h"
#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/ServerDatabases.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using ::testing::HasSubstr;
using testing::Scalar;

// Twelve tables from none to 700 rows, keys between them (one to itself), unique and plain indexes,
// defaults and sequences.
constexpr const char* kShop = R"sql(
CREATE TABLE region (id integer PRIMARY KEY, name text NOT NULL UNIQUE);
CREATE TABLE customer (id integer PRIMARY KEY, region integer REFERENCES region (id), name text,
  since date DEFAULT '2020-01-01', vip boolean NOT NULL DEFAULT false);
CREATE INDEX customer_name_idx ON customer (name);
CREATE TABLE product (id serial PRIMARY KEY, code varchar(20) UNIQUE, price numeric(10,2), picture bytea);
CREATE TABLE orders (id bigint PRIMARY KEY, customer integer REFERENCES customer (id) ON DELETE CASCADE,
  placed timestamp, note text);
CREATE INDEX orders_placed_idx ON orders (placed, customer);
CREATE TABLE order_line (order_id bigint REFERENCES orders (id), line integer,
  product integer REFERENCES product (id), qty integer, PRIMARY KEY (order_id, line));
CREATE TABLE nothing (id integer PRIMARY KEY, v text);
CREATE TABLE single (id integer PRIMARY KEY, v double precision);
CREATE TABLE tags (tag text PRIMARY KEY);
CREATE TABLE product_tag (product integer REFERENCES product (id), tag text REFERENCES tags (tag),
  PRIMARY KEY (product, tag));
CREATE TABLE audit (id bigserial PRIMARY KEY, what text, happened timestamp DEFAULT '2024-01-01 00:00');
CREATE TABLE wide (id integer PRIMARY KEY, a text, b text, c text, d integer, e integer);
CREATE TABLE supplier (id integer PRIMARY KEY, parent integer REFERENCES supplier (id), name text);
INSERT INTO region SELECT g, 'region ' || g FROM generate_series(1, 5) g;
INSERT INTO customer SELECT g, 1 + g % 5, 'customer ' || g, DATE '2020-01-01' + g, g % 7 = 0
  FROM generate_series(1, 300) g;
INSERT INTO product (code, price, picture)
  SELECT 'P' || g, g * 1.25, CASE WHEN g % 3 = 0 THEN NULL ELSE decode(md5(g::text), 'hex') END
  FROM generate_series(1, 120) g;
INSERT INTO orders SELECT g, 1 + g % 300, TIMESTAMP '2024-02-29 12:00' + g * INTERVAL '1 hour',
  CASE WHEN g % 4 = 0 THEN NULL ELSE E'tab\there ' || g END FROM generate_series(1, 400) g;
INSERT INTO order_line SELECT 1 + g % 400, g, 1 + g % 120, g % 9 FROM generate_series(1, 700) g;
INSERT INTO single VALUES (1, 0.1);
INSERT INTO tags SELECT 'tag' || g FROM generate_series(1, 30) g;
INSERT INTO product_tag SELECT 1 + g % 120, 'tag' || (1 + g / 120) FROM generate_series(0, 199) g;
INSERT INTO audit (what) SELECT 'did ' || g FROM generate_series(1, 60) g;
INSERT INTO wide SELECT g, repeat('a', g), repeat('b', 100 - g), NULL, g, -g FROM generate_series(1, 40) g;
INSERT INTO supplier SELECT g, CASE WHEN g > 1 THEN g / 2 END, 'supplier ' || g FROM generate_series(1, 25) g;
)sql";

std::string Text(const std::string& database, const std::string& sql) {
  const Value value = Scalar(database, sql);
  return value.IsNull() ? "(null)" : value.AsText();
}

// The database's public tables as the catalogue and the rows tell them, a line each.
std::string Rows(const std::string& database) {
  std::string rows;
  std::unique_ptr<Connection> connection = OpenConnection(database);
  auto tables = connection->OpenRecordset(
      "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public' ORDER BY 1",
      adOpenForwardOnly, adLockReadOnly, adUseClient);
  for (; !tables->Eof(); tables->MoveNext()) {
    const std::string table = tables->GetValue(std::size_t{0}).AsText();
    rows += table + ": " +
            Text(database,
                 "SELECT count(*) || ' ' || md5(coalesce(string_agg(t::text, ';' ORDER BY t::text), "
                 "'')) FROM " +
                     BracketName(table) + " t") +
            "\n";
  }
  return rows;
}
std::string Dump(const std::string& database) {
  return Text(database,
              "SELECT string_agg(table_name || '.' || column_name || ' ' || data_type || ' ' || is_nullable "
              "|| ' ' || coalesce(column_default, ''), E'\\n' ORDER BY table_name, ordinal_position) "
              "FROM information_schema.columns WHERE table_schema = 'public'") +
         "\n" +
         Text(database,
              "SELECT string_agg(conrelid::regclass || ' ' || conname || ' ' || pg_get_constraintdef(oid), "
              "E'\\n' ORDER BY conrelid::regclass::text, conname) FROM pg_constraint "
              "WHERE connamespace = 'public'::regnamespace") +
         "\n" +
         Text(database,
              "SELECT string_agg(indexdef, E'\\n' ORDER BY indexname) FROM pg_indexes "
              "WHERE schemaname = 'public'") +
         "\n" +
         Text(database,
              "SELECT string_agg(sequencename || ' ' || coalesce(last_value, 0), E'\\n' "
              "ORDER BY sequencename) FROM pg_sequences WHERE schemaname = 'public'") +
         "\n" + Rows(database);
}

// Databases and sessions on the server whose name begins with `name`.
std::int64_t Left(const std::string& name) {
  const std::string like = QuoteText(name + "%");
  return Scalar(testing::ServerDatabase("Master"),
                "SELECT (SELECT count(*) FROM pg_database WHERE datname LIKE " + like +
                    ") + (SELECT count(*) FROM pg_stat_activity WHERE datname LIKE " + like + ")")
      .AsInt();
}

class ServerRestoreJobs : public testing::ServerDatabaseTest {
 protected:
  ServerRestoreJobs() : ServerDatabaseTest("jobs_source") {}

  void SetUp() override {
    ServerDatabaseTest::SetUp();
    if (NotSetUp()) return;
    dynamic_cast<postgres::ServerSession&>(*db_).RunServerSql(kShop);
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
    ASSERT_TRUE(backup_.Save(*db_, archive_));
  }

  // Restores the backup with `jobs` into a new database; its connection string. The events are kept.
  std::string RestoreWith(std::int32_t jobs, const std::string& archive) {
    const std::string target = targets_.Add("jobs_target");
    backup_.SetJobs(jobs);
    events_.Clear();
    EXPECT_TRUE(backup_.Restore(target, archive)) << jobs;
    return target;
  }

  testing::TempFolder folder_;
  const std::string archive_ = folder_ / "shop.vbk";
  testing::ServerDatabaseGuard targets_;
  CBackup backup_;
  testing::EventRecorder events_;
};

TEST_F(ServerRestoreJobs, TwoJobsBuildWhatOneBuildsWithTheSameEvents) {
  if (NotSetUp()) return;
  const std::string one = RestoreWith(1, archive_);
  const auto progress = events_.progress;
  const auto lines = events_.lines;
  const std::string two = RestoreWith(2, archive_);
  EXPECT_EQ(events_.progress, progress);
  EXPECT_EQ(events_.lines, lines);
  const std::string dump = Dump(one);
  EXPECT_EQ(Dump(two), dump);
  EXPECT_THAT(dump,
              HasSubstr("order_line order_line_product_fkey FOREIGN KEY (product) REFERENCES product(id)"));
  EXPECT_THAT(dump, HasSubstr("supplier supplier_parent_fkey FOREIGN KEY (parent) REFERENCES supplier(id)"));
  EXPECT_THAT(dump,
              HasSubstr("CREATE INDEX orders_placed_idx ON public.orders USING btree (placed, customer)"));
  // The rows are the source's.
  EXPECT_EQ(Rows(two), Rows(testing::ServerDatabase(database_)));
}

TEST_F(ServerRestoreJobs, ACancelAtAnyEventOfTwoJobsLeavesNothing) {
  if (NotSetUp()) return;
  const std::string target = targets_.Add("jobs_cancel");
  const std::string name = testing::ServerDatabaseName(target);
  backup_.SetJobs(2);
  events_.Clear();
  ASSERT_TRUE(backup_.Restore(target, archive_));
  const int all = events_.Count(testing::EventRecorder::kProgress);
  ASSERT_GT(all, 40);
  maintenance_->Execute("DROP DATABASE " + BracketName(name));
  for (int at = 1; at <= all; ++at) {
    events_.Clear();
    events_.CancelAt(backup_, at);
    const bool restored = backup_.Restore(target, archive_);
    // Only the last event, "restored", comes after the database is in place.
    EXPECT_EQ(restored, at == all) << at;
    if (restored) maintenance_->Execute("DROP DATABASE " + BracketName(name));
    EXPECT_EQ(Left(name), 0) << at;
  }
  events_.then = nullptr;
}

// A damaged data file fails its table with two jobs as with one: the same message, the same line, and the
// database being built is gone.
TEST_F(ServerRestoreJobs, ADamagedTableFailsAsWithOneJob) {
  if (NotSetUp()) return;
  const testing::Members members = testing::ReadArchive(archive_);
  std::string largest;
  for (const auto& [member, bytes] : members)
    if (member != kDocumentMember && member != kModeMember && member != kProviderMember &&
        (largest.empty() || bytes.size() > members.at(largest).size()))
      largest = member;
  ASSERT_FALSE(largest.empty());
  testing::PatchMember(archive_, largest, testing::HeaderField::kCrc, 0x12345678);
  std::vector<std::string> failures;
  for (std::int32_t jobs : {1, 2}) {
    const std::string target = targets_.Add("jobs_damaged");
    backup_.SetJobs(jobs);
    failures.push_back(testing::Failure([&] { backup_.Restore(target, archive_); }).Description());
    EXPECT_EQ(Left(testing::ServerDatabaseName(target)), 0) << jobs;
  }
  EXPECT_THAT(failures[0], HasSubstr("fails its CRC-32 check"));
  EXPECT_EQ(failures[1], failures[0]);
}

// A login the server gives few sessions (its connection limit) restores and saves with the jobs it can
// have: fewer than asked, or none beyond the operation's own connection.
TEST_F(ServerRestoreJobs, ALoginWithFewSessionsWorksWithTheJobsItMayHave) {
  if (NotSetUp()) return;
  // The sessions a restore holds before its jobs: the maintenance database's, to make the new database
  // and put it in place, and the new database's own.
  constexpr int kOwnSessions = 2;
  const std::string login = testing::UniqueServerName("vela_few");
  auto& server = dynamic_cast<postgres::ServerSession&>(*maintenance_);
  server.RunServerSql("CREATE ROLE " + QuoteName(login) + " LOGIN CREATEDB");
  std::vector<std::string> made;
  struct Cleanup {
    std::function<void()> run;
    ~Cleanup() { run(); }
  } cleanup{[&] {
    try {
      for (const std::string& name : made)
        server.RunServerSql("DROP DATABASE IF EXISTS " + QuoteName(name) + " WITH (FORCE)");
      server.RunServerSql("DROP ROLE IF EXISTS " + QuoteName(login));
    } catch (const Error&) {
    }
  }};
  const std::string rows = Rows(testing::ServerDatabase(database_));
  for (int limit : {kOwnSessions, kOwnSessions + 1}) {
    SCOPED_TRACE(limit);
    server.RunServerSql("ALTER ROLE " + QuoteName(login) + " CONNECTION LIMIT " + std::to_string(limit));
    made.push_back(testing::UniqueServerName("jobs_few"));
    const std::string target = testing::ServerDatabase(made.back()) + ";User ID=" + login;
    backup_.SetJobs(4);
    ASSERT_TRUE(backup_.Restore(target, archive_));
    EXPECT_EQ(Rows(target), rows);
    EXPECT_EQ(Text(target, "SELECT current_user"), login);

    const std::string again = folder_ / ("few" + std::to_string(limit) + ".vbk");
    {
      std::unique_ptr<Connection> connection = OpenConnection(target);
      ASSERT_TRUE(backup_.Save(*connection, again));
    }
    const std::string back = targets_.Add("jobs_few_back");
    backup_.SetJobs(1);
    ASSERT_TRUE(backup_.Restore(back, again));
    EXPECT_EQ(Rows(back), rows);
  }
}

// What tables leave to tell comes in the tables' order with two jobs: values a file held that the server
// holds otherwise, named table by table in one notice.
TEST(ServerRestoreJobsNotices, NoticesOfManyTablesComeInTheirOrder) {
  VELA_REQUIRE_SERVER();
  testing::TempFolder folder;
  testing::ServerDatabaseGuard databases;
  const std::string path = folder / "app.db";
  std::string sql = "BEGIN;";
  for (int table = 1; table <= 6; ++table) {
    const std::string name = "t" + std::to_string(table);
    sql += "CREATE TABLE " + name + " (id INTEGER PRIMARY KEY, v TEXT);";
    for (int row = 1; row <= 50 * table; ++row)
      sql += "INSERT INTO " + name + " VALUES (" + std::to_string(row) + ", 'x' || " +
             (row % (table + 1) == 0 ? "char(0)" : "'y'") + ");";
  }
  ASSERT_EQ(testing::Exec(path, sql + "COMMIT;"), "");
  CBackup backup;
  testing::EventRecorder events;
  backup.SetLanguageResources(LanguageResources::English());
  backup.SetEvents(&events);
  ASSERT_TRUE(backup.Save(*OpenConnection(testing::FileDatabase(path)), folder / "app.vbk"));
  std::vector<std::vector<std::string>> heard;
  for (std::int32_t jobs : {1, 2}) {
    backup.SetJobs(jobs);
    events.Clear();
    ASSERT_TRUE(backup.Restore(databases.Add("jobs_notices"), folder / "app.vbk")) << jobs;
    heard.push_back(events.lines);
  }
  EXPECT_EQ(heard[1], heard[0]);
  std::string said;
  for (const std::string& line : heard[0])
    if (line.starts_with(kHeldOtherwiseGuid)) said = line;
  EXPECT_LT(said.find("table t1:"), said.find("table t6:")) << said;
}

}  // namespace
}  // namespace vela
