// A backup written to a removable disk that is full: the disk prompts repeat until there is room or the
// user cancels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/zip/Drive.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"

namespace vela {
namespace {

using namespace data;

// The services with a removable disk that reports no free space for its first `fullChecks` looks.
class FullRemovableDisk : public testing::ForwardingServices, public zip::SystemDrive {
 public:
  const zip::Drive& Drive() const override { return *this; }
  bool IsRemovable(const std::filesystem::path&) const override { return true; }
  std::optional<std::uint64_t> FreeSpace(const std::filesystem::path&) const override {
    if (checks_++ < fullChecks) return 0;
    return std::uint64_t{1} << 30;
  }
  int fullChecks = 0;

 private:
  mutable int checks_ = 0;
};

class DiskPrompt : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&prompts_);
    connection_ = testing::NewFileDatabase(folder_ / "db.sqlite");
    auto catalog = connection_->OpenCatalog();
    testing::MakeTable(*catalog, "T", {{"ID", adInteger}});
    testing::AddRow(*connection_, "T", {1});
  }
  testing::TempFolder folder_;
  std::shared_ptr<FullRemovableDisk> disk_ = std::make_shared<FullRemovableDisk>();
  testing::EventRecorder prompts_;
  CBackup backup_{disk_};
  std::unique_ptr<Connection> connection_;
};

constexpr const char* kFirstDisk = "{61E8BD2C-1EA6-43B7-AE15-11BA79C7BC21}";
constexpr const char* kDiskFull = "{27730A94-C4AB-4812-B933-518B07F2998D}";

TEST_F(DiskPrompt, RepeatsWhileTheDiskIsFull) {
  disk_->fullChecks = 2;
  ASSERT_TRUE(backup_.Save(*connection_, folder_ / "backup.zip"));
  std::vector<std::string> guids;
  for (const auto& message : prompts_.messages) {
    guids.push_back(message.guid);
    EXPECT_EQ(message.buttons & 32, 32);
  }
  EXPECT_THAT(guids, ::testing::ElementsAre(kFirstDisk, kDiskFull, kDiskFull));
  EXPECT_TRUE(std::filesystem::exists(folder_ / "backup.zip"));
}

TEST_F(DiskPrompt, CancelAtAPromptStopsTheSave) {
  disk_->fullChecks = 100;
  prompts_.then = [&](testing::EventRecorder::Kind kind, std::int32_t* answer) {
    if (kind == testing::EventRecorder::kMessage && prompts_.messages.size() == 3) *answer = kAnswerCancel;
  };
  EXPECT_FALSE(backup_.Save(*connection_, folder_ / "backup.zip"));
  EXPECT_EQ(prompts_.messages.size(), 3u);
  // Ended as a cancel, not as a failure.
  EXPECT_EQ(prompts_.progress.back(), std::make_pair(100, LanguageResources::English()->GetString(15, "Backup")));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "backup.zip"));
}

}  // namespace
}  // namespace vela
