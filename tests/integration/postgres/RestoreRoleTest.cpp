// A server restore under a role: the code a backup carries runs with the role's rights, not the login's.
// A direct copy whose materialized view calls a function running an operating-system command
// (COPY ... TO PROGRAM) runs it when restored by a superuser, and fails under a role that may not;
// a text restore under a role leaves what it makes owned by the role; a role that cannot be taken is
// refused before anything is made. The listing of a backup's code names what a restore would run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerSession.h"
#include "support/Failure.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Failure;
using ::testing::HasSubstr;
using testing::Scalar;
using testing::ServerDatabaseName;

// Runs PostgreSQL's own statements on a database, as they stand.
void RunSql(const std::string& connectionString, const std::string& sql) {
  std::unique_ptr<Connection> connection = OpenConnection(connectionString);
  dynamic_cast<postgres::ServerSession&>(*connection).RunServerSql(sql);
}

std::string Text(const std::string& connectionString, const std::string& sql) {
  return Scalar(connectionString, sql).AsText();
}

class RestoreRole : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    // The server's backup folder goes under this test's folder, not the user's home.
    ::setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);
    role_ = testing::UniqueServerName("vela_restorer");
    // A role without superuser, without the right to make databases or run programs, that cannot log in.
    RunSql(testing::ServerDatabase("Master"), "CREATE ROLE " + QuoteName(role_) + " NOLOGIN");
    backup_.SetLanguageResources(LanguageResources::English());
  }
  void TearDown() override {
    ::unsetenv("XDG_STATE_HOME");
    if (role_.empty()) return;
    databases_.reset();
    for (const std::string& role : {login_, role_}) {
      if (role.empty()) continue;
      try {
        RunSql(testing::ServerDatabase("Master"), "DROP ROLE IF EXISTS " + QuoteName(role));
      } catch (const Error&) {
      }
    }
  }

  bool Save(const std::string& connectionString, const std::string& file, BackupModeEnum mode) {
    backup_.SetBackupMode(mode);
    std::unique_ptr<Connection> connection = OpenConnection(connectionString);
    return backup_.Save(*connection, file);
  }

  static std::int64_t AsideLeft(const std::string& target) {
    return Scalar(testing::ServerDatabase("Master"),
                  "SELECT COUNT(*) FROM pg_database WHERE datname LIKE " +
                      QuoteText(ServerDatabaseName(target) + "_restoring_%"))
        .AsInt();
  }

  testing::TempFolder folder_;
  std::unique_ptr<testing::ServerDatabaseGuard> databases_ = std::make_unique<testing::ServerDatabaseGuard>();
  CBackup backup_;
  std::string role_;
  std::string login_;
};

TEST_F(RestoreRole, ADirectCopysProgramRunsForTheSuperuserAndNotUnderARole) {
  // The server's own user writes the marker, where it may: the temporary folder every user shares (the
  // tests' own temporary folder is private to them).
  const std::filesystem::path marker = "/tmp/vela-program-ran-" + std::to_string(::getpid());
  std::filesystem::remove(marker);
  const std::string source = databases_->Add("role_source");
  CreateDatabase(source);
  RunSql(source,
         "CREATE FUNCTION public.run_program() RETURNS integer LANGUAGE plpgsql AS $$ BEGIN "
         "EXECUTE 'COPY (SELECT 1) TO PROGRAM ' || quote_literal('touch " +
             marker.string() +
             "'); RETURN 1; END $$; "
             "CREATE MATERIALIZED VIEW public.filled AS SELECT public.run_program() AS x; "
             "CREATE TABLE public.t (n integer); CREATE INDEX t_twice ON public.t ((n * 2))");
  ASSERT_TRUE(std::filesystem::remove(marker));  // made by the view's first filling
  const std::filesystem::path file = folder_ / "program.vbk";
  ASSERT_TRUE(Save(source, file, bmDirectCopy));

  // The listing names what the copy would run, without a database.
  BackupCodeList code = ListBackupCode(file);
  EXPECT_EQ(code.unlisted, "");
  std::vector<std::string> listed;
  for (const BackupCode& object : code.objects) listed.push_back(object.kind + " " + object.name);
  EXPECT_THAT(listed,
              ::testing::UnorderedElementsAre("function public.run_program()",
                                              "materialized view public.filled", "index public.t_twice"));

  // Under the role the view's filling refuses to run the program: the restore fails, nothing is left.
  const std::string target = databases_->Add("role_target");
  backup_.SetRestoreRole(role_);
  Error refused = Failure([&] { backup_.Restore(target, file.string()); });
  EXPECT_THAT(refused.Description(), HasSubstr("pg_restore"));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(AsideLeft(target), 0);
  EXPECT_EQ(Scalar(testing::ServerDatabase("Master"), "SELECT COUNT(*) FROM pg_database WHERE datname = " +
                                                          QuoteText(ServerDatabaseName(target)))
                .AsInt(),
            0);

  // The login, a superuser, runs it: what pg_restore does with a copy it trusts.
  backup_.SetRestoreRole({});
  ASSERT_TRUE(backup_.Restore(target, file.string()));
  EXPECT_TRUE(std::filesystem::remove(marker));
}

TEST_F(RestoreRole, ATextRestoreUnderARoleLeavesWhatItMakesOwnedByTheRole) {
  const std::string source = databases_->Add("role_text");
  CreateDatabase(source);
  RunSql(source,
         "CREATE TABLE \"Orders\" (id integer PRIMARY KEY, note text); "
         "INSERT INTO \"Orders\" VALUES (1, 'one'), (2, 'two')");
  const std::filesystem::path file = folder_ / "text.vbk";
  ASSERT_TRUE(Save(source, file, bmCompressedTextFile));

  const std::string target = databases_->Add("role_text_target");
  backup_.SetRestoreRole(role_);
  ASSERT_TRUE(backup_.Restore(target, file.string()));
  EXPECT_EQ(Text(target, "SELECT tableowner FROM pg_tables WHERE tablename = 'Orders'"), role_);
  EXPECT_EQ(
      Text(target, "SELECT pg_get_userbyid(datdba) FROM pg_database WHERE datname = current_database()"),
      role_);
  EXPECT_EQ(Scalar(target, "SELECT COUNT(*) FROM \"Orders\"").AsInt(), 2);
}

TEST_F(RestoreRole, ARoleThatCannotBeTakenIsRefusedBeforeAnythingIsMade) {
  const std::string source = databases_->Add("role_refused");
  CreateDatabase(source);
  RunSql(source, "CREATE TABLE t (n integer)");
  const std::filesystem::path file = folder_ / "refused.vbk";
  ASSERT_TRUE(Save(source, file, bmCompressedTextFile));
  const std::string target = databases_->Add("role_refused_target");

  backup_.SetRestoreRole("no_such_role_" + std::to_string(::getpid()));
  Error unknown = Failure([&] { backup_.Restore(target, file.string()); });
  EXPECT_THAT(unknown.Description(), HasSubstr("no_such_role_"));
  EXPECT_THAT(unknown.Description(), HasSubstr("does not exist"));
  EXPECT_EQ(AsideLeft(target), 0);

  // A login that is no member of the role may not become it.
  login_ = testing::UniqueServerName("vela_login");
  RunSql(testing::ServerDatabase("Master"), "CREATE ROLE " + QuoteName(login_) + " LOGIN CREATEDB");
  backup_.SetRestoreRole(role_);
  Error notMember = Failure([&] { backup_.Restore(target + ";UserID=" + login_, file.string()); });
  EXPECT_THAT(notMember.Description(), HasSubstr(role_));
  EXPECT_THAT(notMember.Description(), HasSubstr("permission denied"));
  EXPECT_EQ(AsideLeft(target), 0);

  // A file database has no roles.
  Error file_ = Failure([&] {
    backup_.Restore("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + (folder_ / "f.db"), file.string());
  });
  EXPECT_EQ(file_.Number(), kInvalidArgument);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "f.db"));
}

}  // namespace
}  // namespace vela
