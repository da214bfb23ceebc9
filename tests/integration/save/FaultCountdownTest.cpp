// Every write, sync and rename of a save and of a restore failing in turn, as a full disk would, the
// database engine's own included: each run ends with a clear error, the earlier backup or the existing
// target stays whole, and nothing half-made is left beside them. The run after the last fault point
// succeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "Sample.h"
#include "platform/zip/ArchiveReader.h"
#include "support/Databases.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::FileDatabase;
using testing::ReadFile;
using testing::TempFolder;

std::set<std::string> Names(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Runs `operation` on a CBackup object whose nth write or rename fails, for n = 1, 2, ... until it runs
// without meeting its fault; `check` looks at each failed run. Returns how many fault points there were.
template <class Operation, class Check>
long EveryFault(Operation&& operation, Check&& check) {
  auto services = std::make_shared<testing::FaultCountingServices>();
  for (long n = 1;; ++n) {
    services->FailNth(n);
    std::optional<Error> failed;
    bool result = false;
    try {
      CBackup backup(services);
      backup.SetLanguageResources(LanguageResources::English());
      result = operation(backup);
    } catch (const Error& error) {
      failed = error;
    }
    const long counted = services->Counted();
    services->FailNth(0);
    if (counted < n) {
      EXPECT_TRUE(result) << "the run without a fault";
      EXPECT_FALSE(failed) << failed->Description();
      return n - 1;
    }
    SCOPED_TRACE("write, sync or rename " + std::to_string(n) + " fails");
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

// A text backup, plain and of a protected database (its members encrypted with the database's password), and
// a direct copy plain and restored under a password (written through the engine into a keyed file).
struct Case {
  BackupModeEnum mode;
  std::string password;
  // The source is protected by the password: its text backup is encrypted.
  std::string Source(const std::string& path) const {
    const std::string plain = testing::FileDatabase(path);
    return password.empty() || mode == bmDirectCopy ? plain
                                                    : plain + ";Jet OLEDB:Database Password=" + password;
  }
  friend void PrintTo(const Case& c, std::ostream* out) {
    *out << c.mode << (c.password.empty() ? "" : "+password");
  }
};

class FaultCountdown : public ::testing::TestWithParam<Case> {};

TEST_P(FaultCountdown, ASaveThatCannotWriteKeepsTheEarlierBackup) {
  if (!GetParam().password.empty() && GetParam().mode == bmDirectCopy)
    GTEST_SKIP() << "the password only changes the restore";
  TempFolder folder;
  const std::string source = GetParam().Source(folder / "source.db");
  cli::MakeSampleDatabase(source, 300);
  const std::filesystem::path archive = folder.path() / "backup.vbk";
  { std::ofstream(archive) << "earlier backup"; }
  const std::set<std::string> before = Names(folder.path());
  std::unique_ptr<data::Connection> connection = data::OpenConnection(source);
  // One job, and two, whose second reads the tables ahead on a connection of its own.
  for (std::int32_t jobs : {1, 2}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    { std::ofstream(archive) << "earlier backup"; }
    const long points = EveryFault(
        [&](CBackup& backup) {
          backup.SetBackupMode(GetParam().mode);
          backup.SetJobs(jobs);
          return backup.Save(*connection, archive.string());
        },
        [&] {
          EXPECT_EQ(ReadFile(archive), "earlier backup");
          EXPECT_EQ(Names(folder.path()), before);
        });
    EXPECT_GT(points, 5);
    EXPECT_NE(ReadFile(archive), "earlier backup");
    EXPECT_EQ(zip::ArchiveReader(archive).Encrypted(), !GetParam().password.empty());
    std::cout << "save, " << jobs << " jobs: " << points << " fault points, each clean\n";
  }
}

TEST_P(FaultCountdown, ARestoreThatCannotWriteKeepsTheTarget) {
  TempFolder folder;
  const std::string source = GetParam().Source(folder / "source.db");
  cli::MakeSampleDatabase(source, 300);
  const std::string archive = folder / "backup.vbk";
  {
    std::unique_ptr<data::Connection> connection = data::OpenConnection(source);
    CBackup backup;
    backup.SetLanguageResources(LanguageResources::English());
    backup.SetBackupMode(GetParam().mode);
    ASSERT_TRUE(backup.Save(*connection, archive));
  }
  const std::string target = FileDatabase(folder / "target.db");
  {
    auto db = testing::NewFileDatabase(folder / "target.db");
    db->Execute("CREATE TABLE [Mine] ([Keep] INTEGER)");
  }
  const std::set<std::string> before = Names(folder.path());
  const long points = EveryFault(
      [&](CBackup& backup) { return backup.Restore(target, archive, false, {}, GetParam().password); },
      [&] {
        auto db = data::OpenConnection(target);
        EXPECT_NO_THROW(db->Execute("SELECT * FROM [Mine]"));
        db->Close();
        EXPECT_EQ(Names(folder.path()), before);
      });
  EXPECT_GT(points, 2);
  std::string restored = target;
  if (!GetParam().password.empty()) restored += ";Jet OLEDB:Database Password=" + GetParam().password;
  auto db = data::OpenConnection(restored);
  EXPECT_THROW(db->Execute("SELECT * FROM [Mine]"), Error);
  std::cout << "restore: " << points << " fault points, each clean\n";
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultCountdown,
                         ::testing::Values(Case{bmCompressedTextFile, ""},
                                           Case{bmCompressedTextFile, "s3cret"}, Case{bmDirectCopy, ""},
                                           Case{bmDirectCopy, "s3cret"}),
                         [](const auto& info) {
                           const std::string mode = info.param.mode == bmDirectCopy ? "DirectCopy" : "Text";
                           return mode + (info.param.password.empty() ? "" : "WithPassword");
                         });

}  // namespace
}  // namespace vela
