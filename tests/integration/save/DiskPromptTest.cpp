// A backup written to a removable disk that is full: the disk prompts repeat until there is room or the
// user cancels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "component/Operation.h"
#include "platform/zip/Drive.h"
#include "support/Databases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"

namespace vela {
namespace {

using namespace data;

// A removable disk that reports no free space for its first `fullChecks` looks.
class FullRemovableDisk : public zip::SystemDrive {
 public:
  bool IsRemovable(const std::filesystem::path&) const override { return true; }
  std::optional<std::uint64_t> FreeSpace(const std::filesystem::path&) const override {
    if (checks_++ < fullChecks) return 0;
    return std::uint64_t{1} << 30;
  }
  int fullChecks = 0;

 private:
  mutable int checks_ = 0;
};

struct Prompts : CBackupEvents {
  void ShowMessage(const std::string&, std::int32_t buttons, const std::string& guid,
                   std::int32_t& result) override {
    seen.push_back(guid);
    styles.push_back(buttons);
    if (seen.size() == cancelAt) result = kAnswerCancel;
  }
  std::vector<std::string> seen;
  std::vector<int> styles;
  std::size_t cancelAt = 0;
};

class DiskPrompt : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&prompts_);
    backup_.Internals().drive = &disk_;
    connection_ = testing::NewFileDatabase(folder_ / "db.sqlite");
    auto catalog = connection_->OpenCatalog();
    testing::MakeTable(*catalog, "T", {{"ID", adInteger}});
    testing::AddRow(*connection_, "T", {1});
  }
  testing::TempFolder folder_;
  FullRemovableDisk disk_;
  Prompts prompts_;
  CBackup backup_;
  std::unique_ptr<Connection> connection_;
};

constexpr const char* kFirstDisk = "{61E8BD2C-1EA6-43B7-AE15-11BA79C7BC21}";
constexpr const char* kDiskFull = "{27730A94-C4AB-4812-B933-518B07F2998D}";

TEST_F(DiskPrompt, RepeatsWhileTheDiskIsFull) {
  disk_.fullChecks = 2;
  ASSERT_TRUE(backup_.Save(*connection_, folder_ / "backup.zip"));
  EXPECT_THAT(prompts_.seen, ::testing::ElementsAre(kFirstDisk, kDiskFull, kDiskFull));
  for (int style : prompts_.styles) EXPECT_EQ(style & 32, 32);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "backup.zip"));
}

TEST_F(DiskPrompt, CancelAtAPromptStopsTheSave) {
  disk_.fullChecks = 100;
  prompts_.cancelAt = 3;
  EXPECT_FALSE(backup_.Save(*connection_, folder_ / "backup.zip"));
  EXPECT_EQ(prompts_.seen.size(), 3u);
  EXPECT_TRUE(backup_.Internals().m_Cancel);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "backup.zip"));
}

}  // namespace
}  // namespace vela
