// The host's say over a file it replaces and a direct copy it checks: --allow-plain over a protected
// target, and verify with the password of a protected copy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/Archives.h"
#include "support/HostRun.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::Host;
using testing::Result;

class FileTargetCli : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(passwordFile_) << "s3cret\n"; }
  testing::TempFolder folder_;
  std::string passwordFile_ = folder_ / "password.txt";
  std::string backup_ = folder_ / "shop.vbk";
};

TEST_F(FileTargetCli, APlainRestoreOverAProtectedFileNeedsAllowPlain) {
  ASSERT_EQ(Host(folder_, {"sample", "-c", folder_ / "shop.db", "--rows", "20"}).status, 0);
  ASSERT_EQ(Host(folder_, {"save", "-c", folder_ / "shop.db", "-f", backup_, "--quiet"}).status, 0);
  const std::string target = folder_ / "locked.db";
  Result made = Host(folder_, {"sample", "-c", target, "--rows", "5", "--password-file", passwordFile_});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string before = testing::ReadFile(target);

  Result refused = Host(folder_, {"restore", "-c", target, "-f", backup_});
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_THAT(refused.err, HasSubstr("The database " + target + " is protected with a password"));
  EXPECT_EQ(testing::ReadFile(target), before);

  Result allowed = Host(folder_, {"restore", "-c", target, "-f", backup_, "--quiet", "--allow-plain"});
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_EQ(testing::ReadFile(target).substr(0, 15), "SQLite format 3");
}

TEST_F(FileTargetCli, VerifyChecksThePagesOfAProtectedCopyWithItsPassword) {
  const std::string source = folder_ / "shop.db";
  ASSERT_EQ(Host(folder_, {"sample", "-c", source, "--rows", "300", "--password-file", passwordFile_}).status,
            0);
  Result save = Host(folder_, {"save", "-c", source, "-f", backup_, "--mode", "direct", "--quiet",
                               "--password-file", passwordFile_});
  ASSERT_EQ(save.status, 0) << save.err;
  testing::Members members = testing::ReadArchive(backup_);
  std::string& copy = members.at(kNativeBackupMember);
  for (std::size_t page = 4096; page < copy.size(); page += 4096) copy.replace(page + 8, 24, 24, '\x5a');
  testing::WriteArchive(backup_, members);

  Result unkeyed = Host(folder_, {"verify", "-f", backup_, "--quiet"});
  EXPECT_EQ(unkeyed.status, 0) << unkeyed.out;
  EXPECT_THAT(unkeyed.out, HasSubstr("its pages were not checked"));
  EXPECT_THAT(unkeyed.out, HasSubstr("--password-file"));
  Result keyed = Host(folder_, {"verify", "-f", backup_, "--quiet", "--password-file", passwordFile_});
  EXPECT_EQ(keyed.status, 2) << keyed.out;
  EXPECT_THAT(keyed.out, HasSubstr("damaged"));
}

}  // namespace
}  // namespace vela
