#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "unit/zip/ZipTestSupport.h"

namespace vela::zip::test {
namespace {

// A /sys tree as the kernel lays it out: /sys/dev/block/<major>:<minor> links to the device folder, and a
// partition's folder lies inside its disk's folder and has no "removable" flag of its own.
TEST(SystemDrive, ReadsTheRemovableFlagOfTheDiskHoldingAPartition) {
  TempFolder sys;
  fs::path usb = sys / "devices" / "usb1" / "block" / "sdb";
  WriteFile(usb / "removable", "1\n");
  WriteFile(usb / "sdb1" / "partition", "1\n");
  fs::path fixed = sys / "devices" / "pci0" / "block" / "vda";
  WriteFile(fixed / "removable", "0\n");
  fs::create_directories(sys / "dev" / "block");
  fs::create_directory_symlink(usb, sys / "dev" / "block" / "8:16");
  fs::create_directory_symlink(usb / "sdb1", sys / "dev" / "block" / "8:17");
  fs::create_directory_symlink(fixed, sys / "dev" / "block" / "254:0");

  SystemDrive drive(sys.Path());
  EXPECT_TRUE(drive.IsRemovableDevice(makedev(8, 16)));
  EXPECT_TRUE(drive.IsRemovableDevice(makedev(8, 17)));
  EXPECT_FALSE(drive.IsRemovableDevice(makedev(254, 0)));
  EXPECT_FALSE(drive.IsRemovableDevice(makedev(0, 42))) << "a device without an entry (tmpfs, overlay)";
}

TEST(SystemDrive, AnswersForPathsThatDoNotExistYet) {
  TempFolder folder;
  SystemDrive drive;
  fs::path future = folder / "not" / "yet" / "backup.zip";
  EXPECT_EQ(drive.IsRemovable(future), drive.IsRemovable(folder.Path()));
  std::optional<std::uint64_t> free = drive.FreeSpace(future);
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
}

TEST(SystemDrive, ArchiveFileReplacesTheDestinationOnlyOnCommit) {
  TempFolder folder;
  fs::path destination = folder / "backup.zip";
  WriteFile(destination, "old");
  ::chmod(destination.c_str(), 0640);
  SystemDrive drive;
  std::error_code error;

  auto abandoned = drive.CreateArchiveFile(destination, error);
  ASSERT_TRUE(abandoned) << error.message();
  std::string big(600 * 1024, 'x');  // larger than the write buffer
  EXPECT_FALSE(abandoned->Write(std::as_bytes(std::span(big))));
  abandoned.reset();  // destroyed without a commit
  EXPECT_EQ(Listing(folder.Path()), std::vector<std::string>{"backup.zip"});
  EXPECT_EQ(ReadFile(destination), "old");

  auto file = drive.CreateArchiveFile(destination, error);
  ASSERT_TRUE(file);
  std::string head = "HEAD";
  std::string body = "body!";
  EXPECT_FALSE(file->Write(std::as_bytes(std::span(head))));
  EXPECT_FALSE(file->Write(std::as_bytes(std::span(body))));
  EXPECT_EQ(file->Tell(), 9u);
  EXPECT_FALSE(file->Seek(0));
  std::string patch = "head";
  EXPECT_FALSE(file->Write(std::as_bytes(std::span(patch))));
  EXPECT_FALSE(file->Commit());
  EXPECT_EQ(ReadFile(destination), "headbody!");
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms(0640)) << "a replaced archive keeps its mode";
  EXPECT_EQ(Listing(folder.Path()), std::vector<std::string>{"backup.zip"});

  EXPECT_FALSE(drive.CreateArchiveFile(folder / "no" / "such" / "folder.zip", error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace vela::zip::test
