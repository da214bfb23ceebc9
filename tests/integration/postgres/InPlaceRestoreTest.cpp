// A restore into a server database the login owns but may not create databases beside: the target's
// contents are replaced in one transaction on the target itself. A restore cancelled from an event and one a
// fault ends leave the old contents exactly as they were; an object of another role in the way is named and
// nothing changes; a target the login neither owns nor may create stays refused as before.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerSession.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/HostRun.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using data::QuoteName;
using ::testing::HasSubstr;
using testing::Scalar;
using testing::ServerDatabase;

void RunSql(const std::string& connectionString, const std::string& sql) {
  std::unique_ptr<data::Connection> connection = data::OpenConnection(connectionString);
  dynamic_cast<data::postgres::ServerSession&>(*connection).RunServerSql(sql);
}

std::string Text(const std::string& connectionString, const std::string& sql) {
  const data::Value value = Scalar(connectionString, sql);
  return value.IsNull() ? "" : value.AsText();
}

// Everything of the public schema, and every row of its tables, as text.
std::string Contents(const std::string& connectionString) {
  std::string contents = Text(connectionString,
                              "SELECT string_agg(c.relname || ':' || c.relkind::text || ':' || "
                              "pg_get_userbyid(c.relowner), ',' ORDER BY c.relname) FROM pg_class c JOIN "
                              "pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'public'");
  contents += "|" + Text(connectionString,
                         "SELECT string_agg(proname, ',' ORDER BY proname) FROM pg_proc p "
                         "JOIN pg_namespace n ON n.oid = p.pronamespace WHERE nspname = "
                         "'public'");
  for (const char* table : {"orders", "lines", "stale"})
    if (Text(connectionString, std::string("SELECT to_regclass('public.") + table + "')::text") != "")
      contents += std::string("|") + table + "=" +
                  Text(connectionString,
                       std::string("SELECT string_agg(t::text, ';' ORDER BY t::text) FROM ") + table + " t");
  return contents;
}

class InPlaceRestore : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    login_ = testing::UniqueServerName("vela_owner");
    RunSql(ServerDatabase("Master"), "CREATE ROLE " + QuoteName(login_) + " LOGIN NOCREATEDB");
    source_ = databases_->Add("inplace_source");
    data::CreateDatabase(source_);
    RunSql(
        source_,
        "CREATE TABLE orders (id integer PRIMARY KEY, note text, amount numeric(10,2), made date);"
        "INSERT INTO orders SELECT g, 'note ' || g || E'\\ttab ''q''', g * 1.25, DATE '2024-01-01' + g "
        "FROM generate_series(1, 300) g;"
        "CREATE TABLE lines (id integer PRIMARY KEY, order_id integer REFERENCES orders(id), data bytea);"
        "INSERT INTO lines SELECT g, 1 + g % 300, decode(md5(g::text), 'hex') FROM generate_series(1, 500) "
        "g;"
        "CREATE VIEW big_orders AS SELECT id FROM orders WHERE amount > 100");
    file_ = folder_ / "shop.vbk";
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetBackupMode(bmCompressedTextFile);
    std::unique_ptr<data::Connection> connection = data::OpenConnection(source_);
    ASSERT_TRUE(backup_.Save(*connection, file_));
    backup_.SetEvents(&events_);

    // The login's own database, made for it, with contents of its own.
    const std::string name = testing::ServerDatabaseName(databases_->Add("vela_owned"));
    RunSql(ServerDatabase("Master"), "CREATE DATABASE " + QuoteName(name) + " OWNER " + QuoteName(login_));
    target_ = ServerDatabase(name) + ";UserID=" + login_;
    RunSql(
        target_,
        "CREATE TABLE orders (id integer PRIMARY KEY, old text); INSERT INTO orders VALUES (1, 'old one'), "
        "(2, 'old two'); CREATE TABLE stale (n integer); INSERT INTO stale VALUES (7); CREATE VIEW "
        "stale_view AS SELECT n FROM stale; CREATE FUNCTION stale_fn() RETURNS int LANGUAGE sql AS 'SELECT "
        "1'");
    old_ = Contents(target_);
  }
  void TearDown() override {
    if (login_.empty()) return;
    databases_.reset();
    try {
      RunSql(ServerDatabase("Master"), "DROP ROLE IF EXISTS " + QuoteName(login_));
    } catch (const Error&) {
    }
  }

  std::int64_t DatabasesLike(const std::string& pattern) {
    return Scalar(ServerDatabase("Master"),
                  "SELECT COUNT(*) FROM pg_database WHERE datname LIKE " + data::QuoteText(pattern))
        .AsInt();
  }

  testing::TempFolder folder_;
  std::unique_ptr<testing::ServerDatabaseGuard> databases_ = std::make_unique<testing::ServerDatabaseGuard>();
  CBackup backup_;
  testing::EventRecorder events_;
  std::string login_, source_, target_, old_;
  std::filesystem::path file_;
};

TEST_F(InPlaceRestore, ACancelOrAFaultLeavesTheOldContentsAndASuccessReplacesThem) {
  // Cancelled from an event once the first table's rows are in and the second's are coming.
  events_.then = [&](testing::EventRecorder::Kind, std::int32_t*) {
    if (!events_.progress.empty() && events_.progress.back().second.find("lines") != std::string::npos)
      backup_.Cancel();
  };
  EXPECT_FALSE(backup_.Restore(target_, file_.string()));
  EXPECT_EQ(backup_.LastOutcome().kind, Outcome::kCancelled);
  EXPECT_EQ(Contents(target_), old_);

  // A fault from the host's event at the same place: the restore fails, the target is as it was.
  events_ = testing::EventRecorder{};
  events_.then = [&](testing::EventRecorder::Kind, std::int32_t*) {
    if (!events_.progress.empty() && events_.progress.back().second.find("lines") != std::string::npos)
      throw Error(kGeneralFailure, "test", "the host broke down");
  };
  EXPECT_THAT(testing::Failure([&] { backup_.Restore(target_, file_.string()); }).Description(),
              HasSubstr("the host broke down"));
  EXPECT_EQ(Contents(target_), old_);

  // Through the host: the old contents go, the backup's come, owned by the login; no database was made.
  events_ = testing::EventRecorder{};
  const testing::Result run = testing::Host(folder_, {"restore", "-c", target_, "-f", file_.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* table : {"orders", "lines"})
    EXPECT_EQ(Text(target_, std::string("SELECT string_agg(t::text, ';' ORDER BY id) FROM ") + table + " t"),
              Text(source_, std::string("SELECT string_agg(t::text, ';' ORDER BY id) FROM ") + table + " t"))
        << table;
  EXPECT_EQ(Text(target_, "SELECT to_regclass('public.stale')::text"), "");
  EXPECT_EQ(Text(target_, "SELECT COUNT(*) FROM pg_proc WHERE proname = 'stale_fn'"), "0");
  EXPECT_EQ(Text(target_, "SELECT COUNT(*) FROM big_orders"), "220");
  EXPECT_EQ(Text(target_, "SELECT tableowner FROM pg_tables WHERE tablename = 'lines'"), login_);
  EXPECT_EQ(Text(target_, "SELECT COUNT(*) FROM pg_constraint WHERE contype = 'f'"), "1");
  EXPECT_EQ(DatabasesLike(testing::ServerDatabaseName(target_) + "_%"), 0);
}

TEST_F(InPlaceRestore, WhatStopsTheReplacingChangesNothing) {
  // Another role's table in the schema the restore replaces: named, nothing changed.
  RunSql(testing::ServerDatabase(testing::ServerDatabaseName(target_)), "CREATE TABLE theirs (n integer)");
  old_ = Contents(target_);
  events_ = testing::EventRecorder{};
  EXPECT_FALSE(backup_.Restore(target_, file_.string()));
  EXPECT_EQ(backup_.LastOutcome().reason, OutcomeReason::kTargetDatabase);
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].guid, kInPlaceBlockedGuid);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("\"public\".\"theirs\""));
  EXPECT_EQ(Contents(target_), old_);

  // A database the login neither owns nor may create is refused as before (message 40).
  const std::string other = databases_->Add("inplace_other");
  data::CreateDatabase(other);
  events_ = testing::EventRecorder{};
  EXPECT_FALSE(backup_.Restore(other + ";UserID=" + login_, file_.string()));
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].guid, kTargetDatabaseGuid);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("cannot be created"));
}

}  // namespace
}  // namespace vela
