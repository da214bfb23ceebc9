// A restored database taking its target's place on the server, and what a restore leaves there: the
// target is never lost to another program's connection, to a step that fails or to a name the server
// would cut short, and the databases aside that a restore which did not finish left behind are removed by
// the next one, never one that is running or that is not the tool's own.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Sample.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/PgApi.h"
#include "platform/data/postgres/ServerProvider.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"

namespace vela::data::postgres {
namespace {

using vela::testing::Failure;
using vela::testing::ServerDatabase;

// A session of another program: this process closes its own connections before a swap, not this one.
class ForeignSession {
 public:
  explicit ForeignSession(const std::string& database) {
    const char* keywords[] = {"dbname", nullptr};
    const char* values[] = {database.c_str(), nullptr};
    conn_ = PQconnectdbParams(keywords, values, 1);
  }
  ~ForeignSession() { PQfinish(conn_); }
  bool Connected() const { return PQstatus(conn_) == CONNECTION_OK; }

 private:
  PGconn* conn_;
};

class ServerSwapTest : public vela::testing::ServerDatabaseTest {
 protected:
  ServerSwapTest() : ServerDatabaseTest("vela_swap") {
    backup_.SetLanguageResources(LanguageResources::English());
  }

  void TearDown() override {
    SetSwapFault({});
    if (maintenance_ != nullptr)
      for (const std::string& like : {database_ + "\\_re%", long_ + "%"})
        for (const std::string& name : Databases(like)) dropAfterwards_.push_back(name);
    ServerDatabaseTest::TearDown();
  }

  // The databases whose names are LIKE the pattern.
  std::vector<std::string> Databases(const std::string& like) {
    std::vector<std::string> names;
    auto rows = maintenance_->OpenRecordset(
        "SELECT datname FROM pg_database WHERE datname LIKE " + QuoteText(like) + " ORDER BY datname",
        adOpenForwardOnly, adLockReadOnly, adUseServer);
    for (; !rows->Eof(); rows->MoveNext()) names.push_back(rows->GetValue(std::size_t{0}).AsText());
    return names;
  }
  std::vector<std::string> Asides() { return Databases(database_ + "\\_restoring\\_%"); }
  std::vector<std::string> Replaced() { return Databases(database_ + "\\_replaced\\_%"); }

  // What a database holds: "old" (the table kept_old), "new" (made_new), "" when it does not exist.
  std::string Holds(const std::string& name) {
    if (Databases(name).empty()) return "";
    std::string tables = vela::testing::Scalar(ServerDatabase(name),
                                               "SELECT string_agg(tablename, ',') FROM pg_tables WHERE "
                                               "tablename IN ('kept_old', 'made_new')")
                             .AsText();
    return tables == "kept_old" ? "old" : tables == "made_new" ? "new" : "?" + tables;
  }

  // A backup of a small file database.
  std::string BackupFile() {
    const std::string source = vela::testing::FileDatabase(folder_ / "source.db");
    cli::MakeSampleDatabase(source, 200);
    const std::string file = folder_ / "sample.vbk";
    EXPECT_TRUE(backup_.Save(*OpenConnection(source), file));
    return file;
  }

  // The target restored from `file` and marked as the old database.
  void RestoreOldTarget(const std::string& file) {
    ASSERT_TRUE(backup_.Restore(ServerDatabase(database_), file));
    OpenConnection(ServerDatabase(database_))->Execute("CREATE TABLE kept_old (x int)");
    ASSERT_EQ(Holds(database_), "old");
  }

  // The one database aside, how many grants of CONNECT to PUBLIC it has, and its comment.
  void InspectAside(std::string& aside, std::string& acl, std::string& comment) {
    ASSERT_EQ(Asides().size(), 1u);
    aside = Asides()[0];
    const std::string where = " FROM pg_database d WHERE d.datname = " + QuoteText(aside);
    acl = vela::testing::Scalar(ServerDatabase("Master"),
                                "SELECT count(*)" + where +
                                    " AND EXISTS (SELECT 1 FROM aclexplode(COALESCE(d.datacl, "
                                    "acldefault('d', d.datdba))) a WHERE a.grantee = 0 AND a.privilege_type "
                                    "= 'CONNECT')")
              .AsText();
    comment = vela::testing::Scalar(ServerDatabase("Master"),
                                    "SELECT shobj_description(oid, 'pg_database')" + where)
                  .AsText();
  }

  CBackup backup_;
  vela::testing::TempFolder folder_;
  std::string long_ = "vela_swap_long_" + std::to_string(::getpid()) + "_";
};

TEST_F(ServerSwapTest, ARestoreKeepsTheTargetWhenAnotherProgramUsesItOrTheDatabaseAside) {
  if (NotSetUp()) return;
  const std::string file = BackupFile();
  RestoreOldTarget(file);
  vela::testing::EventRecorder events;
  backup_.SetEvents(&events);

  // Connected to the target: it cannot be renamed, so it stays.
  {
    ForeignSession user(database_);
    ASSERT_TRUE(user.Connected());
    EXPECT_FALSE(backup_.Restore(ServerDatabase(database_), file));
  }
  EXPECT_EQ(backup_.LastOutcome(), (OperationOutcome{Outcome::kRefused, OutcomeReason::kTargetDatabase}));
  ASSERT_FALSE(events.messages.empty());
  EXPECT_EQ(events.messages.back().guid, kTargetDatabaseGuid);
  EXPECT_EQ(Holds(database_), "old");
  EXPECT_TRUE(Asides().empty());
  EXPECT_TRUE(Replaced().empty());

  // Connected to the database aside (a superuser passes its closed door) when it is to take the name.
  std::unique_ptr<ForeignSession> intruder;
  std::string aside, acl, comment;
  SetSwapFault([&](int step) {
    if (step == 1 && Asides().size() == 1) {
      InspectAside(aside, acl, comment);
      intruder = std::make_unique<ForeignSession>(aside);
    }
    return false;
  });
  EXPECT_FALSE(backup_.Restore(ServerDatabase(database_), file));
  SetSwapFault({});
  ASSERT_FALSE(aside.empty());
  EXPECT_TRUE(intruder->Connected());
  EXPECT_EQ(acl, "0") << "PUBLIC may connect to the database aside";
  EXPECT_EQ(comment, AsideComment(database_));
  EXPECT_EQ(backup_.LastOutcome(), (OperationOutcome{Outcome::kRefused, OutcomeReason::kTargetDatabase}));
  EXPECT_EQ(Holds(database_), "old");
  EXPECT_TRUE(Replaced().empty());

  // The database aside stays while the intruder is there; then the next restore's clean-up takes it.
  const ProviderEntry provider = ServerProviderEntry();
  EXPECT_EQ(Asides(), std::vector<std::string>{aside});
  EXPECT_TRUE(provider.removeLeftovers(ServerDatabase(database_)).empty());
  intruder.reset();
  std::vector<std::string> removed = provider.removeLeftovers(ServerDatabase(database_));
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_NE(removed[0].find(aside), std::string::npos) << removed[0];
  EXPECT_TRUE(Asides().empty());

  // Nobody in the way: the restored database replaces the target, which is open to every login again.
  EXPECT_TRUE(backup_.Restore(ServerDatabase(database_), file));
  EXPECT_NE(Holds(database_), "old");
  EXPECT_TRUE(Asides().empty());
  EXPECT_TRUE(Replaced().empty());
  EXPECT_EQ(
      vela::testing::Scalar(ServerDatabase("Master"),
                            "SELECT CASE WHEN has_database_privilege('public', " + QuoteText(database_) +
                                ", 'CONNECT') AND shobj_description(oid, 'pg_database') IS NULL "
                                "THEN 'open' END FROM pg_database WHERE datname = " +
                                QuoteText(database_))
          .AsText(),
      "open");
}

TEST_F(ServerSwapTest, TheServersOwnRestoreBuildsItsDatabaseAsidePrivateAndMarked) {
  if (NotSetUp()) return;
  db_->Execute("CREATE TABLE kept_old (x int)");
  db_.reset();
  backup_.SetBackupMode(bmDirectCopy);
  const std::string file = folder_ / "copy.vbk";
  ASSERT_TRUE(backup_.Save(*OpenConnection(ServerDatabase(database_)), file));
  std::string aside, acl, comment;
  SetSwapFault([&](int step) {
    if (step == 1) InspectAside(aside, acl, comment);
    return false;
  });
  EXPECT_TRUE(backup_.Restore(ServerDatabase(database_), file));
  SetSwapFault({});
  EXPECT_EQ(acl, "0") << "PUBLIC may connect to the database aside " << aside;
  EXPECT_EQ(comment, AsideComment(database_));
  EXPECT_EQ(Holds(database_), "old");
  EXPECT_TRUE(Asides().empty());
}

// Every step of the swap failing in turn, once alone and once with every step after it: the target's
// name holds the old or the new database, neither is lost, and the error says where each one is.
TEST_F(ServerSwapTest, AFailingStepOfTheSwapLosesNeitherDatabaseAndSaysWhereEachIs) {
  if (NotSetUp()) return;
  const std::string target = ServerDatabase(database_);
  for (bool following : {false, true}) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 10) << "the swap never completes";
      SCOPED_TRACE("step " + std::to_string(n) + (following ? " and those after it" : " alone"));
      for (const std::string& name : Databases(database_ + "\\_re%")) DropDatabase(ServerDatabase(name));
      DropDatabase(target);
      maintenance_->Execute("CREATE DATABASE " + BracketName(database_));
      OpenConnection(target)->Execute("CREATE TABLE kept_old (x int)");
      const std::string aside = AsideConnectionString(target);
      const std::string asideName = vela::testing::ServerDatabaseName(aside);
      maintenance_->Execute("CREATE DATABASE " + BracketName(asideName));
      OpenConnection(aside)->Execute("CREATE TABLE made_new (x int)");

      SetSwapFault([&](int step) { return following ? step >= n : step == n; });
      std::optional<Error> failed;
      try {
        PutDatabaseInPlace(aside, target);
      } catch (const Error& error) {
        failed = error;
      }
      SetSwapFault({});
      const std::vector<std::string> replaced = Replaced();
      if (!failed) {
        EXPECT_EQ(Holds(database_), "new");
        EXPECT_TRUE(Asides().empty());
        EXPECT_TRUE(replaced.empty());
        break;
      }
      const std::string& said = failed->Description();
      // Each database is under the target's name or under one the error names.
      const std::string holds = Holds(database_);
      ASSERT_TRUE(holds == "old" || holds == "new" || holds.empty()) << holds;
      if (holds != "old") {
        ASSERT_EQ(replaced.size(), 1u);
        EXPECT_EQ(Holds(replaced[0]), "old");
        EXPECT_NE(said.find(replaced[0]), std::string::npos) << said;
      } else {
        EXPECT_TRUE(replaced.empty());
        EXPECT_NE(said.find("was kept as it was"), std::string::npos) << said;
      }
      if (holds != "new") {
        EXPECT_EQ(Holds(asideName), "new");
        EXPECT_NE(said.find(asideName), std::string::npos) << said;
      }
      // The target's name with its old database, and only then, is a refusal.
      EXPECT_EQ(failed->Number(), holds == "old" ? kCommandError : kGeneralFailure) << said;
    }
  }
}

TEST_F(ServerSwapTest, ARestoreThatLeavesTheTargetsNameFreeSaysSoInsteadOfAClosingLine) {
  if (NotSetUp()) return;
  const std::string file = BackupFile();
  RestoreOldTarget(file);
  SetSwapFault([](int step) { return step >= 2; });
  Error error = Failure([&] { backup_.Restore(ServerDatabase(database_), file); });
  SetSwapFault({});
  EXPECT_EQ(backup_.LastOutcome().kind, Outcome::kFailed);
  EXPECT_EQ(Holds(database_), "");
  ASSERT_EQ(Replaced().size(), 1u);
  ASSERT_EQ(Asides().size(), 1u);
  EXPECT_EQ(Holds(Replaced()[0]), "old");
  EXPECT_NE(error.Description().find(Replaced()[0]), std::string::npos) << error.Description();
  EXPECT_NE(error.Description().find(Asides()[0]), std::string::npos) << error.Description();
}

TEST_F(ServerSwapTest, ANameTheServerWouldCutShortIsRefusedAndAnAsideNameIsCutToFit) {
  if (NotSetUp()) return;
  const std::string file = BackupFile();
  std::string prefix = long_;
  prefix.resize(63, 'x');
  maintenance_->Execute("CREATE DATABASE " + BracketName(prefix));
  OpenConnection(ServerDatabase(prefix))->Execute("CREATE TABLE kept_old (x int)");

  const std::string longer = prefix + "y";
  Error refused = Failure([&] { backup_.Restore(ServerDatabase(longer), file); });
  EXPECT_NE(refused.Description().find("\"" + longer + "\""), std::string::npos) << refused.Description();
  EXPECT_EQ(Holds(prefix), "old");
  EXPECT_EQ(Databases(long_ + "%"), std::vector<std::string>{prefix});
  for (auto use : std::vector<std::function<void()>>{[&] { OpenConnection(ServerDatabase(longer)); },
                                                     [&] { CreateDatabase(ServerDatabase(longer)); },
                                                     [&] { DropDatabase(ServerDatabase(longer)); }}) {
    Error error = Failure(use);
    EXPECT_EQ(error.Number(), kCommandError);
    EXPECT_NE(error.Description().find("\"" + longer + "\""), std::string::npos) << error.Description();
  }
  EXPECT_EQ(Holds(prefix), "old");

  // A target of the full length, of two-byte characters: the names beside it are cut at a character.
  std::string wide = long_;
  while (wide.size() + 2 <= 63) wide += "\xC3\xA9";
  ASSERT_TRUE(backup_.Restore(ServerDatabase(wide), file));
  RestoreOldTarget(file);  // the fixture's own target, for a replace
  ASSERT_TRUE(backup_.Restore(ServerDatabase(wide), file));
  EXPECT_EQ(vela::testing::Scalar(ServerDatabase(wide), "SELECT current_database()").AsText(), wide);
  EXPECT_EQ(Databases(long_ + "%").size(), 2u);
}

// A restore killed after it made its database aside: the next one removes what it left, and only that.
TEST_F(ServerSwapTest, TheNextRestoreRemovesTheAsideOfOneThatWasKilledAndNothingElse) {
  if (NotSetUp()) return;
  const std::string target = ServerDatabase(database_);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The restore's first steps, in a process of its own that is then killed.
    ::close(ready[0]);
    try {
      const std::string aside = AsideConnectionString(target);
      auto master = OpenConnection(MaintenanceConnectionString(target));
      master->Execute("CREATE DATABASE " + BracketName(vela::testing::ServerDatabaseName(aside)));
      auto restoring = OpenConnection(aside);
      restoring->Execute("CREATE TABLE made_new (x int)");
      (void)!::write(ready[1], "1", 1);
    } catch (...) {
      (void)!::write(ready[1], "0", 1);
    }
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char made = 0;
  ASSERT_EQ(::read(ready[0], &made, 1), 1);
  ::close(ready[0]);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_EQ(made, '1');
  const std::vector<std::string> killed = Asides();
  ASSERT_EQ(killed.size(), 1u);

  // One of this process's, running; one made by hand with a similar name; one carrying the mark under
  // another name.
  const std::string running = AsideConnectionString(target);
  maintenance_->Execute("CREATE DATABASE " + BracketName(vela::testing::ServerDatabaseName(running)));
  const std::string unmarked = database_ + "_restoring_0badf00d";
  maintenance_->Execute("CREATE DATABASE " + BracketName(unmarked));
  const std::string elsewhere = database_ + "_other";
  dropAfterwards_.push_back(elsewhere);
  maintenance_->Execute("CREATE DATABASE " + BracketName(elsewhere));
  maintenance_->Execute("COMMENT ON DATABASE " + BracketName(elsewhere) + " IS " +
                        QuoteText(AsideComment(database_)));

  std::vector<std::string> removed;
  // The server's lock of a killed session goes when the server notices the session is gone.
  for (int attempt = 0; attempt < 100 && removed.empty(); ++attempt) {
    if (attempt > 0) ::usleep(50000);
    removed = ServerProviderEntry().removeLeftovers(target);
  }
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_NE(removed[0].find("\"" + killed[0] + "\""), std::string::npos) << removed[0];
  std::vector<std::string> left = Asides();
  std::vector<std::string> expected{unmarked, vela::testing::ServerDatabaseName(running)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  EXPECT_EQ(Databases(elsewhere).size(), 1u);
  DropDatabase(running);
}

// The server gone from under a session: the error keeps the lines of libpq's message, without their indent.
TEST_F(ServerSwapTest, ALostConnectionsErrorKeepsItsLines) {
  if (NotSetUp()) return;
  const char* keywords[] = {"dbname", nullptr};
  const char* values[] = {database_.c_str(), nullptr};
  ConnHandle conn{PQconnectdbParams(keywords, values, 0)};
  ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK);
  ::shutdown(PQsocket(conn.get()), SHUT_RDWR);
  ResultHandle result{PQexec(conn.get(), "SELECT 1")};
  ASSERT_NE(PQresultStatus(result.get()), PGRES_TUPLES_OK);
  Error lost = Failure([&] { ThrowResultError(result.get(), conn.get(), "SELECT 1", false); });
  EXPECT_EQ(lost.Number(), kServerGone) << lost.Description();
  EXPECT_NE(lost.Description().find('\n'), std::string::npos) << lost.Description();
  EXPECT_EQ(lost.Description().find('\t'), std::string::npos) << lost.Description();
}

}  // namespace
}  // namespace vela::data::postgres
