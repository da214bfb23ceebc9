// Packing while the last members are written: the archive, the events and every way of ending early must be
// those of packing the same bytes from files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "unit/zip/ZipTestSupport.h"

namespace vela::zip::test {
namespace {

class ZipWritingTest : public ::testing::Test {
 protected:
  // Chunks of 64 KiB: the large member crosses many of them, one member ends exactly on a boundary.
  static constexpr std::size_t kChunk = 64 * 1024;

  void SetUp() override {
    WriteFile(folder.path() / "in" / "host.txt", "the host's own file");
    contents = {SampleData(5 * kChunk + 123), SampleData(2 * kChunk, 3), "", "<document/>"};
    for (std::size_t i = 0; i < contents.size(); ++i)
      written.push_back(folder.path() / "work" / ("member" + std::to_string(i)));
  }

  ZipControl Control(ZipEvents* events, int level, const Drive& drive = DefaultDrive()) {
    ZipControl control(events, drive);
    control.SetArchivePath(archive);
    control.SetFiles({folder.path() / "in" / "host.txt"});
    control.SetChunkSize(kChunk);
    control.SetThreads(2);
    control.SetCompressionLevel(level);
    return control;
  }

  // Writes the members in uneven pieces, as the table data file writer flushes them.
  static void WriteAll(ZipWriting& writing, const std::vector<std::string>& contents,
                       std::size_t upTo = ~0u) {
    for (std::size_t i = 0; i < contents.size(); ++i) {
      std::string_view rest = contents[i];
      while (!rest.empty()) {
        if (upTo == 0) return;
        --upTo;
        std::string_view piece = rest.substr(0, 40'000);
        writing.Member(i).Write(std::as_bytes(std::span(piece.data(), piece.size())));
        rest.remove_prefix(piece.size());
      }
      writing.EndMember(i);
    }
  }

  void ExpectOnly(const std::string& content) { ExpectOnlyArchive(folder.path(), archive, content); }

  TempFolder folder;
  fs::path archive = folder.path() / "backup.zip";
  std::vector<std::string> contents;
  std::vector<fs::path> written;
};

TEST_F(ZipWritingTest, WrittenMembersPackAndReportAsTheSameFilesDo) {
  for (int level : {9, 0}) {
    for (const char* password : {"", "secret"}) {
      SCOPED_TRACE("level " + std::to_string(level) + (*password ? " encrypted" : ""));
      Recorder<ZipEvents> whileWriting;
      ZipControl control = Control(&whileWriting, level);
      control.SetPassword(password);
      std::unique_ptr<ZipWriting> writing = control.Begin(written);
      WriteAll(*writing, contents);
      ASSERT_EQ(writing->Finish(), ZipOutcome::kCompleted);
      writing.reset();
      if (std::system("command -v unzip >/dev/null 2>&1") == 0 && *password == '\0') {
        EXPECT_EQ(std::system(("unzip -tq '" + archive.string() + "' >/dev/null").c_str()), 0);
      }

      UnzipControl unzip;
      unzip.SetArchivePath(archive);
      unzip.SetDestination(folder.path() / "out");
      unzip.SetPassword(password);
      ASSERT_EQ(unzip.Unpack(), UnzipOutcome::kCompleted);
      for (std::size_t i = 0; i < contents.size(); ++i)
        EXPECT_EQ(ReadFile(folder.path() / "out" / written[i].filename()), contents[i]) << i;
      EXPECT_EQ(ReadFile(folder.path() / "out" / "host.txt"), "the host's own file");
      fs::remove_all(folder.path() / "out");

      // The same bytes packed from files raise the same events.
      for (std::size_t i = 0; i < contents.size(); ++i) WriteFile(written[i], contents[i]);
      Recorder<ZipEvents> fromFiles;
      ZipControl files = Control(&fromFiles, level);
      std::vector<fs::path> all{folder.path() / "in" / "host.txt"};
      all.insert(all.end(), written.begin(), written.end());
      files.SetFiles(all);
      ASSERT_EQ(files.Pack(), ZipOutcome::kCompleted);
      fs::remove_all(folder.path() / "work");
      ASSERT_EQ(whileWriting.status.size(), fromFiles.status.size());
      for (std::size_t i = 0; i < fromFiles.status.size(); ++i) {
        EXPECT_EQ(whileWriting.status[i].major, fromFiles.status[i].major) << i;
        EXPECT_EQ(whileWriting.status[i].item, fromFiles.status[i].item) << i;
        EXPECT_EQ(whileWriting.status[i].progress, fromFiles.status[i].progress) << i;
      }
    }
  }
}

// A stop at any event, a writer that gives up part way, and a write of the archive that fails at any point
// all keep the earlier archive and leave nothing beside it.
TEST_F(ZipWritingTest, EveryEarlyEndKeepsTheEarlierArchive) {
  Recorder<ZipEvents> counter;
  {
    ZipControl control = Control(&counter, 9);
    auto writing = control.Begin(written);
    WriteAll(*writing, contents);
    ASSERT_EQ(writing->Finish(), ZipOutcome::kCompleted);
  }
  for (std::size_t stopAt = 1; stopAt <= counter.status.size(); ++stopAt) {
    SCOPED_TRACE("stop at event " + std::to_string(stopAt));
    WriteFile(archive, "old backup");
    Recorder<ZipEvents> stopper;
    stopper.stopAt = stopAt;
    ZipControl control = Control(&stopper, 9);
    auto writing = control.Begin(written);
    WriteAll(*writing, contents);
    EXPECT_EQ(writing->Finish(), ZipOutcome::kStopped);
    EXPECT_EQ(stopper.status.size(), stopAt) << "no event after the stop";
    writing.reset();
    ExpectOnly("old backup");
  }
  for (std::size_t pieces : {0, 1, 3, 7}) {
    SCOPED_TRACE("the writer gives up after " + std::to_string(pieces) + " pieces");
    ZipControl control = Control(nullptr, 9);
    auto writing = control.Begin(written);
    WriteAll(*writing, contents, pieces);
    writing.reset();
    ExpectOnly("old backup");
  }

  FakeDrive drive;
  for (int failAt = 1;; ++failAt) {
    SCOPED_TRACE("write " + std::to_string(failAt) + " fails");
    drive.failWriteAt = failAt;
    drive.failWith = std::make_error_code(failAt % 2 ? std::errc::io_error : std::errc::no_space_on_device);
    ZipControl control = Control(nullptr, 9, drive);
    try {
      auto writing = control.Begin(written);
      WriteAll(*writing, contents);
      ASSERT_EQ(writing->Finish(), ZipOutcome::kCompleted);
      EXPECT_GT(failAt, 2);
      EXPECT_EQ(Members(archive).size(), contents.size() + 1);
      break;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), failAt % 2 ? kPathAccess : kDiskFull) << error.Description();
      EXPECT_NE(error.Description().find(archive.string()), std::string::npos) << error.Description();
      ExpectOnly("old backup");
    }
    ASSERT_LT(failAt, 200);
  }
}

TEST_F(ZipWritingTest, RemovableMediaAMissingFolderAndMembersOutOfOrderAreRefused) {
  archive = folder.path() / "missing" / "backup.zip";  // refused before any member is written
  EXPECT_EQ(Failure([&] { Control(nullptr, 9).Begin(written); }).Number(), kPathAccess);
  archive = folder.path() / "backup.zip";

  FakeDrive drive;
  drive.removable = true;
  EXPECT_FALSE(Control(nullptr, 9, drive).CanPackWhileWriting());
  EXPECT_EQ(Failure([&] { Control(nullptr, 9, drive).Begin(written); }).Number(), kInvalidArgument);

  ZipControl control = Control(nullptr, 9);
  auto writing = control.Begin(written);
  EXPECT_EQ(Failure([&] { writing->Member(1); }).Number(), kInvalidArgument);
  EXPECT_EQ(Failure([&] { writing->Finish(); }).Number(), kInvalidArgument);
  writing.reset();
  ExpectOnly("");
}

}  // namespace
}  // namespace vela::zip::test
