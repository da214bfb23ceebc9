// CBackup::LastOutcome: how the last Save or Restore ended, and why one that returned False did nothing.
// The server's refusals (a server elsewhere, a database it will not replace) are seen through the host's
// closing lines in the command-line tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Sample.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::FileDatabase;

class LastOutcome : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
    cli::MakeSampleDatabase(FileDatabase(source_), 20);
  }
  bool Save(const std::string& database, const TableList& noData = {}) {
    auto connection = data::OpenConnection(FileDatabase(database));
    return backup_.Save(*connection, archive_, noData);
  }
  bool Restore(const std::string& archive, const std::string& target) {
    return backup_.Restore(target, archive);
  }

  testing::TempFolder folder_;
  std::string source_ = folder_ / "source.db";
  std::string archive_ = folder_ / "source.vbk";
  std::string target_ = FileDatabase(folder_ / "target.db");
  CBackup backup_;
  testing::EventRecorder events_;
};

TEST_F(LastOutcome, ASaveIsDoneCancelledHasNothingToDoOrFails) {
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{});
  ASSERT_TRUE(Save(source_));
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kDone});

  events_.Clear();
  events_.CancelAt(backup_, 1);
  EXPECT_FALSE(Save(source_));
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kCancelled});
  events_.CancelAt(backup_, 0);

  const std::string views = folder_ / "views.db";
  testing::NewFileDatabase(views)->Execute("CREATE VIEW One AS SELECT 1 AS A");
  EXPECT_FALSE(Save(views));
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kNothingToDo});

  // DoNotSaveDataTables of numbers: the save raises an Error.
  EXPECT_THROW(Save(source_, std::vector<data::Value>{data::Value(1)}), Error);
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kFailed});
}

// Each refusal comes with its notice, makes no target and unpacks nothing it was not asked to.
TEST_F(LastOutcome, ARefusedRestoreSaysWhy) {
  ASSERT_TRUE(Save(source_));
  const std::string garbage = folder_ / "garbage.vbk", emptyZip = folder_ / "empty.vbk",
                    older = folder_ / "older.vbk", server = folder_ / "server.vbk",
                    noDocument = folder_ / "nodocument.vbk";
  std::ofstream(garbage) << "no zip archive";
  std::ofstream(emptyZip, std::ios::binary) << std::string("PK\x05\x06", 4) + std::string(18, '\0');
  testing::WriteArchive(older, {{"customers.dat", "old data"}});
  testing::WriteArchive(server, {{kModeMember, "2"}, {kProviderMember, "2"}, {kNativeBackupMember, "x"}});
  testing::WriteArchive(noDocument, {{kModeMember, "0"}, {kProviderMember, "1"}});
  const struct {
    std::string archive;
    bool answerOk;
    OutcomeReason reason;
    const char* guid;  // the one notice that went with it (after the question, for an older layout)
  } cases[] = {
      {garbage, true, OutcomeReason::kNotBackupFile, kNotBackupGuid},
      {emptyZip, true, OutcomeReason::kNotBackupFile, kNotBackupGuid},
      {older, false, OutcomeReason::kOlderLayout, kOlderLayoutFileGuid},
      {older, true, OutcomeReason::kOlderLayoutUnpacked, kOlderLayoutUnpackedGuid},
      {server, false, OutcomeReason::kOtherEngine, kOtherEngineGuid},
      {noDocument, false, OutcomeReason::kUnreadableDocument, nullptr},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.archive + " " + std::to_string(static_cast<int>(refused.reason)));
    events_.Clear();
    events_.answer = refused.answerOk ? std::optional<std::int32_t>(kAnswerOk) : std::nullopt;
    EXPECT_FALSE(Restore(refused.archive, target_));
    EXPECT_EQ(backup_.LastOutcome(), (OperationOutcome{Outcome::kRefused, refused.reason}));
    if (refused.guid) {
      ASSERT_EQ(events_.messages.size(), refused.archive == older && refused.answerOk ? 2u : 1u);
      EXPECT_EQ(events_.messages.back().guid, refused.guid);
    }
    if (refused.reason == OutcomeReason::kNotBackupFile) {
      EXPECT_NE(events_.messages.back().prompt.find(
                    std::filesystem::path(refused.archive).filename().string() + " is not a backup file"),
                std::string::npos)
          << events_.messages.back().prompt;
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(refused.archive).replace_extension()));
    }
    EXPECT_FALSE(std::filesystem::exists(folder_ / "target.db"));
  }
  events_.answer.reset();

  // The next restore says how it ended, whatever the one before said.
  EXPECT_THROW(Restore(archive_, "Provider=Nobody;Data Source=" + folder_ / "x.db"), Error);
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kFailed});
  events_.Clear();
  events_.CancelAt(backup_, 1);
  EXPECT_FALSE(Restore(archive_, target_));
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kCancelled});
  events_.CancelAt(backup_, 0);
  EXPECT_TRUE(Restore(archive_, target_));
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kDone});
}

}  // namespace
}  // namespace vela
