// A save packs each table data file as it is written: the work folder never holds one, and the backup
// restores as before. On removable media the files still go through the work folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/zip/Drive.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/ServiceDoubles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"

namespace vela {
namespace {

using namespace data;
namespace fs = std::filesystem;
using testing::AddRow;
using testing::MakeTable;
using testing::NewFileDatabase;
using testing::TempFolder;

class RemovableWatchedFolder : public testing::WatchedWorkFolder, public zip::SystemDrive {
 public:
  const zip::Drive& Drive() const override { return removable ? *this : WatchedWorkFolder::Drive(); }
  bool IsRemovable(const fs::path&) const override { return true; }
  bool removable = false;
};

// At every event: the largest file in the work folder.
class FolderWatch : public testing::EventRecorder {
 public:
  explicit FolderWatch(const RemovableWatchedFolder& services) : services_(services) {}
  void UpdateProgress(std::int32_t value, const std::string& caption) override {
    EventRecorder::UpdateProgress(value, caption);
    std::error_code error;
    if (services_.last.empty() || !fs::exists(services_.last, error)) return;
    for (const auto& entry : fs::directory_iterator(services_.last))
      largest = std::max<std::uintmax_t>(largest, fs::file_size(entry.path()));
  }
  std::uintmax_t largest = 0;

 private:
  const RemovableWatchedFolder& services_;
};

TEST(SaveStream, TheTableDataFilesNeverTouchTheWorkFolderUnlessTheDiskIsRemovable) {
  TempFolder folder;
  const std::string database = folder / "db.sqlite";
  auto connection = NewFileDatabase(database);
  auto catalog = connection->OpenCatalog();
  MakeTable(*catalog, "Wide", {{"ID", adInteger}, {"Text", adVarWChar, 200}});
  connection->Execute("BEGIN");
  for (int i = 0; i < 3000; ++i)
    AddRow(*connection, "Wide", {i, std::string(150, static_cast<char>('a' + i % 26))});
  connection->Execute("COMMIT");
  MakeTable(*catalog, "Empty", {{"ID", adInteger}});
  MakeTable(*catalog, "Skipped", {{"ID", adInteger}});
  AddRow(*connection, "Skipped", {1});

  for (bool removable : {false, true}) {
    SCOPED_TRACE(removable ? "removable" : "fixed disk");
    auto services = std::make_shared<RemovableWatchedFolder>();
    services->removable = removable;
    CBackup backup(services);
    backup.SetLanguageResources(LanguageResources::English());
    FolderWatch events(*services);
    backup.SetEvents(&events);
    const std::string archive = folder / (removable ? "removable.zip" : "fixed.zip");
    ASSERT_TRUE(backup.Save(*connection, archive, std::vector<std::string>{"Skipped"}));
    if (removable)
      EXPECT_GT(events.largest, 3000u * 150u) << "the data file waits in the work folder";
    else
      EXPECT_EQ(events.largest, 0u) << "a table data file reached the work folder";
    // Two data files, the document, the mode and the provider.
    EXPECT_EQ(testing::ReadArchive(archive).size(), 5u);

    const std::string restored = folder / (removable ? "r1.sqlite" : "r2.sqlite");
    CBackup restore(services);
    restore.SetLanguageResources(LanguageResources::English());
    const std::string target = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + restored;
    ASSERT_TRUE(restore.Restore(target, archive));
    auto back = OpenConnection(target);
    auto rows = back->OpenRecordset("SELECT COUNT(*) AS N, SUM(LENGTH([Text])) AS L FROM [Wide]",
                                    adOpenForwardOnly, adLockReadOnly, adUseServer);
    EXPECT_EQ(rows->GetValue("N").AsInt(), 3000);
    EXPECT_EQ(rows->GetValue("L").AsInt(), 3000 * 150);
  }
}

}  // namespace
}  // namespace vela
