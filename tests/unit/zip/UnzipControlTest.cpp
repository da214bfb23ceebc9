#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/Archives.h"
#include "unit/zip/ZipTestSupport.h"

namespace vela::zip::test {
namespace {

struct Entry {
  std::string name;
  std::string content;
  zip_uint32_t unixMode = 0;  // 0: leave libzip's default attributes
};

// Writes an archive with whatever names it is given, as a hostile tool would.
void MakeArchive(const fs::path& path, const std::vector<Entry>& entries) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (const Entry& entry : entries) {
    zip_source_t* source = zip_source_buffer(zip, entry.content.data(), entry.content.size(), 0);
    zip_int64_t index = zip_file_add(zip, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    ASSERT_GE(index, 0) << entry.name;
    if (entry.unixMode != 0)
      zip_file_set_external_attributes(zip, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                       entry.unixMode << 16);
  }
  ASSERT_EQ(zip_close(zip), 0);
}

class UnzipControlTest : public ::testing::Test {
 protected:
  UnzipControl Control(UnzipEvents* events, const Drive& drive = DefaultDrive()) {
    UnzipControl control(events, drive);
    control.SetArchivePath(archive);
    control.SetDestination(destination);
    return control;
  }

  Error UnpackFailure(UnzipEvents* events) {
    return Failure([&] { Control(events).Unpack(); });
  }

  TempFolder folder;
  fs::path archive = folder.path() / "backup.zip";
  fs::path destination = folder.path() / "work";
};

TEST_F(UnzipControlTest, WritesFoldersAndFilesAndReportsTheirTargets) {
  std::string big = SampleData(2'500'000);
  MakeArchive(archive, {{"{622494E8-4265-4A3E-81A7-8E785532AC06}", "<Database/>"},
                        {"sub/", ""},
                        {"sub/deeper/big.dat", big},
                        {"./dot.txt", "dot"}});
  struct Events : Recorder<UnzipEvents> {
    void RenameCallback(std::string& target) override {
      targets.push_back(target);
      if (target.ends_with("dot.txt")) target = (fs::path(target).parent_path() / "renamed.txt").string();
    }
    std::vector<std::string> targets;
  } events;
  ASSERT_EQ(Control(&events).Unpack(), UnzipOutcome::kCompleted);
  EXPECT_EQ(Listing(destination),
            (std::vector<std::string>{"renamed.txt", "sub", "sub/deeper", "sub/deeper/big.dat",
                                      "{622494E8-4265-4A3E-81A7-8E785532AC06}"}));
  EXPECT_EQ(ReadFile(destination / "sub" / "deeper" / "big.dat"), big);
  EXPECT_EQ(events.targets.front(), (destination / "{622494E8-4265-4A3E-81A7-8E785532AC06}").string());
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(destination / "sub").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(destination / "sub" / "deeper" / "big.dat").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  std::int32_t last = 0;
  int piecesOfBig = 0;
  for (const StatusEvent& event : events.status) {
    if (event.major) {
      EXPECT_GE(event.progress, last);
      last = event.progress;
    }
    if (!event.major && event.item == "sub/deeper/big.dat" && event.progress > 0 && event.progress < 100)
      ++piecesOfBig;
  }
  EXPECT_EQ(last, 100);
  EXPECT_GE(piecesOfBig, 2);

  struct Escaper : UnzipEvents {
    void RenameCallback(std::string& target) override {
      target = (fs::path(target).parent_path() / ".." / "x").string();
    }
  } escaper;
  EXPECT_EQ(UnpackFailure(&escaper).Number(), kUnsafeMember);
  EXPECT_FALSE(fs::exists(folder.path() / "x"));
}

TEST_F(UnzipControlTest, HostileNamesRefuseTheWholeArchive) {
  fs::create_directories(folder.path() / "outside");
  const std::vector<Entry> hostile = {
      {"../x", "x"}, {"/tmp/vela-zip-absolute-x", "x"}, {"a/../../x", "x"}, {"C:\\x", "x"}, {"..\\x", "x"},
      {"C:x", "x"},  {"ln", "../x", S_IFLNK | 0777}};
  for (const Entry& entry : hostile) {
    SCOPED_TRACE(entry.name);
    MakeArchive(archive, {{"good.txt", "fine"}, entry});
    Error error = UnpackFailure(nullptr);
    EXPECT_EQ(error.Number(), kUnsafeMember);
    EXPECT_NE(error.Description().find("'" + entry.name + "'"), std::string::npos) << error.Description();
    EXPECT_FALSE(fs::exists(destination)) << "nothing is written, not even the good member";
    EXPECT_FALSE(fs::exists(folder.path() / "x"));
    EXPECT_FALSE(fs::exists("/tmp/vela-zip-absolute-x"));
  }
  // A symbolic link already in the destination does not lead a member out of it either.
  fs::create_directories(destination);
  fs::create_directory_symlink(folder.path() / "outside", destination / "link");
  MakeArchive(archive, {{"link/x", "x"}});
  EXPECT_EQ(UnpackFailure(nullptr).Number(), kUnsafeMember);
  EXPECT_TRUE(fs::is_empty(folder.path() / "outside"));
}

TEST_F(UnzipControlTest, EachKindOfBadFileHasItsOwnClearError) {
  auto expectFailure = [&](std::int32_t number, const std::string& what) {
    SCOPED_TRACE(what);
    Error error = UnpackFailure(nullptr);
    EXPECT_EQ(error.Number(), number);
    EXPECT_NE(error.Description().find(archive.string()), std::string::npos) << error.Description();
  };
  expectFailure(kArchiveNotFound, "missing");
  fs::create_directories(archive);
  expectFailure(kArchiveUnreadable, "a folder");
  fs::remove(archive);
  WriteFile(archive, "");
  expectFailure(kNotZipArchive, "empty");
  WriteFile(archive, "[2][0.1]1[EOF] this is an older layout, not a zip");
  expectFailure(kNotZipArchive, "garbage");

  MakeArchive(archive, {{"a.txt", SampleData(100'000)}, {"b.txt", "bbb"}});
  std::string whole = ReadFile(archive);
  WriteFile(archive, whole.substr(0, whole.size() / 2));
  expectFailure(kDamagedArchive, "truncated");
  EXPECT_NE(UnpackFailure(nullptr).Description().find("cut short after " + std::to_string(whole.size() / 2) +
                                                      " bytes"),
            std::string::npos);
  std::string damaged = whole;
  damaged[damaged.size() / 3] = static_cast<char>(damaged[damaged.size() / 3] ^ 0x55);  // inside a.txt's data
  WriteFile(archive, damaged);
  expectFailure(kDamagedArchive, "a flipped byte");
}

TEST_F(UnzipControlTest, AMemberIsHeldToItsDeclaredSize) {
  using vela::testing::HeaderField;
  using vela::testing::PatchMember;
  // 4 MB of easy text that claims 1,000 bytes: stopped before byte 1,001 reaches the disk.
  MakeArchive(archive, {{"a.txt", "aaa"}, {"bomb.dat", std::string(4'000'000, 'x')}});
  PatchMember(archive.string(), "bomb.dat", HeaderField::kSize, 1000);
  Error error = UnpackFailure(nullptr);
  EXPECT_EQ(error.Number(), kDamagedArchive);
  EXPECT_THAT(error.Description(), ::testing::HasSubstr("member 'bomb.dat' holds more than the 1000 bytes"));
  EXPECT_LE(fs::file_size(destination / "bomb.dat"), 1000u);

  // A member that ends early is as damaged as one that runs on.
  MakeArchive(archive, {{"short.dat", std::string(500, 'y')}});
  PatchMember(archive.string(), "short.dat", HeaderField::kSize, 1000);
  EXPECT_THAT(UnpackFailure(nullptr).Description(),
              ::testing::HasSubstr("member 'short.dat' holds 500 bytes, not the 1000 it declares"));
}

TEST_F(UnzipControlTest, AMemberWhoseContentsFailTheirCrcIsRefused) {
  MakeArchive(archive, {{"a.txt", "aaa"}, {"b.txt", SampleData(50'000)}});
  vela::testing::PatchMember(archive.string(), "b.txt", vela::testing::HeaderField::kCrc, 0x12345678);
  Error error = UnpackFailure(nullptr);
  EXPECT_EQ(error.Number(), kDamagedArchive);
  EXPECT_THAT(error.Description(), ::testing::HasSubstr("member 'b.txt' fails its CRC-32 check"));
}

TEST_F(UnzipControlTest, MemberCountAndDeclaredBytesAreCappedBeforeAnythingIsWritten) {
  MakeArchive(archive,
              {{"a.txt", std::string(3000, 'a')}, {"b.txt", std::string(3000, 'b')}, {"c.txt", "c"}});
  auto refusal = [&](const UnpackLimits& limits, const Drive& drive) {
    UnzipControl control = Control(nullptr, drive);
    control.SetLimits(limits);
    Error error = Failure([&] { control.Unpack(); });
    EXPECT_FALSE(fs::exists(destination)) << "nothing is written";
    return error;
  };
  FakeDrive roomy;
  Error tooMany = refusal({.members = 2}, roomy);
  EXPECT_EQ(tooMany.Number(), kDamagedArchive);
  EXPECT_THAT(tooMany.Description(),
              ::testing::HasSubstr("it holds 3 members, more than the 2 a backup may hold (member 'c.txt'"));

  Error tooBig = refusal({.bytes = 5000}, roomy);
  EXPECT_EQ(tooBig.Number(), kDamagedArchive);
  EXPECT_THAT(tooBig.Description(),
              ::testing::HasSubstr("with the member 'b.txt' its members declare more than 5000 bytes"));

  FakeDrive small;
  small.freeSpace = 5000;
  Error noRoom = refusal({}, small);
  EXPECT_EQ(noRoom.Number(), kDiskFull);
  EXPECT_THAT(
      noRoom.Description(),
      ::testing::HasSubstr("with the member 'b.txt' its members declare 6000 bytes, more than the 5000"));
}

TEST_F(UnzipControlTest, StopKeepsWhatWasWritten) {
  MakeArchive(archive, {{"first.txt", "1"}, {"second.dat", SampleData(3'000'000)}, {"third.txt", "3"}});
  Recorder<UnzipEvents> events;
  events.stopAt = 5;  // inside second.dat
  EXPECT_EQ(Control(&events).Unpack(), UnzipOutcome::kStopped);
  EXPECT_EQ(events.status.size(), 5u);
  EXPECT_EQ(events.status.back().item, "second.dat");
  EXPECT_EQ(ReadFile(destination / "first.txt"), "1");
  EXPECT_FALSE(fs::exists(destination / "third.txt"));
}

TEST_F(UnzipControlTest, MissingArchiveOnRemovableMediaAsksForTheDisk) {
  FakeDrive drive;
  drive.removable = true;
  Recorder<UnzipEvents> events;
  events.onPrompt = [&] { MakeArchive(archive, {{"a.txt", "a"}}); };  // the user inserts the disk
  ASSERT_EQ(Control(&events, drive).Unpack(), UnzipOutcome::kCompleted);
  EXPECT_EQ(events.prompts,
            (std::vector<std::vector<std::int32_t>>{{kDiskWanted, kDiskPromptStyle, 0, kReplyOk}}));
  EXPECT_EQ(ReadFile(destination / "a.txt"), "a");

  fs::remove(archive);
  events = {};
  events.replies = {kReplyCancel};
  EXPECT_EQ(Control(&events, drive).Unpack(), UnzipOutcome::kStopped);
}

}  // namespace
}  // namespace vela::zip::test
