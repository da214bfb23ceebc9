// Restore into file databases: cancels, older layouts, hostile backups and foreign number formats.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "Sample.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::FileDatabase;
using ::testing::HasSubstr;
using testing::TempFolder;
using testing::Utf16File;

constexpr const char* kDocument = "{622494E8-4265-4A3E-81A7-8E785532AC06}";
constexpr const char* kMode = "{77D0C73C-7738-42B6-9E94-1CAD0ECFF1AA}";
constexpr const char* kProvider = "{E5D9691B-491A-49AC-912F-1F1D28F259FC}";

class Restore : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
  }
  void MakeBackup(std::int64_t rows = 20) {
    cli::MakeSampleDatabase(FileDatabase(folder_ / "source.db"), rows);
    auto connection = OpenConnection(FileDatabase(folder_ / "source.db"));
    CBackup saver;
    ASSERT_TRUE(saver.Save(*connection, archive_));
  }
  bool Run() { return backup_.Restore(FileDatabase(target_), archive_); }
  // Files a restore built aside and left in the target's folder.
  int Leftovers() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path()))
      if (entry.path().filename().string().find(".restoring-") != std::string::npos) ++count;
    return count;
  }
  // A target that holds a table of its own, to tell it from anything a restore builds.
  void MakeExistingTarget() {
    std::filesystem::remove(target_);
    auto target = testing::NewFileDatabase(target_);
    target->Execute("CREATE TABLE [Mine] ([Keep] INTEGER)");
    target->Execute("INSERT INTO [Mine] VALUES (42)");
  }
  bool TargetIsMine() const {
    auto target = OpenConnection(FileDatabase(target_));
    try {
      auto rows =
          target->OpenRecordset("SELECT [Keep] FROM [Mine]", adOpenForwardOnly, adLockReadOnly, adUseServer);
      return !rows->Eof() && rows->GetValue(std::size_t{0}).AsInt() == 42;
    } catch (const Error&) {
      return false;  // no table [Mine]: a database a restore made
    }
  }
  std::string Caption(int number) { return LanguageResources::English()->GetString(number, "Backup"); }
  // The text of the error a restore fails with.
  std::string FailureOf() {
    return testing::Failure([&] { Run(); }).Description();
  }

  TempFolder folder_;
  std::string archive_ = folder_ / "backup.zip";
  std::string target_ = folder_ / "target.db";
  std::shared_ptr<testing::WatchedWorkFolder> services_ = std::make_shared<testing::WatchedWorkFolder>();
  CBackup backup_{services_};
  testing::EventRecorder events_;
};

TEST_F(Restore, CancelFromEveryProgressEventLeavesNothing) {
  MakeBackup(250);
  ASSERT_TRUE(Run());
  const int total = static_cast<int>(events_.progress.size());
  for (int n = 1; n < total; ++n) {
    std::filesystem::remove(target_);
    events_ = testing::EventRecorder{};
    events_.CancelAt(backup_, n);
    EXPECT_FALSE(Run()) << n;
    EXPECT_FALSE(std::filesystem::exists(target_)) << n;
    EXPECT_FALSE(std::filesystem::exists(services_->last)) << n;
    EXPECT_EQ(events_.additional, 0) << n;
  }
}

// RestoreAdditionalFiles and the final event come once the new database has replaced the target: a cancel
// from either comes too late, and the restore says it is done.
TEST_F(Restore, TheEventsAfterTheTargetIsReplacedCannotUndoIt) {
  MakeBackup();
  using Kind = testing::EventRecorder::Kind;
  for (Kind last : {testing::EventRecorder::kAdditional, testing::EventRecorder::kProgress}) {
    MakeExistingTarget();
    events_ = testing::EventRecorder{};
    ASSERT_TRUE(Run());
    const int at = last == testing::EventRecorder::kAdditional ? 1 : events_.Count(last);
    MakeExistingTarget();
    events_ = testing::EventRecorder{};
    bool replacedBeforeFiles = false;
    events_.then = [&](Kind heard, std::int32_t*) {
      if (heard == testing::EventRecorder::kAdditional) replacedBeforeFiles = !TargetIsMine();
      if (heard == last && events_.Count(last) == at) backup_.Cancel();
    };
    EXPECT_TRUE(Run()) << last;
    EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kDone});
    EXPECT_TRUE(replacedBeforeFiles);
    EXPECT_EQ(events_.progress.back(), std::make_pair(100, Caption(7)));
    EXPECT_FALSE(TargetIsMine());
    EXPECT_EQ(Leftovers(), 0);
  }
}

// A key the file provider does not read draws notice 49 and the restore goes on; a password under such a
// key would be lost, so the restore is refused before it makes anything.
TEST_F(Restore, KeysTheProviderDoesNotReadAreNamedAndPasswordsThereRefused) {
  MakeBackup();
  ASSERT_TRUE(
      backup_.Restore(FileDatabase(target_) + ";Initial Catalg=shop;Persist Security Info=False", archive_));
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].guid, kUnreadKeysGuid);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("ignored: Initial Catalg. The keys it takes: Provider"));

  std::filesystem::remove(target_);
  events_ = testing::EventRecorder{};
  Error refused =
      testing::Failure([&] { backup_.Restore(FileDatabase(target_) + ";Pwd=Zebra42", archive_); });
  EXPECT_THAT(refused.Description(), HasSubstr("key Pwd"));
  EXPECT_FALSE(std::filesystem::exists(target_));
  EXPECT_EQ(Leftovers(), 0);
  EXPECT_TRUE(events_.progress.empty());
}

TEST_F(Restore, MissingOrUnreadableBackupIsAClearError) {
  archive_ = folder_ / "missing.zip";
  EXPECT_THAT(FailureOf(), HasSubstr("missing.zip"));
  EXPECT_FALSE(std::filesystem::exists(target_));
}

TEST_F(Restore, OlderLayoutIsHandedOverAsFiles) {
  testing::WriteArchive(archive_, {{"customers.dat", "old data"}, {"readme.txt", "x"}});
  events_.answer = 2;  // Cancel
  EXPECT_FALSE(Run());
  ASSERT_EQ(events_.lines.size(), 1u);
  EXPECT_THAT(events_.lines[0], HasSubstr("{D2A2FC11-C46A-42CC-AEE5-676E204F0A26}"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "backup"));

  events_ = testing::EventRecorder{};
  events_.answer = 1;  // OK
  EXPECT_FALSE(Run());
  EXPECT_TRUE(std::filesystem::exists(folder_ / "backup/customers.dat"));
  EXPECT_THAT(events_.lines.back(), HasSubstr("{6DE29447-57F8-460B-8197-FED9E5B32AF8}"));
  EXPECT_THAT(events_.lines.back(), HasSubstr(folder_ / "backup"));
  EXPECT_FALSE(Run());  // a second time the folder name is adjusted
  EXPECT_TRUE(std::filesystem::exists(folder_ / "backup (2)/readme.txt"));
  EXPECT_FALSE(std::filesystem::exists(target_));
}

// A backup of one table "N" with a Double column and a Currency column, written by hand.
testing::Members NumberBackup(const std::string& decimal, const std::string& thousands,
                              const std::string& data) {
  std::string document = "<Database ConnectionString=\"x\" DecimalSeparator=\"" + decimal +
                         "\" ThousandSeparator=\"" + thousands + "\" MonetaryDecimalSeparator=\"" + decimal +
                         "\" MonetaryThousandSeparator=\"" + thousands +
                         "\"><Tables><Table Name=\"N\" FileName=\"data\"><Columns>"
                         "<Column Name=\"D\" DataType=\"5\" Flags=\"0\" Nullable=\"-1\" Autoincrement=\"0\"/>"
                         "<Column Name=\"M\" DataType=\"6\" Flags=\"0\" Nullable=\"-1\" Autoincrement=\"0\"/>"
                         "</Columns><Indexes/><Keys/></Table></Tables></Database>";
  return {{kDocument, document}, {kMode, "0"}, {kProvider, "1"}, {"data", Utf16File(data)}};
}

std::vector<std::string> Rows(const std::string& connectionString, const std::string& sql) {
  std::vector<std::string> rows;
  auto connection = OpenConnection(connectionString);
  auto set = connection->OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
  for (; !set->Eof(); set->MoveNext()) {
    std::string row;
    for (std::size_t i = 0; i < set->FieldCount(); ++i) row += (i ? "|" : "") + set->GetValue(i).AsText();
    rows.push_back(row);
  }
  return rows;
}

// A backup of one column with the sizes given as attributes, into a table of one empty row.
testing::Members SizedBackup(const std::string& dataType, const std::string& sizes) {
  std::string document =
      "<Database ConnectionString=\"x\"><Tables><Table Name=\"N\" FileName=\"data\"><Columns>"
      "<Column Name=\"A\" DataType=\"" +
      dataType + "\" " + sizes +
      " Flags=\"0\" Nullable=\"-1\" Autoincrement=\"0\"/></Columns><Indexes/><Keys/>"
      "</Table></Tables></Database>";
  return {{kDocument, document}, {kMode, "0"}, {kProvider, "1"}, {"data", Utf16File("[0][EOF]")}};
}

// Sizes reach the engine as the backup gives them, or the restore is refused naming table and column.
TEST_F(Restore, ColumnSizesTheEngineCannotHoldAreRefusedByName) {
  testing::WriteArchive(archive_, SizedBackup("131", "Precision=\"1000\" NumericScale=\"300\""));
  ASSERT_TRUE(Run());
  Column column = OpenConnection(FileDatabase(target_))->OpenCatalog()->GetTable("N").columns.at(0);
  EXPECT_EQ(column.precision, 1000);
  EXPECT_EQ(column.numericScale, 300);

  for (const auto& [type, sizes, fault] :
       {std::tuple{"131", "Precision=\"10\" NumericScale=\"11\"", "scale 11 with precision 10"},
        {"131", "Precision=\"3000000000\" NumericScale=\"0\"", "precision 3000000000"},
        {"202", "DefineSize=\"-5\"", "size -5"}}) {
    SCOPED_TRACE(sizes);
    testing::WriteArchive(archive_, SizedBackup(type, sizes));
    MakeExistingTarget();
    const std::string failure = FailureOf();
    EXPECT_THAT(failure, HasSubstr("Column A of table N"));
    EXPECT_THAT(failure, HasSubstr(fault));
    EXPECT_TRUE(TargetIsMine());
    EXPECT_EQ(Leftovers(), 0);
  }
}

TEST_F(Restore, NumbersWrittenUnderAnotherLocaleReadBack) {
  testing::WriteArchive(archive_, NumberBackup(",", ".", "[2][0.4]12,5[1.6]1234,5[0.2]-3[EOF]"));
  ASSERT_TRUE(Run());
  EXPECT_EQ(Rows(FileDatabase(target_), "SELECT * FROM [N]"),
            (std::vector<std::string>{"12.5|1234.5", "-3|"}));
}

TEST_F(Restore, HostileDataFilesFailNamingTableAndColumn) {
  struct Case {
    const char* data;
    const char* expect;
  } cases[] = {
      {"[1][0.4]12", "N."},                    // truncated inside a value
      {"[1][0.99999]1[EOF]", "N."},            // a length beyond the file
      {"[1][7.1]1[EOF]", "N."},                // a field index beyond the columns
      {"[1][0.99999999999999999999]1", "N."},  // a number beyond 32 bits
  };
  for (const Case& c : cases) {
    std::filesystem::remove(target_);
    testing::WriteArchive(archive_, NumberBackup(".", ",", c.data));
    std::string failure = FailureOf();
    EXPECT_THAT(failure, HasSubstr("(VelaBackup.CBackup.RestoreData [N.")) << c.data;
    EXPECT_THAT(failure, HasSubstr("(VelaBackup.CBackup.Restore component failure at line:")) << c.data;
    // A failure removes the database it was building (there was no target before) and leaves the working
    // files for inspection.
    EXPECT_FALSE(std::filesystem::exists(target_)) << c.data;
    EXPECT_EQ(Leftovers(), 0) << c.data;
    EXPECT_TRUE(std::filesystem::exists(services_->last)) << c.data;
  }
  // The next restore starts clean and removes them.
  std::filesystem::remove(target_);
  testing::WriteArchive(archive_, NumberBackup(".", ",", "[1][0.1]1[EOF]"));
  ASSERT_TRUE(Run());
  EXPECT_FALSE(std::filesystem::exists(services_->last));
}

TEST_F(Restore, ADocumentNamingAMissingColumnFailsClearly) {
  testing::Members members = NumberBackup(".", ",", "[1][0.1]1[EOF]");
  std::string& document = members[kDocument];
  document.replace(
      document.find("<Indexes/>"), 10,
      "<Indexes><Index Name=\"I\" Clustered=\"False\" Unique=\"False\" PK=\"False\" IndexNulls=\"0\">"
      "<Columns><Column Name=\"Missing\"/></Columns></Index></Indexes>");
  testing::WriteArchive(archive_, members);
  // An index over a column the table does not have is left out; the rows still arrive.
  ASSERT_TRUE(Run());
  EXPECT_EQ(Rows(FileDatabase(target_), "SELECT * FROM [N]"), std::vector<std::string>{"1|"});

  members[kDocument].replace(members[kDocument].find("DataType=\"5\""), 12, "DataType=\"x\"");
  testing::WriteArchive(archive_, members);
  EXPECT_THAT(FailureOf(), HasSubstr("DataType"));
}

class RestoreKeys : public Restore {};

TEST_F(RestoreKeys, IgnoredRelationsAreLeftOutAndARejectedKeyEndsTheRestore) {
  MakeBackup();
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_, false, "orders.customerid"));
  {
    auto connection = OpenConnection(FileDatabase(target_));
    auto catalog = connection->OpenCatalog();
    int orderKeys = 0;
    for (const Key& key : catalog->GetTable("Orders").keys) orderKeys += key.type == adKeyForeign;
    EXPECT_EQ(orderKeys, 0);
    int detailKeys = 0;
    for (const Key& key : catalog->GetTable("Order Details").keys) detailKeys += key.type == adKeyForeign;
    EXPECT_EQ(detailKeys, 2);
  }

  // Orders whose customer is missing: the relation is refused, shown, and the restore ends as cancelled.
  testing::Members members = testing::ReadArchive(archive_);
  std::string& document = members[kDocument];
  std::size_t customers = document.find("<Table Name=\"Customers\"");
  std::string fileName = document.substr(document.find("FileName=\"", customers) + 10, 38);
  members.erase(fileName);
  testing::WriteArchive(archive_, members);
  std::filesystem::remove(target_);
  EXPECT_FALSE(Run());
  ASSERT_FALSE(events_.lines.empty());
  EXPECT_THAT(events_.lines.back(), HasSubstr("{9ACB9C96-03C6-4A06-99CC-F6872C040D78}"));
  EXPECT_EQ(events_.progress.back(), std::make_pair(100, Caption(6)));
  EXPECT_FALSE(std::filesystem::exists(target_));
}

TEST_F(Restore, ProtectedTargetNeedsItsPassword) {
  MakeBackup();
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_, false, "", "s3cret;x"));
  EXPECT_THROW(OpenConnection(FileDatabase(target_)), Error);
  auto connection = OpenConnection(FileDatabase(target_) + ";Jet OLEDB:Database Password=\"s3cret;x\"");
  EXPECT_EQ(Rows(FileDatabase(target_) + ";Jet OLEDB:Database Password=\"s3cret;x\"",
                 "SELECT COUNT(*) FROM [Measurements]"),
            std::vector<std::string>{"20"});
  connection->Close();

  // A password given only in the connection string protects the new file too, in a text backup and in a
  // direct copy; it is never dropped.
  const std::string keyed = FileDatabase(target_) + ";Jet OLEDB:Database Password=only-here";
  for (BackupModeEnum mode : {bmCompressedTextFile, bmDirectCopy}) {
    SCOPED_TRACE(mode);
    if (mode == bmDirectCopy) {
      CBackup saver;
      saver.SetBackupMode(bmDirectCopy);
      auto source = OpenConnection(FileDatabase(folder_ / "source.db"));
      ASSERT_TRUE(saver.Save(*source, archive_));
    }
    ASSERT_TRUE(backup_.Restore(keyed, archive_));
    EXPECT_THROW(OpenConnection(FileDatabase(target_)), Error);
    EXPECT_EQ(Rows(keyed, "SELECT COUNT(*) FROM [Measurements]"), std::vector<std::string>{"20"});
  }
}

TEST_F(Restore, CorruptRowsAreDroppedAndReportedOnceAtTheEnd) {
  testing::WriteArchive(archive_, NumberBackup(".", ",", "[3][0.1]1[ROW][!CORRUPTED][0.1]2[1.1]5[EOF]"));
  ASSERT_TRUE(Run());
  EXPECT_EQ(events_.corruption, 1);
  EXPECT_EQ(Rows(FileDatabase(target_), "SELECT * FROM [N]"), (std::vector<std::string>{"1|", "2|5"}));

  std::filesystem::remove(target_);
  events_ = testing::EventRecorder{};
  events_.CancelAt(backup_, 1, testing::EventRecorder::kCorruption);
  EXPECT_FALSE(Run());
  EXPECT_EQ(events_.additional, 0);
  EXPECT_EQ(events_.progress.back(), std::make_pair(100, Caption(6)));
  EXPECT_FALSE(std::filesystem::exists(target_));
}

// Damaged backups: whatever the damage, a restore ends with True, False or a vela::Error, never a crash or
// a hang, and a failure names the table it was restoring.
TEST_F(Restore, MutatedBackupsFailCleanly) {
  MakeBackup(30);
  const testing::Members original = testing::ReadArchive(archive_);
  const std::string& document = original.at(kDocument);
  std::size_t at = document.find("<Table Name=\"Products\"");
  const std::string dataFile = document.substr(document.find("FileName=\"", at) + 10, 38);
  ASSERT_TRUE(original.count(dataFile));

  std::mt19937 random(20261206);
  int failures = 0;
  for (int round = 0; round < 60; ++round) {
    testing::Members members = original;
    std::string& victim = members[round % 3 == 0 ? std::string(kDocument) : dataFile];
    switch (round % 4) {
      case 0:
        victim.resize(random() % victim.size());
        break;  // cut short
      case 1:
        victim[random() % victim.size()] = static_cast<char>(random());
        break;  // one byte flipped
      case 2:
        victim.insert(random() % victim.size(), "[9.9999]");
        break;  // framing inserted
      default:
        for (int k = 0; k < 8; ++k) victim[random() % victim.size()] = "[]0.9B!"[random() % 7];
    }
    testing::WriteArchive(archive_, members);
    std::filesystem::remove(target_);
    try {
      Run();
    } catch (const Error& error) {
      ++failures;
      EXPECT_THAT(error.Description(), HasSubstr("(VelaBackup.CBackup.Restore component failure at line:"));
    }
  }
  EXPECT_GT(failures, 0);
}

// An existing target stays as it was until a restore has succeeded: a cancel at any event, a backup whose
// document is no XML and a data file that fails leave it whole and take away what was built aside.
TEST_F(Restore, AnExistingTargetStaysUntilTheRestoreSucceeds) {
  MakeBackup();
  MakeExistingTarget();
  ASSERT_TRUE(Run());
  const int total = static_cast<int>(events_.progress.size());
  for (int n = 1; n < total; ++n) {
    MakeExistingTarget();
    events_ = testing::EventRecorder{};
    events_.CancelAt(backup_, n);
    EXPECT_FALSE(Run()) << n;
    EXPECT_TRUE(TargetIsMine()) << n;
    EXPECT_EQ(Leftovers(), 0) << n;
  }
  events_ = testing::EventRecorder{};

  testing::Members members = NumberBackup(".", ",", "[1][0.1]1[EOF]");
  members[kDocument] = "<Database><Table";  // no XML
  testing::WriteArchive(archive_, members);
  MakeExistingTarget();
  EXPECT_FALSE(Run());
  EXPECT_TRUE(TargetIsMine());
  EXPECT_EQ(Leftovers(), 0);

  testing::WriteArchive(archive_, NumberBackup(".", ",", "[1][0.99999]1[EOF]"));
  EXPECT_THAT(FailureOf(), HasSubstr("RestoreData [N."));
  EXPECT_TRUE(TargetIsMine());
  EXPECT_EQ(Leftovers(), 0);

  // A restore that succeeds replaces the target whole.
  testing::WriteArchive(archive_, NumberBackup(".", ",", "[1][0.1]1[EOF]"));
  ASSERT_TRUE(Run());
  EXPECT_FALSE(TargetIsMine());
  EXPECT_EQ(Leftovers(), 0);
}

}  // namespace
}  // namespace vela
