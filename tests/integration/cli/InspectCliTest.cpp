// What `inspect` tells of a backup: each table's columns, indexes and keys, where, when and by what the
// backup was made, tables saved without their rows (which `verify` then takes as meant); JSON with its format
// version, for failures too. A direct copy of the server reached by address is made and restored by the
// server's own tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "support/Archives.h"
#include "support/HostRun.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/BackupFile.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::Host;
using ::testing::MatchesRegex;
using ::testing::Not;
using testing::Result;
using ::testing::StartsWith;

using Json = nlohmann::json;

const std::string kReferences = std::string(VELA_SOURCE_DIR) + "/tests/reference/";

Json InspectJson(const testing::TempFolder& folder, const std::string& backup) {
  Result inspect = Host(folder, {"inspect", "-f", backup, "--json"});
  EXPECT_EQ(inspect.status, 0) << inspect.err;
  Json document = Json::parse(inspect.out);
  EXPECT_EQ(document["formatVersion"], 1);
  return document;
}

const Json& TableOf(const Json& document, const std::string& name) {
  for (const Json& table : document["tables"])
    if (table["name"] == name) return table;
  static const Json none;
  ADD_FAILURE() << "no table " << name;
  return none;
}

TEST(InspectCli, ShowsEachTablesObjectsWhereAndWhenItWasMadeAndTablesSavedWithoutRows) {
  testing::TempFolder folder;
  const std::string backup = folder / "shop.vbk";
  ASSERT_EQ(Host(folder, {"sample", "-c", folder / "shop.db", "--rows", "30"}).status, 0);
  Result save =
      Host(folder, {"save", "-c", folder / "shop.db", "-f", backup, "--no-data", "Orders", "--quiet"});
  ASSERT_EQ(save.status, 0) << save.err;
  const std::string tool = Host(folder, {"--version"}).out;  // "velabackup 0.1.0"
  const std::string version = tool.substr(tool.find(' ') + 1, tool.find('\n') - tool.find(' ') - 1);

  Result text = Host(folder, {"inspect", "-f", backup});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_THAT(text.out,
              MatchesRegex("(.|\n)*\nMade: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z by "
                           "VelaBackup " +
                           version + "\n(.|\n)*"));
  EXPECT_THAT(text.out, HasSubstr("\nSource database: shop.db (SQLite 3."));
  EXPECT_THAT(text.out, MatchesRegex("(.|\n)*\n  Orders: [0-9]+ columns, structure only\n(    .*\n)*"
                                     "    foreign key [^\n]+ references Customers \\([^\n]+\\)\n(.|\n)*"));
  EXPECT_THAT(text.out, MatchesRegex("(.|\n)*\n  Measurements: 8 columns, 30 rows\n    column [^\n]+ "
                                     "not null autoincrement\n(.|\n)*\n    primary key [^\n]+\n(.|\n)*"));

  Json document = InspectJson(folder, backup);
  EXPECT_EQ(document["origin"]["database"], "shop.db");
  EXPECT_THAT(document["origin"]["engine"].get<std::string>(), StartsWith("SQLite 3."));
  EXPECT_EQ(document["origin"]["tool"], "VelaBackup " + version);
  const Json& orders = TableOf(document, "Orders");
  EXPECT_EQ(orders["dataSaved"], false);
  EXPECT_TRUE(orders["rows"].is_null());
  ASSERT_EQ(orders["keys"].size(), 1u) << orders.dump();
  EXPECT_EQ(orders["keys"][0]["relatedTable"], "Customers");
  EXPECT_EQ(orders["columnList"].size(), orders["columns"]);
  EXPECT_EQ(TableOf(document, "Measurements")["dataSaved"], true);
  // Where the backup was made names the database alone: no folder, no connection string.
  const std::string documentText = testing::ReadArchive(backup)[kDocumentMember];
  const std::size_t origin = documentText.find("<Origin ");
  ASSERT_NE(origin, std::string::npos);
  const std::string originElement = documentText.substr(origin, documentText.find("/>", origin) - origin);
  EXPECT_THAT(originElement, Not(HasSubstr(folder.path().string())));
  EXPECT_THAT(originElement, Not(HasSubstr("Provider")));

  // Verify takes the marked table's missing data file as meant, and only that one.
  Result verify = Host(folder, {"verify", "-f", backup});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_THAT(verify.out, HasSubstr("note: 1 table was saved without rows"));
  testing::Members members = testing::ReadArchive(backup);
  for (const Json& member : document["members"])
    if (member.value("table", "") == "Measurements") members.erase(member["name"].get<std::string>());
  testing::WriteArchive(folder / "damaged.vbk", members);
  Result damaged = Host(folder, {"verify", "-f", folder / "damaged.vbk"});
  EXPECT_EQ(damaged.status, 2);
  EXPECT_THAT(damaged.out, HasSubstr("table Measurements: the table's data file"));
  EXPECT_THAT(Host(folder, {"inspect", "-f", folder / "damaged.vbk"}).out,
              HasSubstr("  Measurements: 8 columns, no data file\n"));
}

TEST(InspectCli, UnderJsonAFailureIsAJsonDocumentWithTheSameExitStatus) {
  testing::TempFolder folder;
  std::ofstream(folder / "notes.vbk") << "no zip archive at all";
  for (const std::string& file : {folder / "notes.vbk", folder / "absent.vbk"}) {
    Result plain = Host(folder, {"inspect", "-f", file});
    Result json = Host(folder, {"inspect", "-f", file, "--json"});
    EXPECT_NE(plain.status, 0) << file;
    EXPECT_EQ(json.status, plain.status) << file;
    Json document = Json::parse(json.out);
    EXPECT_EQ(document["formatVersion"], 1);
    EXPECT_THAT(document["error"]["number"].get<std::string>(), MatchesRegex("0x[0-9A-F]{8}"));
    EXPECT_THAT(document["error"]["message"].get<std::string>(), HasSubstr(file));
    EXPECT_EQ(json.err, "");
  }
}

// Backups written before the origin and the mark were kept still inspect: a table saved without its rows
// shows its missing data file, and verify wants it named.
TEST(InspectCli, OlderBackupsInspectWithoutOriginOrMark) {
  testing::TempFolder folder;
  Json document = InspectJson(folder, kReferences + "file-no-data.vbk");
  EXPECT_TRUE(document["origin"].is_null());
  EXPECT_EQ(TableOf(document, "Audit")["dataSaved"], true);
  EXPECT_THAT(Host(folder, {"inspect", "-f", kReferences + "file-no-data.vbk"}).out,
              HasSubstr("  Audit: 4 columns, no data file\n"));
  EXPECT_EQ(Host(folder, {"verify", "-f", kReferences + "file-no-data.vbk"}).status, 2);
  EXPECT_EQ(Host(folder, {"verify", "-f", kReferences + "file-no-data.vbk", "--no-data", "Audit", "--no-data",
                          "Order Lines"})
                .status,
            0);
  Json server = InspectJson(folder, kReferences + "server-compressed.vbk");
  EXPECT_FALSE(server["tables"].empty());
  for (const Json& table : server["tables"]) EXPECT_FALSE(table["columnList"].empty()) << table["name"];
}

// The test cluster reached by address and by host name, as a server on another computer is: the server's
// own tools make and restore the direct copy there, and a text backup names the server's version.
TEST(InspectCli, ADirectCopyOfAServerReachedByAddressIsMadeAndRestoredByItsTools) {
  VELA_REQUIRE_SERVER();
  testing::TempFolder folder;
  testing::ServerDatabaseGuard databases;
  const std::string shop = testing::ServerDatabaseName(databases.Add("inspect_shop"));
  const std::string copy = testing::ServerDatabaseName(databases.Add("inspect_copy"));
  auto url = [](const std::string& host, const std::string& database) {
    return "postgresql://" + testing::Env("PGUSER") + "@" + host + ":" + testing::Env("PGPORT") + "/" +
           database;
  };
  ASSERT_EQ(Host(folder, {"sample", "-c", url("127.0.0.1", shop), "--rows", "40"}).status, 0);
  Result save = Host(folder, {"save", "-c", url("127.0.0.1", shop), "-f", folder / "direct.vbk", "--mode",
                              "direct", "--events", "jsonl"});
  ASSERT_EQ(save.status, 0) << save.err;
  EXPECT_THAT(save.out, Not(HasSubstr("ShowMessage")));
  EXPECT_THAT(Host(folder, {"inspect", "-f", folder / "direct.vbk"}).out, HasSubstr("(direct copy)"));
  Result restore =
      Host(folder, {"restore", "-c", url("localhost", copy), "-f", folder / "direct.vbk", "--quiet"});
  ASSERT_EQ(restore.status, 0) << restore.err;

  ASSERT_EQ(Host(folder, {"save", "-c", url("localhost", copy), "-f", folder / "text.vbk", "--quiet"}).status,
            0);
  Json document = InspectJson(folder, folder / "text.vbk");
  EXPECT_EQ(document["origin"]["database"], copy);
  EXPECT_THAT(document["origin"]["engine"].get<std::string>(), StartsWith("PostgreSQL "));
  EXPECT_EQ(TableOf(document, "Measurements")["rows"], 40);
}

}  // namespace
}  // namespace vela
