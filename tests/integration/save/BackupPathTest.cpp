// Where a save writes its backup file when the path is no plain new file: a link is written through, a
// pipe or character device is written in place, anything else is refused and left as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/Archives.h"
#include "support/Databases.h"
#include "support/Failure.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::TempFolder;

class BackupPath : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    connection_ = testing::NewFileDatabase(folder_ / "shop.db");
    auto catalog = connection_->OpenCatalog();
    testing::MakeTable(*catalog, "Items", {{"Name", data::adVarWChar, 20}});
    testing::AddRow(*connection_, "Items", {data::Value("pen")});
  }
  bool Run(const std::string& path) { return backup_.Save(*connection_, path); }
  static bool IsBackup(const std::string& path) {
    return testing::ReadArchive(path).count(kDocumentMember) == 1;
  }

  TempFolder folder_;
  std::unique_ptr<data::Connection> connection_;
  CBackup backup_;
};

TEST_F(BackupPath, ALinkIsWrittenThroughAndStaysALink) {
  fs::create_directory(folder_.path() / "kept");
  std::ofstream(folder_ / "kept/old.vbk") << "an older backup";
  fs::create_symlink("kept/old.vbk", folder_.path() / "latest.vbk");
  fs::create_symlink("kept/new.vbk", folder_.path() / "dangling.vbk");
  ASSERT_TRUE(Run(folder_ / "latest.vbk"));
  ASSERT_TRUE(Run(folder_ / "dangling.vbk"));
  EXPECT_TRUE(fs::is_symlink(folder_.path() / "latest.vbk"));
  EXPECT_TRUE(fs::is_symlink(folder_.path() / "dangling.vbk"));
  EXPECT_TRUE(IsBackup(folder_ / "kept/old.vbk"));
  EXPECT_TRUE(IsBackup(folder_ / "kept/new.vbk"));
}

// A reader at the other end of a pipe gets the whole backup file; the pipe stays a pipe.
TEST_F(BackupPath, APipeIsWrittenInPlace) {
  const std::string pipe = folder_ / "out.fifo";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::atomic<bool> done = false;
  bool saved = false;
  std::thread save([&] {
    backup_.SetLanguageResources(LanguageResources::English());  // the catalogue is the thread's
    saved = Run(pipe);
    done = true;
  });
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const bool finished = done;
    const ssize_t got = ::read(reader, buffer, sizeof buffer);
    if (got > 0) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    } else if (finished) {
      break;  // the writer is gone and nothing is left in the pipe
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  save.join();
  ::close(reader);
  EXPECT_TRUE(saved);
  struct stat info {};
  ASSERT_EQ(::lstat(pipe.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  std::ofstream(folder_ / "received.vbk", std::ios::binary) << bytes;
  EXPECT_TRUE(IsBackup(folder_ / "received.vbk"));
  for (const auto& entry : fs::directory_iterator(folder_.path()))
    EXPECT_THAT(entry.path().filename().string(), ::testing::Not(HasSubstr(".part")));
}

TEST_F(BackupPath, AFolderIsRefusedAndLeftAsItWas) {
  fs::create_directory(folder_.path() / "backups");
  std::ofstream(folder_ / "backups/inside") << "mine";
  const Error error = testing::Failure([&] { Run(folder_ / "backups"); });
  EXPECT_THAT(error.Description(), HasSubstr("is not a regular file"));
  EXPECT_TRUE(fs::is_directory(folder_.path() / "backups"));
  EXPECT_EQ(testing::ReadFile(folder_.path() / "backups/inside"), "mine");
}

}  // namespace
}  // namespace vela
