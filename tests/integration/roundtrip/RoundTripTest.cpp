// Save and restore of the sample file database: every mode gives back the same schema and the same rows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <map>

#include "Sample.h"
#include "support/Describe.h"
#include "support/EventRecorder.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Describe;
using testing::FileDatabase;
using testing::TempFolder;

class RoundTrip : public ::testing::TestWithParam<BackupModeEnum> {
 protected:
  void SetUp() override {
    cli::MakeSampleDatabase(FileDatabase(source_), 250);
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&recorder_);
  }

  TempFolder folder_;
  std::string source_ = folder_ / "source.db";
  std::string archive_ = folder_ / "backup.vbk";
  std::string target_ = folder_ / "target.db";
  CBackup backup_;
  testing::EventRecorder recorder_;
};

TEST_P(RoundTrip, RestoresEverySchemaItemAndRow) {
  backup_.SetBackupMode(GetParam());
  {
    std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }
  EXPECT_EQ(recorder_.progress.back().first, 100);
  // Stored key names are kept, so the restored schema reads exactly like the source.
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_, true));
  EXPECT_EQ(backup_.BackupMode(), GetParam());
  EXPECT_EQ(recorder_.additional, 1);
  std::vector<std::string> expected = Describe(FileDatabase(source_));
  // A text backup leaves out the row that lets new connections in.
  if (GetParam() != bmDirectCopy)
    std::erase_if(expected, [](const std::string& line) {
      return line.find("AllowNewConnection") != std::string::npos;
    });
  std::vector<std::string> restored = Describe(FileDatabase(target_));
  ASSERT_EQ(restored.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(restored[i], expected[i]);

  // The next autoincrement values lie above what was restored and above what the source gave out before
  // (its seed, 20, travels with the column).
  std::unique_ptr<Connection> target = OpenConnection(FileDatabase(target_));
  target->Execute("INSERT INTO [Customers] ([Name]) VALUES ('New')");
  target->Execute("INSERT INTO [Measurements] ([Label]) VALUES ('New')");
  auto maxOf = [&](const char* sql) {
    auto rows = target->OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
    return rows->GetValue(0).AsInt();
  };
  EXPECT_EQ(maxOf("SELECT MAX([CustomerID]) FROM [Customers]"), 20);
  EXPECT_EQ(maxOf("SELECT MAX([ID]) FROM [Measurements]"), 251);
}

// A table whose autoincrement column already holds the largest 64-bit value: it has no next value, and it
// saves and restores as it is, with the engine refusing its next row in the copy as in the source.
TEST_P(RoundTrip, AnAutoincrementAtTheLargestValueStaysThere) {
  const std::string source = folder_ / "full.db", target = folder_ / "full-restored.db";
  ASSERT_EQ(testing::Exec(source,
                          "CREATE TABLE Full (ID INTEGER PRIMARY KEY AUTOINCREMENT, Label TEXT);"
                          "INSERT INTO Full VALUES (9223372036854775807, 'last')"),
            "");

  backup_.SetBackupMode(GetParam());
  {
    std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }
  ASSERT_TRUE(backup_.Restore(FileDatabase(target), archive_, true));
  std::unique_ptr<Connection> restored = OpenConnection(FileDatabase(target));
  auto rows = restored->OpenRecordset("SELECT [ID], [Label] FROM [Full]", adOpenForwardOnly, adLockReadOnly,
                                      adUseServer);
  EXPECT_EQ(rows->GetValue(0).AsInt(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(rows->GetValue(1).AsText(), "last");
  rows->Close();
  EXPECT_THROW(restored->Execute("INSERT INTO [Full] ([Label]) VALUES ('one more')"), Error);
}

INSTANTIATE_TEST_SUITE_P(Modes, RoundTrip,
                         ::testing::Values(bmCompressedTextFile, bmUncompressedTextFile, bmDirectCopy),
                         [](const auto& info) {
                           return info.param == bmCompressedTextFile     ? std::string("Compressed")
                                  : info.param == bmUncompressedTextFile ? std::string("Uncompressed")
                                                                         : std::string("DirectCopy");
                         });

}  // namespace
}  // namespace vela
