// A restore reads each table data file where it lies in the backup file: the work folder never holds one,
// while the files the host's events hand over are there when the events come; a damaged data member fails
// its table as a damaged data file does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "Sample.h"
#include "platform/zip/ArchiveReader.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/Describe.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using testing::FileDatabase;
using ::testing::HasSubstr;

class RestoreStream : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
  }

  void Save(BackupModeEnum mode, const std::string& password = {}) {
    cli::MakeSampleDatabase(source_, 300);
    auto connection = data::OpenConnection(source_);
    CBackup saver;
    saver.SetBackupMode(mode);
    saver.SetArchivePassword(password);
    ASSERT_TRUE(saver.Save(*connection, archive_));
  }
  bool Run(const std::string& password = {}) {
    fs::remove(target_);
    backup_.SetArchivePassword(password);
    return backup_.Restore(FileDatabase(target_), archive_);
  }
  // The members that are table data files: all but the document, mode and provider files.
  std::set<std::string> DataMembers() const {
    std::set<std::string> names;
    const zip::ArchiveReader archive(archive_);
    for (const zip::MemberStat& member : archive.Members())
      if (const std::string& name = member.name;
          name != kDocumentMember && name != kModeMember && name != kProviderMember)
        names.insert(name);
    return names;
  }
  std::set<std::string> WorkFiles() const {
    std::set<std::string> names;
    std::error_code ignored;
    if (!services_->last.empty() && fs::exists(services_->last, ignored))
      for (const auto& entry : fs::recursive_directory_iterator(services_->last, ignored))
        names.insert(entry.path().filename().string());
    return names;
  }
  std::string FailureOf() {
    return testing::Failure([&] { Run(); }).Description();
  }

  testing::TempFolder folder_;
  std::string source_ = FileDatabase(folder_ / "source.db");
  std::string archive_ = folder_ / "backup.zip";
  std::string target_ = folder_ / "target.db";
  std::shared_ptr<testing::WatchedWorkFolder> services_ = std::make_shared<testing::WatchedWorkFolder>();
  CBackup backup_{services_};
  testing::EventRecorder events_;
};

TEST_F(RestoreStream, NoDataFileReachesTheWorkFolderAndTheRowsComeBack) {
  for (const std::string password : {"", "Shelf 7, second row"}) {
    Save(bmCompressedTextFile, password);
    const std::set<std::string> data = DataMembers();
    ASSERT_FALSE(data.empty());
    std::set<std::string> seen;
    bool handedOver = false;
    events_ = testing::EventRecorder{};
    events_.then = [&](testing::EventRecorder::Kind kind, std::int32_t*) {
      const std::set<std::string> files = WorkFiles();
      seen.insert(files.begin(), files.end());
      if (kind == testing::EventRecorder::kAdditional)
        handedOver = files.contains(kDocumentMember) && files.contains(kModeMember);
    };
    ASSERT_TRUE(Run(password)) << password;
    for (const std::string& name : data) EXPECT_FALSE(seen.contains(name)) << name;
    EXPECT_TRUE(seen.contains(kDocumentMember));
    EXPECT_TRUE(handedOver) << "the restore folder is handed over without the document and mode files";
    std::vector<std::string> saved = testing::Describe(source_);
    std::erase_if(saved,
                  [](const std::string& line) { return line.find("AllowNewConnection") != line.npos; });
    // An encrypted backup makes a file protected with its password.
    const std::string restored =
        FileDatabase(target_) + (password.empty() ? "" : ";Jet OLEDB:Database Password=" + password);
    EXPECT_TRUE(testing::Describe(restored) == saved) << password;  // the save leaves that row out
    fs::remove(fs::path(folder_ / "source.db"));
  }
}

// A flipped byte shows at the member's end (its CRC-32); a member shorter or longer than it declares where
// the read comes to it (shorter: libzip's own check of a stored member). Each fails the table with the
// damage named, and leaves no database behind.
TEST_F(RestoreStream, ADamagedDataMemberFailsItsTable) {
  Save(bmUncompressedTextFile);  // stored: the member's bytes lie in the file as they are
  // The largest member: the Measurements table, whose labels read "sensor-N".
  const testing::Members members = testing::ReadArchive(archive_);
  std::string member;
  for (const std::string& name : DataMembers())
    if (member.empty() || members.at(name).size() > members.at(member).size()) member = name;
  const std::string& content = members.at(member);
  std::string original;
  {
    std::ifstream in(archive_, std::ios::binary);
    original.assign(std::istreambuf_iterator<char>(in), {});
  }
  // A letter of a value, which leaves the file readable: only the CRC-32 tells.
  const std::size_t letter =
      original.find(content) + content.find(testing::Utf16File("sensor-").substr(2), content.size() / 2);
  const auto write = [&](const std::string& bytes) {
    std::ofstream(archive_, std::ios::binary | std::ios::trunc) << bytes;
  };
  const struct {
    std::int64_t sizeChange;  // 0: the letter flipped
    const char* expect;
  } cases[] = {{0, "fails its CRC-32 check"}, {64, ""}, {-64, "holds more than"}};
  for (const auto& c : cases) {
    std::string bytes = original;
    if (c.sizeChange == 0) bytes[letter] ^= 0x01;
    write(bytes);
    if (c.sizeChange != 0)
      testing::PatchMember(
          archive_, member, testing::HeaderField::kSize,
          static_cast<std::uint32_t>(static_cast<std::int64_t>(content.size()) + c.sizeChange));
    const std::string failure = FailureOf();
    EXPECT_THAT(failure, HasSubstr("is damaged: member '" + member + "'")) << c.sizeChange;
    EXPECT_THAT(failure, HasSubstr(c.expect)) << c.sizeChange;
    EXPECT_THAT(failure, HasSubstr("(VelaBackup.CBackup.RestoreData [")) << c.sizeChange;
    EXPECT_FALSE(fs::exists(target_)) << c.sizeChange;
  }
  write(original);
  EXPECT_TRUE(Run());
}

}  // namespace
}  // namespace vela
