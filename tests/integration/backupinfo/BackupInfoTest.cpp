// Reading backup files without a database: what InspectBackup says of backups the component wrote, and
// what VerifyBackup finds in them and in damaged copies of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Sample.h"
#include "support/Archives.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/LanguageResources.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::FileDatabase;
using ::testing::HasSubstr;
using testing::TempFolder;

constexpr std::int64_t kRows = 120;

class BackupInfoTest : public ::testing::Test {
 protected:
  void Save(BackupModeEnum mode, const std::string& password = {}, const TableList& withoutData = {}) {
    std::string source = FileDatabase(source_);
    if (!password.empty()) source += ";Jet OLEDB:Database Password=" + password;
    cli::MakeSampleDatabase(source, kRows);
    CBackup backup;
    backup.SetLanguageResources(LanguageResources::English());
    backup.SetBackupMode(mode);
    std::unique_ptr<data::Connection> connection = data::OpenConnection(source);
    ASSERT_TRUE(backup.Save(*connection, archive_, withoutData));
  }
  // The member holding the rows of `table`.
  std::string DataMember(const std::string& table) {
    for (const BackupMember& member : InspectBackup(archive_).members)
      if (member.role == MemberRole::kTableData && member.table == table) return member.name;
    ADD_FAILURE() << "no data member for " << table;
    return {};
  }
  // Rewrites the archive with one member replaced (or removed, when `bytes` is empty): the CRC-32 matches.
  void Replace(const std::string& name, const std::string& bytes) {
    testing::Members members = testing::ReadArchive(archive_);
    if (bytes.empty())
      members.erase(name);
    else
      members[name] = bytes;
    testing::WriteArchive(archive_, members);
  }
  // The problems of the verify, each as "table|row|text", and its verdict.
  std::string Problems(const VerifyReport& report) {
    std::string text;
    for (const VerifyProblem& problem : report.problems)
      text += problem.table + "|" + std::to_string(problem.row) + "|" + problem.text + "\n";
    return text;
  }

  TempFolder folder_;
  std::string source_ = folder_ / "source.db";
  std::string archive_ = folder_ / "backup.vbk";
};

TEST_F(BackupInfoTest, NamesEveryMemberOfATextBackupAndCountsItsRows) {
  Save(bmCompressedTextFile);
  BackupInfo info = InspectBackup(archive_);
  EXPECT_EQ(info.layout, BackupLayout::kCurrent);
  EXPECT_EQ(info.mode, bmCompressedTextFile);
  EXPECT_EQ(info.provider, dpAccess);

  int documents = 0, modes = 0, providers = 0;
  std::map<std::string, std::string> dataOf;  // table -> member
  for (const BackupMember& member : info.members) {
    documents += member.role == MemberRole::kDocument;
    modes += member.role == MemberRole::kMode;
    providers += member.role == MemberRole::kProvider;
    if (member.role == MemberRole::kTableData) dataOf[member.table] = member.name;
    EXPECT_NE(member.role, MemberRole::kAdditionalFile) << member.name;
    EXPECT_EQ(member.method, 8) << member.name;
  }
  EXPECT_EQ(documents, 1);
  EXPECT_EQ(modes, 1);
  EXPECT_EQ(providers, 1);

  ASSERT_FALSE(info.tables.empty());
  for (const BackupTable& table : info.tables) {
    EXPECT_TRUE(table.dataPresent) << table.name;
    EXPECT_EQ(dataOf[table.name], table.fileName) << table.name;
    EXPECT_TRUE(table.headerCount.has_value()) << table.name;
    if (table.name == "Measurements") {
      EXPECT_EQ(table.columns, 8u);
      EXPECT_EQ(table.headerCount, static_cast<std::uint32_t>(kRows));
    }
    if (table.name == "Empty") {
      EXPECT_EQ(table.headerCount, 0u);
    }
  }

  int calls = 0, last = -1;
  VerifyReport report = VerifyBackup(archive_, [&](const std::string&, int percent) {
    EXPECT_GE(percent, last);
    last = percent;
    ++calls;
  });
  EXPECT_TRUE(report.Sound()) << Problems(report);
  EXPECT_EQ(report.tablesChecked, info.tables.size());
  EXPECT_GE(report.rowsChecked, static_cast<std::uint64_t>(kRows));
  EXPECT_GT(calls, 1);
  EXPECT_EQ(last, 100);
}

TEST_F(BackupInfoTest, AnUncompressedBackupIsStoredAndSound) {
  Save(bmUncompressedTextFile);
  BackupInfo info = InspectBackup(archive_);
  EXPECT_EQ(info.mode, bmUncompressedTextFile);
  for (const BackupMember& member : info.members) {
    EXPECT_EQ(member.method, 0) << member.name;
    EXPECT_EQ(member.size, member.packedSize) << member.name;
  }
  VerifyReport report = VerifyBackup(archive_);
  EXPECT_TRUE(report.Sound()) << Problems(report);
}

TEST_F(BackupInfoTest, ADirectCopyIsCheckedByItsCrcAndTheSqliteHeader) {
  Save(bmDirectCopy);
  BackupInfo info = InspectBackup(archive_);
  EXPECT_EQ(info.mode, bmDirectCopy);
  EXPECT_TRUE(info.tables.empty());
  bool native = false;
  for (const BackupMember& member : info.members) native |= member.role == MemberRole::kNativeCopy;
  EXPECT_TRUE(native);
  EXPECT_TRUE(VerifyBackup(archive_).Sound());

  std::string copy = testing::ReadArchive(archive_)[kNativeBackupMember];
  copy[0] = 'X';
  Replace(kNativeBackupMember, copy);
  VerifyReport damaged = VerifyBackup(archive_);
  EXPECT_FALSE(damaged.Sound());
  EXPECT_THAT(Problems(damaged), HasSubstr("does not start with the SQLite header"));
}

TEST_F(BackupInfoTest, AnEncryptedDirectCopyIsCheckedByItsCrcAndItsWholePages) {
  Save(bmDirectCopy, "Quill-7-Lantern");
  VerifyReport report = VerifyBackup(archive_);
  EXPECT_TRUE(report.Sound()) << Problems(report);
  ASSERT_EQ(report.notes.size(), 1u);
  EXPECT_THAT(report.notes[0], HasSubstr("encrypted"));

  // A copy cut to no whole number of pages is damage, whatever its first bytes.
  std::string copy = testing::ReadArchive(archive_)[kNativeBackupMember];
  Replace(kNativeBackupMember, copy.substr(0, copy.size() - 100));
  EXPECT_THAT(Problems(VerifyBackup(archive_)), HasSubstr("does not start with the SQLite header"));
}

TEST_F(BackupInfoTest, DamageInsideADataFileIsFoundByTableAndRow) {
  Save(bmCompressedTextFile);
  const std::string orders = DataMember("Orders");

  // A field index beyond the table's five columns in the third row; the archive's CRC matches.
  std::string bytes = testing::ReadArchive(archive_)[orders];
  std::size_t field = 0;
  for (int row = 0; row < 3; ++row)
    field = bytes.find(std::string("[\0"
                                   "0\0.\0",
                                   6),
                       field + 1);
  ASSERT_NE(field, std::string::npos);
  bytes[field + 2] = '7';
  Replace(orders, bytes);
  VerifyReport report = VerifyBackup(archive_);
  EXPECT_FALSE(report.Sound());
  // The bad index is met before it can start row 3: the row it is reported in is the one still open.
  EXPECT_THAT(Problems(report), HasSubstr("Orders|2|Table data file " + orders + ", character "));
  EXPECT_THAT(Problems(report), HasSubstr("field index 7 beyond the table's 5 columns"));
}

TEST_F(BackupInfoTest, ValuesThatAreNoValueOfTheirTypeAndALyingHeaderAreFound) {
  Save(bmCompressedTextFile);
  const std::string orders = DataMember("Orders");
  // Row 1 is sound; row 2 holds a date that is none, row 3 a total that is no number; the header claims 9.
  Replace(orders, testing::Utf16File("[9][0.1]1[2.10]2024-01-31[0.1]2[2.5]soon![0.1]3[4.3]1x5[EOF]"));
  VerifyReport report = VerifyBackup(archive_);
  const std::string problems = Problems(report);
  EXPECT_EQ(report.problemCount, 3u) << problems;
  EXPECT_THAT(problems, HasSubstr("Orders|2|column \"Date\" holds \"soon!\""));
  EXPECT_THAT(problems, HasSubstr("Orders|3|column \"Total\" holds \"1x5\""));
  EXPECT_THAT(problems, HasSubstr("Orders|0|the data file's header counts 9 rows, but it holds 3"));
}

// Sizes no engine makes are damage, named by table and column; sizes one engine makes are not.
TEST_F(BackupInfoTest, ColumnSizesNoEngineHoldsAreFound) {
  Save(bmCompressedTextFile);
  const std::string document = testing::ReadArchive(archive_).at(kDocumentMember);
  // The document with attributes of a column replaced: each pair is the text after the column's name.
  auto edited = [&](const std::string& column,
                    const std::vector<std::pair<std::string, std::string>>& edits) {
    std::string text = document;
    const std::size_t at = text.find("Name=\"" + column + "\"");
    for (const auto& [from, to] : edits) {
      const std::size_t found = text.find(from, at);
      if (found == std::string::npos || found > text.find("/>", at))
        ADD_FAILURE() << column << ": " << from;
      else
        text.replace(found, from.size(), to);
    }
    return text;
  };
  Replace(kDocumentMember, edited("Exact", {{"Precision=\"18\"", "Precision=\"5000\""}}));
  EXPECT_TRUE(VerifyBackup(archive_).Sound()) << Problems(VerifyBackup(archive_));

  Replace(kDocumentMember, edited("Exact", {{"Precision=\"18\"", "Precision=\"10\""},
                                            {"NumericScale=\"4\"", "NumericScale=\"11\""}}));
  EXPECT_THAT(
      Problems(VerifyBackup(archive_)),
      HasSubstr("Products|0|column \"Exact\" has sizes no database can make: scale 11 with precision 10"));
  Replace(kDocumentMember, edited("Order Note", {{"DefineSize=\"255\"", "DefineSize=\"-1\""}}));
  EXPECT_THAT(Problems(VerifyBackup(archive_)), HasSubstr("Orders|0|column \"Order Note\" has sizes"));
}

TEST_F(BackupInfoTest, AMissingOrCutDataFileAndABrokenCrcAreFound) {
  Save(bmCompressedTextFile);
  const std::string orders = DataMember("Orders"), customers = DataMember("Customers");
  const std::string saved = folder_ / "saved.vbk";
  std::filesystem::copy_file(archive_, saved);

  Replace(orders, {});
  VerifyReport lost = VerifyBackup(archive_);
  EXPECT_THAT(Problems(lost), HasSubstr("Orders|0|the table's data file " + orders + " is missing"));
  ASSERT_EQ(lost.problemCount, 1u);
  EXPECT_TRUE(lost.problems[0].dataFileMissing);

  std::filesystem::copy_file(saved, archive_, std::filesystem::copy_options::overwrite_existing);
  std::string bytes = testing::ReadArchive(archive_)[orders];
  Replace(orders, bytes.substr(0, bytes.size() / 2));
  EXPECT_THAT(Problems(VerifyBackup(archive_)), HasSubstr("Orders|"));

  // A plain change of the recorded CRC-32: the member's content no longer matches it.
  std::filesystem::copy_file(saved, archive_, std::filesystem::copy_options::overwrite_existing);
  testing::PatchMember(archive_, customers, testing::HeaderField::kCrc, 0x12345678u);
  EXPECT_THAT(Problems(VerifyBackup(archive_)), HasSubstr("Customers|0|"));
  EXPECT_THAT(Problems(VerifyBackup(archive_)), HasSubstr("CRC-32"));

  // A file cut short is no zip archive any more; the check says so instead of failing.
  std::filesystem::copy_file(saved, archive_, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(archive_, std::filesystem::file_size(archive_) * 2 / 3);
  VerifyReport cut = VerifyBackup(archive_);
  EXPECT_FALSE(cut.Sound());
  EXPECT_EQ(cut.problemCount, 1u);
  EXPECT_THROW(InspectBackup(archive_), Error);
}

// A table saved without its rows is marked so in the document, and its missing data file is then no damage;
// another table's is. A backup made before the mark (a reference one) is sound only with such tables named.
TEST_F(BackupInfoTest, ATableSavedWithoutItsRowsIsSoundByItsMarkOrWhenNamed) {
  Save(bmCompressedTextFile, {}, std::vector<std::string>{"Orders"});
  VerifyReport marked = VerifyBackup(archive_);
  EXPECT_TRUE(marked.Sound()) << Problems(marked);
  EXPECT_THAT(marked.notes, ::testing::ElementsAre(HasSubstr("1 table was saved without rows")));
  Replace(DataMember("Customers"), "");
  VerifyReport damaged = VerifyBackup(archive_);
  EXPECT_EQ(damaged.problemCount, 1u) << Problems(damaged);
  EXPECT_THAT(Problems(damaged), HasSubstr("Customers|0|"));

  const std::string older = std::string(VELA_SOURCE_DIR) + "/tests/reference/file-no-data.vbk";
  VerifyReport unnamed = VerifyBackup(older);
  EXPECT_EQ(unnamed.problemCount, 2u) << Problems(unnamed);
  VerifyReport named = VerifyBackup(older, {}, {"AUDIT", "order lines"});
  EXPECT_TRUE(named.Sound()) << Problems(named);
  EXPECT_EQ(named.notes.size(), 2u);
}

// Inspect, verify and the restore find a member by one rule: its exact name. A fixed member or a table data
// file standing twice, equal but for case, could be read as the other one elsewhere: all three refuse it.
TEST_F(BackupInfoTest, TwinMembersEqualButForCaseAreRefusedByInspectVerifyAndRestore) {
  Save(bmCompressedTextFile);
  const testing::Members sound = testing::ReadArchive(archive_);
  const std::string orders = DataMember("Orders");
  auto lower = [](std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
  };
  for (const std::string& twin : {std::string(kDocumentMember), std::string(kModeMember), orders}) {
    SCOPED_TRACE(twin);
    testing::Members members = sound;
    members[lower(twin)] = members[twin];
    testing::WriteArchive(archive_, members);

    EXPECT_THROW(InspectBackup(archive_), Error);
    VerifyReport report = VerifyBackup(archive_);
    EXPECT_FALSE(report.Sound());
    EXPECT_THAT(Problems(report), HasSubstr("more than once"));

    const std::string target = folder_ / "restored.db";
    CBackup backup;
    backup.SetLanguageResources(LanguageResources::English());
    try {
      backup.Restore(FileDatabase(target), archive_);
      ADD_FAILURE() << "the restore read a backup file holding " << twin << " twice";
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kBadFileFormat) << error.Description();
    }
    EXPECT_FALSE(std::filesystem::exists(target));
  }

  // The host's own files may differ only in case, as users' files do.
  testing::Members members = sound;
  members["Report.txt"] = "upper";
  members["report.txt"] = "lower";
  testing::WriteArchive(archive_, members);
  EXPECT_EQ(InspectBackup(archive_).members.size(), sound.size() + 2);
  EXPECT_TRUE(VerifyBackup(archive_).Sound());
}

TEST_F(BackupInfoTest, AnOlderLayoutIsNamedAndNotVerified) {
  testing::WriteArchive(archive_, {{"Tables.xml", "<x/>"}, {"orders.txt", "1"}});
  BackupInfo info = InspectBackup(archive_);
  EXPECT_EQ(info.layout, BackupLayout::kOlder);
  EXPECT_EQ(info.members.size(), 2u);
  VerifyReport report = VerifyBackup(archive_);
  EXPECT_EQ(report.layout, BackupLayout::kOlder);
  EXPECT_FALSE(report.Sound());
}

}  // namespace
}  // namespace vela
