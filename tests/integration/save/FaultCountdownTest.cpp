// Every write and every rename of a save and of a restore failing in turn, as a full disk would: each run
// ends with a clear error, the earlier backup or the existing target stays whole, and nothing half-made is
// left beside them. The run after the last fault point succeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "Sample.h"
#include "platform/utils/FileDescriptor.h"
#include "support/Databases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::FileDatabase;
using testing::TempFolder;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> Names(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Runs `operation` with the nth write or rename failing, for n = 1, 2, ... until it runs without meeting
// its fault; `check` looks at each failed run. Returns how many fault points there were.
template <class Operation, class Check>
long EveryFault(Operation&& operation, Check&& check) {
  for (long n = 1;; ++n) {
    utils::FailNthWrite(n);
    std::optional<Error> failed;
    bool result = false;
    try {
      result = operation();
    } catch (const Error& error) {
      failed = error;
    }
    const long counted = utils::WritesCounted();
    utils::FailNthWrite(0);
    if (counted < n) {
      EXPECT_TRUE(result) << "the run without a fault";
      EXPECT_FALSE(failed) << failed->Description();
      return n - 1;
    }
    SCOPED_TRACE("write or rename " + std::to_string(n) + " fails");
    EXPECT_FALSE(result);
    if (failed) {
      EXPECT_TRUE(failed->Number() == kPathAccess || failed->Number() == kDiskFull) << failed->Description();
      EXPECT_FALSE(failed->Description().empty());
    }
    check();
    if (n > 10000) {
      ADD_FAILURE() << "no end to the fault points";
      return n;
    }
  }
}

TEST(FaultCountdown, ASaveThatCannotWriteKeepsTheEarlierBackup) {
  TempFolder folder;
  const std::string source = FileDatabase(folder / "source.db");
  cli::MakeSampleDatabase(source, 300);
  const std::filesystem::path archive = folder.path() / "backup.vbk";
  { std::ofstream(archive) << "earlier backup"; }
  const std::set<std::string> before = Names(folder.path());
  std::unique_ptr<data::Connection> connection = data::OpenConnection(source);
  const long points = EveryFault(
      [&] {
        CBackup backup;
        backup.SetLanguageResources(LanguageResources::English());
        return backup.Save(*connection, archive.string());
      },
      [&] {
        EXPECT_EQ(ReadFile(archive), "earlier backup");
        EXPECT_EQ(Names(folder.path()), before);
      });
  EXPECT_GT(points, 5);
  EXPECT_NE(ReadFile(archive), "earlier backup");
  std::cout << "save: " << points << " fault points, each clean\n";
}

TEST(FaultCountdown, ARestoreThatCannotWriteKeepsTheTarget) {
  TempFolder folder;
  const std::string source = FileDatabase(folder / "source.db");
  cli::MakeSampleDatabase(source, 300);
  const std::string archive = folder / "backup.vbk";
  {
    std::unique_ptr<data::Connection> connection = data::OpenConnection(source);
    CBackup backup;
    backup.SetLanguageResources(LanguageResources::English());
    ASSERT_TRUE(backup.Save(*connection, archive));
  }
  const std::string target = FileDatabase(folder / "target.db");
  {
    auto db = testing::NewFileDatabase(folder / "target.db");
    db->Execute("CREATE TABLE [Mine] ([Keep] INTEGER)");
  }
  const std::set<std::string> before = Names(folder.path());
  const long points = EveryFault(
      [&] {
        CBackup backup;
        backup.SetLanguageResources(LanguageResources::English());
        return backup.Restore(target, archive);
      },
      [&] {
        auto db = data::OpenConnection(target);
        EXPECT_NO_THROW(db->Execute("SELECT * FROM [Mine]"));
        db->Close();
        EXPECT_EQ(Names(folder.path()), before);
      });
  EXPECT_GT(points, 5);
  auto db = data::OpenConnection(target);
  EXPECT_THROW(db->Execute("SELECT * FROM [Mine]"), Error);
  std::cout << "restore: " << points << " fault points, each clean\n";
}

}  // namespace
}  // namespace vela
