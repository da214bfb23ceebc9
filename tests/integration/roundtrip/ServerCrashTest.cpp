// The server going away in the middle of a save or a restore, as a power cut would take it: each ends with
// a clear error; the save leaves no backup file, the restore leaves no database under the target's name.
// The tests run a cluster of their own (scripts/pg_cluster.sh), since they stop it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Sample.h"
#include "platform/data/SqlText.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::FileDatabase;
using testing::TempFolder;

class ServerCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    dir_ = "/tmp/vela-pg-crash-" + std::to_string(::getpid());
    port_ = std::to_string(55500 + ::getpid() % 400);
    ASSERT_EQ(Cluster("start"), 0) << "cannot start a cluster of this test's own";
  }
  void TearDown() override {
    if (!dir_.empty()) Cluster("stop");
  }

  int Cluster(const std::string& command) const {
    const std::string line = "VELA_PG_DIR='" + dir_ + "' VELA_PG_PORT=" + port_ +
                             " '" VELA_SOURCE_DIR "/scripts/pg_cluster.sh' " + command + " >/dev/null 2>&1";
    return std::system(line.c_str());
  }
  std::string Database(const std::string& name) const {
    return "Provider=SQLOLEDB.1;Data Source=" + dir_ + "," + port_ + ";Initial Catalog=" + name +
           ";UserID=postgres";
  }

  // Events that stop the server from inside the event whose caption starts with `when`, once; `done` tells
  // whether it happened.
  void CrashAt(testing::EventRecorder& events, const std::string& when, bool& done) const {
    events.then = [this, &events, when, &done](testing::EventRecorder::Kind, std::int32_t*) {
      const std::string& caption = events.progress.empty() ? std::string() : events.progress.back().second;
      if (!done && caption.rfind(when, 0) == 0 && caption.find("(1000/") != std::string::npos) {
        done = true;
        Cluster("crash");
      }
    };
  }

  std::string dir_, port_;
  TempFolder folder_;
};

TEST_F(ServerCrash, ASaveEndsWithAClearErrorAndNoBackupFile) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 20000);
  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  ASSERT_TRUE(backup.Save(*data::OpenConnection(source), folder_ / "file.vbk"));
  const std::string server = Database("crash_save");
  ASSERT_TRUE(backup.Restore(server, folder_ / "file.vbk"));

  testing::EventRecorder crasher;
  bool crashed = false;
  CrashAt(crasher, "Saving the data of Measurements", crashed);
  backup.SetEvents(&crasher);
  const std::string archive = folder_ / "server.vbk";
  try {
    std::unique_ptr<data::Connection> connection = data::OpenConnection(server);
    backup.Save(*connection, archive);
    ADD_FAILURE() << "the save went on without its server";
  } catch (const Error& error) {
    EXPECT_TRUE(crashed);
    EXPECT_EQ(error.Number(), kServerGone) << error.Description();
    EXPECT_NE(error.Description().find("SaveData"), std::string::npos) << error.Description();
  }
  EXPECT_FALSE(std::filesystem::exists(archive));
}

TEST_F(ServerCrash, ARestoreEndsWithAClearErrorAndNothingUnderTheTargetsName) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 20000);
  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  ASSERT_TRUE(backup.Save(*data::OpenConnection(source), folder_ / "file.vbk"));

  testing::EventRecorder crasher;
  bool crashed = false;
  CrashAt(crasher, "Restoring the data of Measurements", crashed);
  backup.SetEvents(&crasher);
  try {
    backup.Restore(Database("crash_restore"), folder_ / "file.vbk");
    ADD_FAILURE() << "the restore went on without its server";
  } catch (const Error& error) {
    EXPECT_TRUE(crashed);
    EXPECT_EQ(error.Number(), kServerGone) << error.Description();
  }
  ASSERT_EQ(Cluster("resume"), 0);
  auto master = data::OpenConnection(Database("Master"));
  auto found = master->OpenRecordset("SELECT COUNT(*) FROM pg_database WHERE datname = 'crash_restore'",
                                     data::adOpenForwardOnly, data::adLockReadOnly, data::adUseServer);
  EXPECT_EQ(found->GetValue(std::size_t{0}).AsInt(), 0);
}

}  // namespace
}  // namespace vela
