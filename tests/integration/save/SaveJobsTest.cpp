// Saves that read several tables at once: whatever the number of jobs, the backup holds the same tables
// and rows and the host hears the same events in the same order; and every job reads the database at the
// save's one moment, while another program writes to it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include "platform/data/postgres/ServerSession.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"

namespace vela {
namespace {

// The numbers 1 to n, as a table a statement can select from.
std::string Numbers(int n) {
  return "(WITH RECURSIVE series(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM series WHERE value < " +
         std::to_string(n) + ") SELECT value FROM series)";
}

using namespace data;
using testing::AddRow;
using testing::MakeTable;
using testing::TempFolder;

// What a save gives: its events, and its document and data files with the names the save makes up (the
// data files' names, the time) left out, each data file under its table's name.
struct Saved {
  std::vector<std::pair<int, std::string>> progress;
  std::vector<std::string> messages;
  std::string document;
  std::map<std::string, std::string> dataFiles;  // by table

  bool operator==(const Saved&) const = default;
};

Saved SaveWith(std::int32_t jobs, Connection& connection, const std::string& archive,
               const TableList& noData = {}) {
  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  testing::EventRecorder events;
  backup.SetEvents(&events);
  backup.SetJobs(jobs);
  EXPECT_TRUE(backup.Save(connection, archive, noData));
  Saved saved{events.progress, events.lines, {}, {}};
  testing::Members members = testing::ReadArchive(archive);
  for (const auto& [name, bytes] : members)
    if (bytes.starts_with("<Database")) saved.document = bytes;
  static const std::regex table(R"re(<Table Name="([^"]*)"[^>]*FileName="([^"]*)")re");
  for (std::sregex_iterator it(saved.document.begin(), saved.document.end(), table), end; it != end; ++it)
    if (auto member = members.find((*it)[2]); member != members.end())
      saved.dataFiles[(*it)[1]] = member->second;
  saved.document = std::regex_replace(saved.document, std::regex(R"re( (FileName|Made)="[^"]*")re"), "");
  return saved;
}

TEST(SaveJobs, AnyNumberOfJobsSavesTheSameTablesAndRaisesTheSameEvents) {
  TempFolder folder;
  std::unique_ptr<Connection> connection = testing::NewFileDatabase(folder / "db.sqlite");
  std::unique_ptr<Catalog> catalog = connection->OpenCatalog();
  // A table whose data file is far larger than what a job holds before the save takes it, small ones
  // around it, one with rows that look damaged (a notice), one saved without rows, one empty, a view.
  MakeTable(*catalog, "Big", {{"ID", adInteger}, {"Text", adVarWChar, 200}});
  connection->Execute(
      "INSERT INTO [Big] SELECT value, printf('row %08d of the big table, long enough to fill pages', value) "
      "FROM " +
      Numbers(60000));
  for (const char* name : {"A", "C", "D", "E"}) {
    MakeTable(*catalog, name, {{"ID", adInteger}, {"Name", adVarWChar, 20}});
    for (int i = 0; i < 130; ++i) AddRow(*connection, name, {i, std::string(name) + std::to_string(i)});
  }
  MakeTable(*catalog, "Damaged", {{"Name", adVarWChar, 20}});
  AddRow(*connection, "Damaged", {"####"});
  MakeTable(*catalog, "Empty", {{"ID", adInteger}});
  connection->Execute("CREATE VIEW [Some] AS SELECT * FROM [A] WHERE [ID] > 5");

  const TableList noData = std::vector<std::string>{"D"};
  const Saved one = SaveWith(1, *connection, folder / "one.vbk", noData);
  ASSERT_EQ(one.dataFiles.size(), 6u);  // D goes without its rows
  EXPECT_GT(one.dataFiles.at("Big").size(), std::size_t{8} << 20);
  EXPECT_EQ(one.messages.size(), 1u);
  for (std::int32_t jobs : {2, 3, 8}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    const Saved many = SaveWith(jobs, *connection, folder / "many.vbk", noData);
    EXPECT_EQ(many.progress, one.progress);
    EXPECT_EQ(many.messages, one.messages);
    EXPECT_EQ(many.document, one.document);
    EXPECT_TRUE(many.dataFiles == one.dataFiles);
  }
}

// A file in write-ahead mode lets a writer commit while the save reads: the second job reads the moment
// the first one reads, not a later one, so orders and their lines travel together.
TEST(SaveJobs, EveryJobReadsTheSavesMomentWhileAnotherProgramWrites) {
  TempFolder folder;
  const std::string path = folder / "orders.sqlite";
  {
    std::unique_ptr<Connection> setup = testing::NewFileDatabase(path);
    setup->Execute("CREATE TABLE [A_Orders] ([id] INTEGER PRIMARY KEY, [customer] TEXT NOT NULL)");
    setup->Execute(
        "CREATE TABLE [B_Lines] ([id] INTEGER PRIMARY KEY, [order_id] INTEGER NOT NULL, "
        "[item] TEXT NOT NULL)");
    setup->Execute("INSERT INTO [A_Orders] SELECT value, 'customer' FROM " + Numbers(30000));
    setup->Execute("INSERT INTO [B_Lines] ([order_id], [item]) SELECT (value + 1) / 2, 'item' FROM " +
                   Numbers(60000));
  }
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_busy_timeout(writer, 5000);
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::thread writing([&] {
    for (int id = 100000; !stop; ++id) {
      const std::string order = std::to_string(id);
      const std::string sql = "BEGIN; INSERT INTO A_Orders VALUES (" + order + ", 'late'); " +
                              "INSERT INTO B_Lines (order_id, item) VALUES (" + order + ", 'a'), (" + order +
                              ", 'b'); COMMIT";
      if (sqlite3_exec(writer, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) ++written;
    }
  });
  while (written < 5) std::this_thread::yield();

  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  backup.SetJobs(2);
  bool saved = false;
  {
    std::unique_ptr<Connection> connection = OpenConnection(testing::FileDatabase(path));
    saved = backup.Save(*connection, folder / "orders.vbk");
  }
  const int writtenDuringSave = written;
  stop = true;
  writing.join();
  sqlite3_close(writer);
  ASSERT_TRUE(saved);
  ASSERT_GT(writtenDuringSave, 5);

  const std::string target = testing::FileDatabase(folder / "restored.sqlite");
  ASSERT_TRUE(backup.Restore(target, folder / "orders.vbk"));
  std::unique_ptr<Connection> restored = OpenConnection(target);
  auto count = [&](const std::string& sql) {
    auto rows = restored->OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
    return rows->GetValue(std::size_t{0}).AsInt();
  };
  const std::int64_t orders = count("SELECT COUNT(*) FROM [A_Orders]");
  EXPECT_GE(orders, 30000);
  EXPECT_EQ(count("SELECT COUNT(*) FROM [B_Lines]"), 2 * orders);
  EXPECT_EQ(count("SELECT COUNT(*) FROM [B_Lines] WHERE [order_id] NOT IN (SELECT [id] FROM [A_Orders])"), 0);
}

// The server's jobs share one exported snapshot: the same backup with one job and with two.
TEST(SaveJobs, TheServersJobsShareOneSnapshot) {
  VELA_REQUIRE_SERVER();
  testing::ServerDatabaseGuard databases;
  TempFolder folder;
  const std::string source = databases.Add("jobs_source");
  CreateDatabase(source);
  std::unique_ptr<Connection> connection = OpenConnection(source);
  dynamic_cast<postgres::ServerSession&>(*connection)
      .RunServerSql(
          "CREATE SCHEMA sales; CREATE TABLE sales.\"Orders\" (id integer PRIMARY KEY, note text); "
          "CREATE TABLE \"Lines\" (id serial PRIMARY KEY, order_id integer REFERENCES sales.\"Orders\", "
          "amount numeric(10,2)); "
          "INSERT INTO sales.\"Orders\" SELECT n, 'order ' || n FROM generate_series(1, 3000) n; "
          "INSERT INTO \"Lines\" (order_id, amount) SELECT n % 3000 + 1, n / 7.0 FROM generate_series(1, "
          "9000) n; CREATE TABLE \"Empty\" (x int)");
  const Saved one = SaveWith(1, *connection, folder / "one.vbk");
  ASSERT_EQ(one.dataFiles.size(), 3u);
  const Saved two = SaveWith(2, *connection, folder / "two.vbk");
  EXPECT_EQ(two.progress, one.progress);
  EXPECT_EQ(two.document, one.document);
  EXPECT_TRUE(two.dataFiles == one.dataFiles);
  // The save's sessions are gone with it: the connection is the caller's, outside any transaction.
  EXPECT_FALSE(dynamic_cast<postgres::ServerSession&>(*connection).InTransaction());
}

}  // namespace
}  // namespace vela
