// Save on real file databases: progress, data exclusions, corruption notices, cancels, failures and the
// prompts for a full removable disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive/Archive.h"
#include "backupfile/TableDataFile.h"
#include "component/Operation.h"
#include "platform/zip/Drive.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/Forwarding.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"

namespace vela {
namespace {

using namespace data;
using testing::AddRow;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using testing::MakeTable;
using testing::NewFileDatabase;
using testing::TempFolder;

// The services of the save's tests: the work folder watched, and for the disk prompts a removable disk that
// is full for its first `fullChecks` looks.
class SaveServices : public testing::WatchedWorkFolder, public zip::SystemDrive {
 public:
  const zip::Drive& Drive() const override { return removable ? *this : WatchedWorkFolder::Drive(); }
  bool IsRemovable(const std::filesystem::path&) const override { return true; }
  std::optional<std::uint64_t> FreeSpace(const std::filesystem::path&) const override {
    return checks_++ < fullChecks ? 0 : std::uint64_t{1} << 30;
  }
  bool removable = false;
  int fullChecks = 0;

 private:
  mutable int checks_ = 0;
};

class Save : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
    connection_ = NewFileDatabase(database_);
    catalog_ = connection_->OpenCatalog();
  }
  bool Run(const TableList& noData = {}) { return backup_.Save(*connection_, archive_, noData); }
  std::vector<std::string> Captions() const { return events_.Captions(); }

  TempFolder folder_;
  std::string database_ = folder_ / "db.sqlite";
  std::string archive_ = folder_ / "out.zip";
  std::shared_ptr<SaveServices> services_ = std::make_shared<SaveServices>();
  CBackup backup_{services_};
  testing::EventRecorder events_;
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<Catalog> catalog_;
};

TEST_F(Save, ProgressEveryHundredRowsAndTheParamsFilter) {
  MakeTable(*catalog_, "Big", {{"ID", adInteger}, {"Name", adVarWChar, 20}});
  for (int i = 0; i < 250; ++i) AddRow(*connection_, "Big", {i, "n" + std::to_string(i)});
  MakeTable(*catalog_, "velaPARAMS", {{"ParamName", adVarWChar, 50}, {"ParamValue", adVarWChar, 50}});
  AddRow(*connection_, "velaPARAMS", {"AllowNewConnection", "0"});
  AddRow(*connection_, "velaPARAMS", {"Other", "1"});
  ASSERT_TRUE(Run());

  std::vector<std::string> rowCaptions;
  for (const std::string& caption : Captions())
    if (caption.find(" (") != std::string::npos) rowCaptions.push_back(caption);
  ASSERT_EQ(rowCaptions.size(), 2u);
  EXPECT_THAT(rowCaptions[0], EndsWith("(100/250)"));
  EXPECT_THAT(rowCaptions[1], EndsWith("(200/250)"));
  EXPECT_EQ(events_.progress.front(),
            std::make_pair(0, LanguageResources::English()->GetString(13, "Backup")));
  EXPECT_EQ(events_.progress.back(),
            std::make_pair(100, LanguageResources::English()->GetString(17, "Backup")));
}

TEST_F(Save, DoNotSaveDataTablesForms) {
  MakeTable(*catalog_, "A", {{"ID", adInteger}});
  AddRow(*connection_, "A", {1});
  ASSERT_TRUE(Run(std::vector<std::string>{"a"}));
  // The table keeps its entry, but no data file of its own travels.
  EXPECT_EQ(testing::ReadArchive(archive_).size(), 3u);
  ASSERT_TRUE(Run(std::string("A")));  // a single string has no effect
  EXPECT_EQ(testing::ReadArchive(archive_).size(), 4u);
  EXPECT_THROW(Run(std::vector<Value>{Value("A")}), Error);
}

TEST_F(Save, ViewsOnlyGiveNothingUnlessTheHostAddsFiles) {
  connection_->Execute("CREATE VIEW [V] AS SELECT 1 AS [One]");
  EXPECT_FALSE(Run());
  EXPECT_FALSE(std::filesystem::exists(archive_));
  std::ofstream(folder_ / "a.txt") << "a";
  std::ofstream(folder_ / "b.txt") << "b";
  events_.files = {folder_ / "a.txt", folder_ / "b.txt"};
  EXPECT_TRUE(Run());
  testing::Members members = testing::ReadArchive(archive_);
  EXPECT_TRUE(members.count("a.txt") && members.count("b.txt"));
}

TEST_F(Save, AdditionalFilesAreQuotedInOrder) {
  events_.files = {"/x/a", "/y/b c"};
  ObjectState state(nullptr);
  state.events = &events_;
  Operation operation = state.MakeOperation();
  Archive archive(operation);
  EXPECT_EQ(archive.GetAdditionalFiles({}), "\"/x/a\" \"/y/b c\" ");
  events_.files.clear();
  EXPECT_EQ(archive.GetAdditionalFiles({}), "");
}

TEST_F(Save, CorruptedRowsAreMarkedWithOneNoticePerTable) {
  MakeTable(*catalog_, "C", {{"Text", adVarWChar, 10}, {"Number", adInteger}});
  AddRow(*connection_, "C", {"####", Value::Null()});         // corrupted
  AddRow(*connection_, "C", {"####", 5});                     // fine: a number
  AddRow(*connection_, "C", {Value::Null(), Value::Null()});  // corrupted
  ASSERT_TRUE(Run());
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].guid, "{8C4E3CBD-13EC-4E92-8EB5-65D220A0933E}");
  EXPECT_EQ(events_.messages[0].buttons, 48);
  EXPECT_EQ(events_.messages[0].preset, 1);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("C holds 2 row"));
}

TEST_F(Save, AwkwardNamesStayNames) {
  for (const char* name : {"a]b", "it's", "Order Details", "select"}) {
    MakeTable(*catalog_, name, {{std::string(name) + " col", adVarWChar, 10}});
    AddRow(*connection_, name, {"x"});
  }
  EXPECT_TRUE(Run());
  EXPECT_EQ(testing::ReadArchive(archive_).size(), 7u);
}

// A catalog that lists five system tables before the real ones.
class SystemTablesFirst : public testing::ForwardingCatalog {
 public:
  using ForwardingCatalog::ForwardingCatalog;
  std::vector<Entry> ListTables() override {
    std::vector<Entry> entries;
    for (int i = 0; i < 5; ++i) entries.push_back({"MSysObjects" + std::to_string(i), "SYSTEM TABLE", {}});
    for (const Entry& entry : inner_->ListTables())
      if (entry.type == "TABLE") entries.push_back(entry);
    return entries;
  }
};

class FailingConnection : public testing::ForwardingConnection {
 public:
  using ForwardingConnection::ForwardingConnection;
  std::unique_ptr<data::Catalog> OpenCatalog() override {
    return std::make_unique<SystemTablesFirst>(inner_->OpenCatalog());
  }
  std::unique_ptr<data::Recordset> OpenRecordset(std::string_view sql, data::CursorTypeEnum type,
                                                 data::LockTypeEnum lock,
                                                 data::CursorLocationEnum location) override {
    if (failOn && sql.find(failOn) != std::string_view::npos)
      throw Error(kCommandError, "Test", "injected failure");
    return inner_->OpenRecordset(sql, type, lock, location);
  }
  // A job that reads tables beside the save fails on the same statement.
  std::unique_ptr<data::Connection> OpenSnapshotReader() override {
    std::unique_ptr<data::Connection> reader = inner_->OpenSnapshotReader();
    if (!reader) return nullptr;
    auto failing = std::make_unique<FailingConnection>(std::move(reader));
    failing->failOn = failOn;
    return failing;
  }
  const char* failOn = nullptr;
};

TEST_F(Save, ProgressCountsSystemTablesAndAFailureKeepsTheEarlierBackup) {
  for (int i = 0; i < 5; ++i) MakeTable(*catalog_, "T" + std::to_string(i), {{"ID", adInteger}});
  FailingConnection real(data::OpenConnection("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + database_));
  ASSERT_TRUE(backup_.Save(real, archive_));
  EXPECT_EQ(events_.progress[1].first, 60);  // the first saved table, after five system tables of ten
  EXPECT_EQ(events_.progress[1].second, "Saving T0...");

  auto before = std::filesystem::file_size(archive_);
  real.failOn = "FROM [T3]";
  try {
    backup_.Save(real, archive_);
    FAIL();
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kCommandError);
    EXPECT_THAT(error.Description(),
                HasSubstr("injected failure (VelaBackup.CBackup.SaveData component failure"));
    EXPECT_THAT(error.Description(), HasSubstr(") (VelaBackup.CBackup.Save component failure at line:"));
  }
  EXPECT_EQ(std::filesystem::file_size(archive_), before);
  // The failed save keeps its working files for inspection.
  EXPECT_TRUE(std::filesystem::exists(services_->last));
}

TEST_F(Save, CancelAtEveryEventEndsFalseAndKeepsTheEarlierBackup) {
  MakeTable(*catalog_, "A", {{"ID", adInteger}});
  for (int i = 0; i < 250; ++i) AddRow(*connection_, "A", {i});
  MakeTable(*catalog_, "B", {{"ID", adInteger}});
  MakeTable(*catalog_, "C", {{"ID", adInteger}});
  for (int i = 0; i < 150; ++i) AddRow(*connection_, "C", {i});
  // One job, and several that read the tables ahead: the same events, and a stop at any of them.
  for (std::int32_t jobs : {1, 2, 3}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    backup_.SetJobs(jobs);
    events_.progress.clear();
    events_.CancelAt(backup_, 0);
    ASSERT_TRUE(Run());
    const std::size_t events = events_.progress.size();
    auto size = std::filesystem::file_size(archive_);
    for (std::size_t n = 1; n + 1 < events; ++n) {
      events_.progress.clear();
      events_.CancelAt(backup_, static_cast<int>(n));
      EXPECT_FALSE(Run()) << "cancel at event " << n;
      EXPECT_EQ(events_.progress.back(),
                std::make_pair(100, LanguageResources::English()->GetString(15, "Backup")))
          << n;
      EXPECT_EQ(std::filesystem::file_size(archive_), size) << n;
      EXPECT_FALSE(std::filesystem::exists(services_->last)) << n;
    }
  }
}

// A backup written to a removable disk that is full: the disk prompts repeat until there is room or the
// user cancels.
class DiskPrompt : public Save {
 protected:
  void SetUp() override {
    Save::SetUp();
    services_->removable = true;
    MakeTable(*catalog_, "T", {{"ID", adInteger}});
    AddRow(*connection_, "T", {1});
  }
};

TEST_F(DiskPrompt, RepeatsWhileTheDiskIsFull) {
  services_->fullChecks = 2;
  ASSERT_TRUE(Run());
  std::vector<std::string> guids;
  for (const auto& message : events_.messages) {
    guids.push_back(message.guid);
    EXPECT_EQ(message.buttons & 32, 32);
  }
  EXPECT_THAT(guids, ::testing::ElementsAre(kFirstDiskGuid, kFirstDiskFullGuid, kFirstDiskFullGuid));
  EXPECT_TRUE(std::filesystem::exists(archive_));
}

TEST_F(DiskPrompt, CancelAtAPromptStopsTheSave) {
  services_->fullChecks = 100;
  events_.then = [&](testing::EventRecorder::Kind kind, std::int32_t* answer) {
    if (kind == testing::EventRecorder::kMessage && events_.messages.size() == 3) *answer = kAnswerCancel;
  };
  EXPECT_FALSE(Run());
  EXPECT_EQ(events_.messages.size(), 3u);
  // Ended as a cancel, not as a failure.
  EXPECT_EQ(events_.progress.back(),
            std::make_pair(100, LanguageResources::English()->GetString(15, "Backup")));
  EXPECT_FALSE(std::filesystem::exists(archive_));
}

}  // namespace
}  // namespace vela
