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
  fs::path usb = sys.path() / "devices" / "usb1" / "block" / "sdb";
  WriteFile(usb / "removable", "1\n");
  WriteFile(usb / "sdb1" / "partition", "1\n");
  fs::path fixed = sys.path() / "devices" / "pci0" / "block" / "vda";
  WriteFile(fixed / "removable", "0\n");
  fs::create_directories(sys.path() / "dev" / "block");
  fs::create_directory_symlink(usb, sys.path() / "dev" / "block" / "8:16");
  fs::create_directory_symlink(usb / "sdb1", sys.path() / "dev" / "block" / "8:17");
  fs::create_directory_symlink(fixed, sys.path() / "dev" / "block" / "254:0");

  SystemDrive drive(sys.path());
  EXPECT_TRUE(drive.IsRemovableDevice(makedev(8, 16)));
  EXPECT_TRUE(drive.IsRemovableDevice(makedev(8, 17)));
  EXPECT_FALSE(drive.IsRemovableDevice(makedev(254, 0)));
  EXPECT_FALSE(drive.IsRemovableDevice(makedev(0, 42))) << "a device without an entry (tmpfs, overlay)";
}

TEST(SystemDrive, AnswersForPathsThatDoNotExistYet) {
  TempFolder folder;
  SystemDrive drive;
  fs::path future = folder.path() / "not" / "yet" / "backup.zip";
  EXPECT_EQ(drive.IsRemovable(future), drive.IsRemovable(folder.path()));
  std::optional<std::uint64_t> free = drive.FreeSpace(future);
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
}

// Replacing and keeping an archive is covered through the zip control; what it cannot see is the mode.
TEST(SystemDrive, ArchiveFileKeepsTheModeOfTheFileItReplaces) {
  TempFolder folder;
  fs::path destination = folder.path() / "backup.zip";
  WriteFile(destination, "old");
  ::chmod(destination.c_str(), 0640);
  SystemDrive drive;
  std::error_code error;
  auto file = drive.CreateArchiveFile(destination, error);
  ASSERT_TRUE(file) << error.message();
  std::string content = "new";
  EXPECT_FALSE(file->Write(std::as_bytes(std::span(content))));
  EXPECT_FALSE(file->Commit());
  EXPECT_EQ(ReadFile(destination), "new");
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms(0640));

  EXPECT_FALSE(drive.CreateArchiveFile(folder.path() / "no" / "such" / "folder.zip", error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace vela::zip::test
