#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/zip/ArchiveReader.h"
#include "unit/zip/ZipTestSupport.h"

namespace vela::zip::test {
namespace {

class ZipControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path in = folder.path() / "in";
    files = {in / "big.dat", in / "empty.dat", in / "Ünïcode name.txt"};
    WriteFile(files[0], big);
    WriteFile(files[1], "");
    WriteFile(files[2], "small text");
  }

  // Chunks of 256 KiB so that the 3 MB member crosses many piece joins and progress steps.
  ZipControl Control(ZipEvents* events, const Drive& drive = DefaultDrive()) {
    ZipControl control(events, drive);
    control.SetArchivePath(archive);
    control.SetFiles(files);
    control.SetChunkSize(256 * 1024);
    control.SetThreads(2);
    return control;
  }

  Error PackFailure(ZipEvents* events, const Drive& drive = DefaultDrive()) {
    return Failure([&] { Control(events, drive).Pack(); });
  }

  void ExpectUnpacksToTheInput() {
    UnzipControl unzip;
    unzip.SetArchivePath(archive);
    unzip.SetDestination(folder.path() / "out");
    ASSERT_EQ(unzip.Unpack(), UnzipOutcome::kCompleted);
    EXPECT_EQ(Listing(folder.path() / "out"),
              (std::vector<std::string>{"big.dat", "empty.dat", "Ünïcode name.txt"}));
    EXPECT_EQ(ReadFile(folder.path() / "out" / "big.dat"), big);
    EXPECT_EQ(ReadFile(folder.path() / "out" / "empty.dat"), "");
    EXPECT_EQ(ReadFile(folder.path() / "out" / "Ünïcode name.txt"), "small text");
  }

  // Only the archive (or nothing) may be left beside the inputs: no temporary file survives.
  void ExpectOnly(const std::string& content) { ExpectOnlyArchive(folder.path(), archive, content); }

  TempFolder folder;
  fs::path archive = folder.path() / "backup.zip";
  std::string big = SampleData(3'000'000);
  std::vector<fs::path> files;
};

TEST_F(ZipControlTest, DeflatedAndStoredArchivesUnpackAndReportRisingProgress) {
  for (int level : {9, 0}) {
    SCOPED_TRACE("level " + std::to_string(level));
    Recorder<ZipEvents> events;
    ZipControl control = Control(&events);
    control.SetCompressionLevel(level);
    ASSERT_EQ(control.Pack(), ZipOutcome::kCompleted);
    std::int32_t method = level == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    EXPECT_EQ(Members(archive),
              (std::vector<std::pair<std::string, std::int32_t>>{
                  {"big.dat", method}, {"empty.dat", method}, {"Ünïcode name.txt", method}}));
    EXPECT_LT(fs::file_size(archive), level == 9 ? big.size() * 3 / 4 : big.size() + 1000);
    if (std::system("command -v unzip >/dev/null 2>&1") == 0) {
      EXPECT_EQ(std::system(("unzip -tq '" + archive.string() + "' >/dev/null").c_str()), 0)
          << "unzip -t refuses it";
    }
    ExpectUnpacksToTheInput();
    fs::remove_all(folder.path() / "out");

    std::int32_t last = 0;
    int insideBig = 0;  // a large member reports while it is packed
    for (const StatusEvent& event : events.status) {
      EXPECT_GE(event.major ? event.progress : last, last);
      if (event.major) last = event.progress;
      insideBig += !event.major && event.item == "big.dat" && event.progress > 0 && event.progress < 100;
    }
    EXPECT_EQ(last, 100);
    EXPECT_GE(insideBig, 2);
    EXPECT_TRUE(events.prompts.empty()) << "a fixed disk never prompts";
  }
}

TEST_F(ZipControlTest, StopAtAnyStatusEventLeavesNoArchiveAndKeepsTheOldOne) {
  Recorder<ZipEvents> counter;
  ASSERT_EQ(Control(&counter).Pack(), ZipOutcome::kCompleted);
  std::size_t events = counter.status.size();
  ASSERT_GT(events, 8u);
  for (bool existing : {false, true}) {
    for (std::size_t stopAt = 1; stopAt <= events; ++stopAt) {
      SCOPED_TRACE("stop at event " + std::to_string(stopAt) + (existing ? " over an old archive" : ""));
      fs::remove(archive);
      if (existing) WriteFile(archive, "old backup");
      Recorder<ZipEvents> stopper;
      stopper.stopAt = stopAt;
      EXPECT_EQ(Control(&stopper).Pack(), ZipOutcome::kStopped);
      EXPECT_EQ(stopper.status.size(), stopAt) << "no event after the stop";
      ExpectOnly(existing ? "old backup" : "");
    }
  }
}

TEST_F(ZipControlTest, RenameCallbackNamesTheMemberAndBadInputKeepsTheOldArchive) {
  struct Renamer : ZipEvents {
    void RenameCallback(std::string& name, std::string& path) override {
      if (name == "big.dat") name = newName;
      lastPath = path;
    }
    std::string newName = "{066C4DE0-84D3-4FB9-B7A2-F24DA4609734}";
    std::string lastPath;
  } events;
  ASSERT_EQ(Control(&events).Pack(), ZipOutcome::kCompleted);
  EXPECT_EQ(events.lastPath, files.back().string());
  EXPECT_EQ(Members(archive).front().first, events.newName);

  WriteFile(archive, "old backup");
  std::vector<std::pair<std::string, std::int32_t>> refusals = {{"../big.dat", kInvalidArgument},
                                                                {"/big.dat", kInvalidArgument},
                                                                {"empty.dat", kInvalidArgument},
                                                                {"gone.dat", kFileNotFound}};
  for (const auto& [name, number] : refusals) {
    events.newName = name == "gone.dat" ? "big.dat" : name;
    if (name == "gone.dat") files.push_back(folder.path() / "in" / name);
    SCOPED_TRACE(name);
    Error error = PackFailure(&events);
    EXPECT_EQ(error.Number(), number);
    EXPECT_NE(error.Description().find(name), std::string::npos) << error.Description();
    ExpectOnly("old backup");
  }
}

// Fault injection: every write of the archive fails once in turn; each failure is a clean error that names
// the archive, keeps the old backup and leaves no temporary file.
TEST_F(ZipControlTest, AFailedWriteAtAnyPointKeepsTheOldArchive) {
  files.erase(files.begin());  // small archive, few writes
  FakeDrive drive;
  for (int failAt = 1;; ++failAt) {
    SCOPED_TRACE("write " + std::to_string(failAt) + " fails");
    WriteFile(archive, "old backup");
    drive.failWriteAt = failAt;
    try {
      ASSERT_EQ(Control(nullptr, drive).Pack(), ZipOutcome::kCompleted);
      EXPECT_GT(failAt, 2);
      EXPECT_EQ(Members(archive).size(), 2u);
      break;
    } catch (const Error& error) {
      EXPECT_EQ(error.Number(), kPathAccess);
      EXPECT_NE(error.Description().find(archive.string()), std::string::npos) << error.Description();
      ExpectOnly("old backup");
    }
    ASSERT_LT(failAt, 100);
  }
}

TEST_F(ZipControlTest, FullRemovableDiskPromptsUntilCancelled) {
  FakeDrive drive;
  drive.removable = true;
  drive.freeSpace = 0;
  Recorder<ZipEvents> events;
  events.replies = {kReplyOk, kReplyCancel};
  EXPECT_EQ(Control(&events, drive).Pack(), ZipOutcome::kStopped);
  using Prompt = std::vector<std::int32_t>;
  EXPECT_EQ(events.prompts, (std::vector<Prompt>{{kDiskWanted, kDiskPromptStyle, kFirstDisk, kReplyOk},
                                                 {kDiskWanted, kDiskPromptStyle, kFirstDisk, kReplyOk}}));
  EXPECT_EQ(drive.created, 0) << "nothing is written to a full disk";
  ExpectOnly("");

  events = {};  // a host that never cancels gets a clear failure in the end
  EXPECT_EQ(PackFailure(&events, drive).Number(), kDiskFull);
  EXPECT_EQ(events.prompts.size(), static_cast<std::size_t>(kMaxDiskPrompts));
}

TEST_F(ZipControlTest, DiskFilledDuringWritingAsksForAnotherDisk) {
  FakeDrive drive;
  drive.removable = true;
  drive.failWith = std::make_error_code(std::errc::no_space_on_device);
  Recorder<ZipEvents> events;
  events.onPrompt = [&] {
    if (events.prompts.size() == 1) drive.failWriteAt = 3;  // the first disk fills up
  };
  ASSERT_EQ(Control(&events, drive).Pack(), ZipOutcome::kCompleted);
  EXPECT_EQ(events.prompts.size(), 2u);
  EXPECT_EQ(drive.created, 2);
  ExpectUnpacksToTheInput();

  fs::remove(archive);
  events = {};
  events.replies = {kReplyOk, kReplyCancel};
  events.onPrompt = [&] { drive.failWriteAt = 3; };
  EXPECT_EQ(Control(&events, drive).Pack(), ZipOutcome::kStopped);
  ExpectOnly("");

  drive.removable = false;  // a full fixed disk is a failure, without a prompt
  drive.failWriteAt = 3;
  events = {};
  EXPECT_EQ(PackFailure(&events, drive).Number(), kDiskFull);
  EXPECT_TRUE(events.prompts.empty());
}

TEST(FileList, ParsesTheQuotedListAndRefusesAnythingElse) {
  EXPECT_EQ(ParseFileList("\"/w/a b\" \"/w/c\" \"/w/{E5D9691B}\""),
            (std::vector<fs::path>{"/w/a b", "/w/c", "/w/{E5D9691B}"}));
  EXPECT_EQ(ParseFileList(QuoteFileListEntry("/x/1") + QuoteFileListEntry("/x/2")),
            (std::vector<fs::path>{"/x/1", "/x/2"}));
  EXPECT_TRUE(ParseFileList("").empty());
  for (std::string bad : {"/w/a", "\"/w/a\" x", "\"/w/a", "\"\""}) {
    EXPECT_THROW(ParseFileList(bad), Error) << bad;
  }
}

// With a password every member is AES-256 (WinZip AE-2): nothing of the files shows in the archive's bytes,
// our reader and the unzip control read it back only with that password, refusing none or a wrong one with
// kArchivePassword before anything is written, and an independent reader (bsdtar, 7-Zip) opens it too.
TEST_F(ZipControlTest, AnEncryptedArchiveOpensOnlyWithItsPassword) {
  for (int level : {9, 0}) {
    SCOPED_TRACE("level " + std::to_string(level));
    ZipControl control = Control(nullptr);
    control.SetCompressionLevel(level);
    control.SetPassword("Ox8 Treasure");
    ASSERT_EQ(control.Pack(), ZipOutcome::kCompleted);
    const std::string raw = ReadFile(archive);
    EXPECT_EQ(raw.find("small text"), std::string::npos);
    EXPECT_EQ(raw.find(big.substr(100'000, 64)), std::string::npos);
    {
      // The AE-2 extra field (0x9901): vendor version 2, "AE", strength 3 (AES-256), method.
      const std::string field = std::string("\x01\x99\x07\x00\x02\x00", 6) + "AE\x03";
      EXPECT_NE(raw.find(field), std::string::npos);
    }

    ArchiveReader locked(archive);
    EXPECT_TRUE(locked.Locked());
    EXPECT_EQ(locked.Members().size(), 3u);
    EXPECT_EQ(Failure([&] { locked.Read(locked.Members()[2], [](const char*, std::size_t) {}); }).Number(),
              kArchivePassword);
    EXPECT_EQ(Failure([&] { ArchiveReader(archive, {}, "wrong"); }).Number(), kArchivePassword);
    ArchiveReader reader(archive, {}, "Ox8 Treasure");
    std::string text;
    reader.Read(*reader.Find("Ünïcode name.txt"),
                [&](const char* data, std::size_t size) { text.append(data, size); });
    EXPECT_EQ(text, "small text");

    for (const char* password : {"", "wrong"}) {
      UnzipControl unzip;
      unzip.SetArchivePath(archive);
      unzip.SetDestination(folder.path() / "out");
      unzip.SetPassword(password);
      const Error refused = Failure([&] { unzip.Unpack(); });
      EXPECT_EQ(refused.Number(), kArchivePassword) << refused.Description();
      EXPECT_FALSE(fs::exists(folder.path() / "out"));
    }
    UnzipControl unzip;
    unzip.SetArchivePath(archive);
    unzip.SetDestination(folder.path() / "out");
    unzip.SetPassword("Ox8 Treasure");
    ASSERT_EQ(unzip.Unpack(), UnzipOutcome::kCompleted);
    EXPECT_TRUE(unzip.Encrypted());
    EXPECT_EQ(ReadFile(folder.path() / "out" / "big.dat"), big);
    EXPECT_EQ(ReadFile(folder.path() / "out" / "Ünïcode name.txt"), "small text");
    fs::remove_all(folder.path() / "out");

    const std::string quoted = "'" + archive.string() + "'";
    const fs::path other = folder.path() / "other.dat";
    if (std::system("command -v bsdtar >/dev/null 2>&1") == 0) {
      EXPECT_EQ(std::system(("bsdtar --passphrase 'Ox8 Treasure' -xOf " + quoted + " big.dat >'" +
                             other.string() + "'")
                                .c_str()),
                0);
      EXPECT_EQ(ReadFile(other), big);
    }
    if (std::system("command -v 7z >/dev/null 2>&1") == 0) {
      EXPECT_EQ(std::system(
                    ("7z e -so '-pOx8 Treasure' " + quoted + " big.dat >'" + other.string() + "' 2>/dev/null")
                        .c_str()),
                0);
      EXPECT_EQ(ReadFile(other), big);
    }
    fs::remove(other);
  }
}

}  // namespace
}  // namespace vela::zip::test
