// The host's inspect and verify commands: members named by role, JSON for scripts, exit statuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/Archives.h"
#include "support/HostRun.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"

namespace vela {
namespace {

using testing::Host;
using testing::Result;

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class InspectVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Host(folder_, {"sample", "-c", folder_ / "shop.db", "--rows", "200"}).status, 0);
    Result save = Host(folder_, {"save", "-c", folder_ / "shop.db", "-f", backup_, "--quiet"});
    ASSERT_EQ(save.status, 0) << save.err;
    nlohmann::json info = nlohmann::json::parse(Host(folder_, {"inspect", "-f", backup_, "--json"}).out);
    for (const auto& member : info["members"])
      if (member.value("table", "") == "Orders") orders_ = member["name"];
    ASSERT_FALSE(orders_.empty());
  }
  testing::TempFolder folder_;
  std::string backup_ = folder_ / "shop.vbk";
  std::string orders_;  // the data member of the table Orders
};

TEST_F(InspectVerify, InspectNamesEveryMemberByRoleAndPrintsJson) {
  Result text = Host(folder_, {"inspect", "-f", backup_});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_THAT(text.out, HasSubstr("Mode: 0 (compressed text)"));
  EXPECT_THAT(text.out, HasSubstr("Source engine: 1 (file database"));
  EXPECT_THAT(text.out, HasSubstr(std::string(kDocumentMember) + "  backup document, "));
  EXPECT_THAT(text.out, HasSubstr(orders_ + "  data of table Orders, "));
  EXPECT_THAT(text.out, HasSubstr("Measurements: 8 columns, 200 rows"));
  EXPECT_THAT(text.out, MatchesRegex("(.|\n)*data of table Measurements, [0-9.]+ KiB, (.|\n)*"));
  // The code a restore would make is listed, for a look before restoring.
  EXPECT_THAT(text.out, HasSubstr("Code (made, and run where it is built or filled, by a restore):\n"
                                  "  view CustomerOrders\n"));

  Result json = Host(folder_, {"inspect", "-f", backup_, "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  nlohmann::json document = nlohmann::json::parse(json.out);
  EXPECT_EQ(document["layout"], "current");
  EXPECT_EQ(document["mode"], 0);
  EXPECT_EQ(document["provider"], 1);
  bool measured = false;
  for (const auto& table : document["tables"])
    if (table["name"] == "Measurements") {
      measured = true;
      EXPECT_EQ(table["columns"], 8);
      EXPECT_EQ(table["rows"], 200);
    }
  EXPECT_TRUE(measured);
  EXPECT_EQ(document["code"], nlohmann::json::parse(R"([{"kind": "view", "name": "CustomerOrders"}])"));
  EXPECT_TRUE(document["codeUnlisted"].is_null());
}

TEST_F(InspectVerify, VerifyPassesASoundBackupAndNamesTheDamagedTable) {
  Result sound = Host(folder_, {"verify", "-f", backup_});
  EXPECT_EQ(sound.status, 0) << sound.out << sound.err;
  EXPECT_THAT(sound.out, HasSubstr("The backup file is sound"));

  const std::string damaged = folder_ / "damaged.vbk";
  testing::Members members = testing::ReadArchive(backup_);
  // 30 rows whose dates are none: the first twenty are listed, the rest counted.
  std::string rows = "[30]";
  for (int row = 1; row <= 30; ++row) rows += "[0.1]" + std::to_string(row % 10) + "[2.5]never";
  members[orders_] = testing::Utf16File(rows + "[EOF]");
  testing::WriteArchive(damaged, members);
  Result bad = Host(folder_, {"verify", "-f", damaged});
  EXPECT_EQ(bad.status, 2);
  EXPECT_THAT(bad.out, HasSubstr("30 problems found"));
  EXPECT_THAT(bad.out, HasSubstr("  table Orders, row 1: column \"Date\" holds \"never\""));
  EXPECT_THAT(bad.out, HasSubstr("  ... 10 more\n"));

  members.erase(orders_);
  testing::WriteArchive(damaged, members);
  Result missing = Host(folder_, {"verify", "-f", damaged});
  EXPECT_EQ(missing.status, 2);
  EXPECT_THAT(missing.out, HasSubstr("table Orders: the table's data file"));
  EXPECT_THAT(missing.out, HasSubstr("name it with --no-data"));
  // Told that Orders was saved with --no-data, the same file is sound, with a note saying so.
  Result accepted = Host(folder_, {"verify", "-f", damaged, "--no-data", "orders"});
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_THAT(accepted.out, HasSubstr("  note: table Orders was saved without its rows"));

  testing::WriteArchive(damaged, {{"old.txt", "1"}});
  Result older = Host(folder_, {"verify", "-f", damaged});
  EXPECT_EQ(older.status, 2);
  EXPECT_THAT(older.out, HasSubstr("older layout"));
}

}  // namespace
}  // namespace vela
