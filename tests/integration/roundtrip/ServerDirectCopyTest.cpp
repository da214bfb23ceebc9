// Direct copies of server databases: the server's own backup (pg_dump) packed into the backup file and
// handed back to the server (pg_restore) into a new database that takes the target's place. Progress comes
// from the tools with the native captions; a copy of one engine is refused by the other; a cancel or a
// failing tool leaves the target as it was and nothing behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "Sample.h"
#include "archive/Archive.h"
#include "platform/data/SqlText.h"
#include "platform/utils/KeyValue.h"
#include "support/Databases.h"
#include "support/Describe.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Describe;
using testing::DescriptionDifference;
using testing::FileDatabase;
using ::testing::HasSubstr;
using testing::ServerDatabaseName;
using ::testing::StartsWith;
using testing::TempFolder;

constexpr const char* kSaveCaption = "Backing up the database on the server...";
constexpr const char* kRestoreCaption = "Restoring the database on the server...";

std::int64_t Count(const std::string& connectionString, const std::string& sql) {
  return testing::Scalar(connectionString, sql).AsInt();
}

class ServerDirectCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    // The server's backup folder goes under this test's folder, not the user's home.
    previousState_ = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    ::setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
  }
  void TearDown() override {
    if (previousState_.empty())
      ::unsetenv("XDG_STATE_HOME");
    else
      ::setenv("XDG_STATE_HOME", previousState_.c_str(), 1);
    ::unsetenv("VELA_PG_BINDIR");
  }

  std::filesystem::path ServerFolder() const {
    return folder_.path() / "state" / "velabackup" / "server-backups";
  }

  // A server database holding the sample, made through a text backup of the file sample.
  std::string SampleOnServer(const std::string& prefix, int rows) {
    const std::string file = FileDatabase(folder_ / (prefix + ".db"));
    cli::MakeSampleDatabase(file, rows);
    const std::string server = databases_.Add(prefix);
    CBackup text;
    text.SetLanguageResources(LanguageResources::English());
    std::unique_ptr<Connection> connection = OpenConnection(file);
    EXPECT_TRUE(text.Save(*connection, folder_ / (prefix + ".vbk")));
    EXPECT_TRUE(text.Restore(server, folder_ / (prefix + ".vbk"), true));
    return server;
  }

  bool Save(const std::string& connectionString, const std::string& file) {
    backup_.SetBackupMode(bmDirectCopy);
    std::unique_ptr<Connection> connection = OpenConnection(connectionString);
    return backup_.Save(*connection, file);
  }

  // How many databases built aside for `target` are still on the server.
  static std::int64_t AsideLeft(const std::string& target) {
    return Count(testing::ServerDatabase("Master"),
                 "SELECT COUNT(*) FROM pg_database WHERE datname LIKE " +
                     QuoteText(ServerDatabaseName(target) + "_restoring_%"));
  }

  TempFolder folder_;
  testing::ServerDatabaseGuard databases_;
  CBackup backup_;
  testing::EventRecorder events_;

  // Tools of PostgreSQL 9.6, older than any server the tests run: named in VELA_PG_BINDIR until the end.
  void UseOldTools() {
    std::filesystem::create_directories(folder_ / "old");
    for (const char* tool : {"pg_dump", "pg_restore"}) {
      std::ofstream script(folder_.path() / "old" / tool);
      script << "#!/bin/sh\necho '" << tool << " (PostgreSQL) 9.6.24'\n";
      script.close();
      std::filesystem::permissions(folder_.path() / "old" / tool, std::filesystem::perms::owner_all);
    }
    ::setenv("VELA_PG_BINDIR", (folder_ / "old").c_str(), 1);
  }

  // Cancels the operation at the first progress under `caption` at `above` percent or more.
  void CancelOn(const std::string& caption, std::int32_t above) {
    events_.then = [this, caption, above](testing::EventRecorder::Kind, std::int32_t*) {
      if (!events_.progress.empty() && events_.progress.back().second == caption &&
          events_.progress.back().first >= above)
        backup_.Cancel();
    };
  }
  std::string previousState_;
};

TEST_F(ServerDirectCopy, ARestoredCopyEqualsItsSourceAndProgressRisesUnderTheNativeCaptions) {
  const std::string source = SampleOnServer("dc_source", 300);
  ASSERT_TRUE(Save(source, folder_ / "direct.vbk"));
  // The server's backup stays in its folder, private to the user.
  struct stat st {};
  ASSERT_EQ(::stat(ServerFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::exists(ServerFolder() / "TempBackup.bak"));
  std::vector<std::int32_t> saving = events_.Under(kSaveCaption);
  ASSERT_GE(saving.size(), 3u);
  EXPECT_EQ(saving.front(), 0);
  EXPECT_EQ(saving.back(), 100);
  EXPECT_TRUE(std::is_sorted(saving.begin(), saving.end()));

  // Into a new database, and over an existing one with a table of its own.
  const std::string fresh = databases_.Add("dc_fresh");
  ASSERT_TRUE(backup_.Restore(fresh, folder_ / "direct.vbk"));
  EXPECT_EQ(DescriptionDifference(Describe(source), Describe(fresh)), "");
  std::vector<std::int32_t> restoring = events_.Under(kRestoreCaption);
  ASSERT_GE(restoring.size(), 3u);
  EXPECT_EQ(restoring.back(), 100);
  EXPECT_TRUE(std::is_sorted(restoring.begin(), restoring.end()));
  EXPECT_FALSE(std::filesystem::exists(ServerFolder() / "TempRestore.bak"));
  EXPECT_EQ(events_.progress.back().second, "Restore complete.");

  const std::string existing = databases_.Add("dc_existing");
  CreateDatabase(existing);
  OpenConnection(existing)->Execute("CREATE TABLE [Stale] ([x] integer)");
  ASSERT_TRUE(backup_.Restore(existing, folder_ / "direct.vbk"));
  EXPECT_EQ(DescriptionDifference(Describe(source), Describe(existing)), "");
  EXPECT_EQ(Count(existing, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Stale'"), 0);
  EXPECT_EQ(AsideLeft(existing), 0);
  // Identity columns go on above the restored rows.
  OpenConnection(existing)->Execute("INSERT INTO [Measurements] ([Label]) VALUES ('New')");
  EXPECT_EQ(Count(existing, "SELECT MAX([ID]) FROM [Measurements]"), 301);
}

// The login's password reaches the tools through their environment only: no file of the save or the
// restore holds it.
TEST_F(ServerDirectCopy, ThePasswordLandsInNoFile) {
  const std::string password = "Pw-4c9e1f-never-written";
  const std::string source = SampleOnServer("dc_password", 10) + ";Password=" + password;
  ASSERT_TRUE(Save(source, folder_ / "direct.vbk"));
  const std::string target = databases_.Add("dc_password_target") + ";Password=" + password;
  ASSERT_TRUE(backup_.Restore(target, folder_ / "direct.vbk"));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.path())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find(password), std::string::npos) << entry.path();
  }
}

TEST_F(ServerDirectCopy, ACopyOfOneEngineIsRefusedByTheOtherAndChangesNothing) {
  const std::string server = SampleOnServer("dc_engines", 20);
  ASSERT_TRUE(Save(server, folder_ / "server.vbk"));
  const std::string file = FileDatabase(folder_ / "file.db");
  cli::MakeSampleDatabase(file, 20);
  ASSERT_TRUE(Save(file, folder_ / "file.vbk"));

  const std::string mismatch = "{8BC958C2-ECAB-4A9B-9E75-23350D555F20} 64 ";
  events_.lines.clear();
  EXPECT_FALSE(backup_.Restore(file, folder_ / "server.vbk"));
  EXPECT_FALSE(backup_.Restore(server, folder_ / "file.vbk"));
  ASSERT_EQ(events_.lines.size(), 2u);
  for (const std::string& message : events_.lines) EXPECT_THAT(message, StartsWith(mismatch));
  EXPECT_EQ(Count(file, "SELECT COUNT(*) FROM [Measurements]"), 20);
  EXPECT_EQ(Count(server, "SELECT COUNT(*) FROM [Measurements]"), 20);
  EXPECT_EQ(AsideLeft(server), 0);
}

// The server's tools reach it at any address; only tools that cannot serve it (older than the server here)
// bring the save's question, whose Yes makes a text backup, and the restore's refusal.
TEST_F(ServerDirectCopy, ToolsReachTheServerAtAnAddressAndOnlyUnsuitableToolsAreQuestioned) {
  const std::string source = SampleOnServer("dc_address", 25);
  auto at = [](const std::string& connectionString, const std::string& host) {
    return utils::SetKeyValue(connectionString, "Data Source", host + "," + testing::Env("PGPORT"), ";");
  };
  ASSERT_TRUE(Save(at(source, "127.0.0.1"), folder_ / "direct.vbk"));
  EXPECT_TRUE(events_.lines.empty()) << events_.lines[0];
  EXPECT_EQ(InspectBackup(folder_ / "direct.vbk").mode, bmDirectCopy);
  const std::string copy = databases_.Add("dc_address_copy");
  ASSERT_TRUE(backup_.Restore(at(copy, "localhost"), folder_ / "direct.vbk"));
  EXPECT_EQ(DescriptionDifference(Describe(source), Describe(copy)), "");

  UseOldTools();
  events_.answers[kRemoteDirectCopyGuid] = kAnswerNo;
  EXPECT_FALSE(Save(at(source, "127.0.0.1"), folder_ / "refused.vbk"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "refused.vbk"));
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].buttons, 36);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("pg_dump 9.6.24"));
  events_.answers[kRemoteDirectCopyGuid] = kAnswerYes;
  ASSERT_TRUE(Save(at(source, "127.0.0.1"), folder_ / "text.vbk"));
  EXPECT_EQ(InspectBackup(folder_ / "text.vbk").mode, bmCompressedTextFile);

  events_.lines.clear();
  const std::string target = databases_.Add("dc_address_target");
  EXPECT_FALSE(backup_.Restore(at(target, "localhost"), folder_ / "direct.vbk"));
  ASSERT_EQ(events_.lines.size(), 1u);
  EXPECT_THAT(events_.lines[0], StartsWith(std::string(kServerRestoreGuid) + " 64 "));
  EXPECT_THAT(events_.lines[0], HasSubstr("pg_restore 9.6.24"));
}

// A cancel while the server restores stops its tool: the target stays as it was and the database that was
// being built goes.
TEST_F(ServerDirectCopy, ACancelledNativeRestoreLeavesTheTargetAndNothingAside) {
  const std::string source = SampleOnServer("dc_cancel", 200);
  ASSERT_TRUE(Save(source, folder_ / "direct.vbk"));
  const std::string target = databases_.Add("dc_target");
  CreateDatabase(target);
  OpenConnection(target)->Execute("CREATE TABLE [Mine] ([Keep] integer)");
  for (std::int32_t above : {0, 1, 50}) {
    events_.progress.clear();
    CancelOn(kRestoreCaption, above);
    EXPECT_FALSE(backup_.Restore(target, folder_ / "direct.vbk")) << above;
    EXPECT_EQ(events_.progress.back(), std::make_pair(100, std::string("The restore was cancelled.")))
        << above;
    EXPECT_EQ(Count(target, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Mine'"), 1) << above;
    EXPECT_EQ(AsideLeft(target), 0) << above;
    EXPECT_FALSE(std::filesystem::exists(ServerFolder() / "TempRestore.bak")) << above;
  }
  // A cancel while the server backs up ends the save as cancelled, with no backup file.
  events_.progress.clear();
  CancelOn(kSaveCaption, 0);
  EXPECT_FALSE(Save(source, folder_ / "cancelled.vbk"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "cancelled.vbk"));
  EXPECT_EQ(events_.progress.back().second, "The backup was cancelled.");
}

TEST_F(ServerDirectCopy, AFailingToolGivesItsStatusAndMessageAndLeavesNothingBehind) {
  ObjectState state(nullptr);
  state.events = &events_;
  Operation operation = state.MakeOperation();
  Archive archive(operation);
  // A database the server does not have.
  try {
    archive.SaveSQLDatabaseToFile(testing::ServerDatabase("dc_missing_database"), folder_ / "native");
    ADD_FAILURE() << "a backup of a missing database succeeded";
  } catch (const Error& error) {
    EXPECT_THAT(error.Description(), HasSubstr("\"dc_missing_database\" does not exist"));
    EXPECT_THAT(error.Description(), HasSubstr("SaveSQLDatabaseToFile component failure"));
  }
  // A native backup that is no backup: the restore fails, the target stays, nothing is left aside.
  const std::string target = databases_.Add("dc_bad");
  CreateDatabase(target);
  OpenConnection(target)->Execute("CREATE TABLE [Mine] ([Keep] integer)");
  std::ofstream(folder_ / "garbage") << "not a backup";
  try {
    archive.RestoreSQLBackupFromFile(AsideConnectionString(target), folder_ / "garbage");
    ADD_FAILURE() << "garbage was restored";
  } catch (const Error& error) {
    EXPECT_THAT(error.Description(), HasSubstr("pg_restore ended with status 1"));
  }
  EXPECT_FALSE(std::filesystem::exists(ServerFolder() / "TempRestore.bak"));
  EXPECT_EQ(AsideLeft(target), 0);
  EXPECT_EQ(Count(target, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Mine'"), 1);

  // Tools older than the server: a clear error naming both versions, before anything runs.
  UseOldTools();
  try {
    archive.SaveSQLDatabaseToFile(target, folder_ / "native");
    ADD_FAILURE() << "old tools were used";
  } catch (const Error& error) {
    EXPECT_THAT(error.Description(), HasSubstr("pg_dump 9.6.24"));
    EXPECT_THAT(error.Description(), ::testing::ContainsRegex("PostgreSQL 1[0-9]"));
  }
}

}  // namespace
}  // namespace vela
