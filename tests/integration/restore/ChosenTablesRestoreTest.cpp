// Chosen tables restored into an existing database replace only those tables: the target's other tables,
// their rows, keys and views stay as they were. A file is changed in a copy made aside, which keeps its
// password, and a server database in one transaction on it; a cancel leaves either as it was, and on the
// server a key or view of a table that stays that needs a replaced table is named and nothing changes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerSession.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::Scalar;

std::string Text(const std::string& connectionString, const std::string& sql) {
  const data::Value value = Scalar(connectionString, sql);
  return value.IsNull() ? "" : value.AsText();
}

std::string Bytes(const std::filesystem::path& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// Cancels the restore once the rows of the table it replaces are under way.
void CancelInRows(testing::EventRecorder& events, CBackup& backup) {
  events.then = [&events, &backup](testing::EventRecorder::Kind, std::int32_t*) {
    if (!events.progress.empty() && events.progress.back().second.find("orders") != std::string::npos)
      backup.Cancel();
  };
}

class ChosenTablesRestore : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetBackupMode(bmCompressedTextFile);
  }
  // A backup of the one table "orders" of `source`, restored with that table chosen.
  void SaveOrders(const std::string& source) {
    std::unique_ptr<data::Connection> connection = data::OpenConnection(source);
    ASSERT_TRUE(backup_.Save(*connection, file_));
    TableChoice orders;
    orders.include = {"orders"};
    backup_.SetTables(orders);
    backup_.SetEvents(&events_);
  }

  testing::TempFolder folder_;
  std::filesystem::path file_ = folder_ / "orders.vbk";
  CBackup backup_;
  testing::EventRecorder events_;
};

TEST_F(ChosenTablesRestore, AFileKeepsItsOtherTablesAndItsPassword) {
  const std::string sourcePath = folder_ / "source.db";
  ASSERT_EQ(testing::Exec(sourcePath,
                          "CREATE TABLE orders (id INTEGER PRIMARY KEY, note TEXT, customer INTEGER); WITH "
                          "RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < 300) INSERT "
                          "INTO orders SELECT n, 'new ' || n, n % 3 FROM g"),
            "");
  const std::string source = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + sourcePath;
  SaveOrders(source);

  for (const std::string password : {"", "s3cret"}) {
    SCOPED_TRACE(password);
    const std::string path = folder_ / ("target" + password + ".db");
    std::string target = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
    if (!password.empty()) target += ";Jet OLEDB:Database Password=" + password;
    data::CreateDatabase(target);
    {
      std::unique_ptr<data::Connection> made = data::OpenConnection(target);
      for (const char* sql :
           {"CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT)",
            "INSERT INTO customers VALUES (1, 'Ann')", "INSERT INTO customers VALUES (2, 'Bob')",
            "CREATE TABLE orders (id INTEGER PRIMARY KEY, note TEXT, customer INTEGER REFERENCES "
            "customers(id))",
            "INSERT INTO orders VALUES (1, 'old', 1)", "CREATE VIEW names AS SELECT name FROM customers"})
        made->Execute(sql);
      made->Close();
    }
    const std::string before = Bytes(path);

    CancelInRows(events_, backup_);
    EXPECT_FALSE(backup_.Restore(target, file_.string()));
    EXPECT_EQ(Bytes(path), before);
    for (const auto& item : std::filesystem::directory_iterator(folder_.path()))
      EXPECT_THAT(item.path().filename().string(), ::testing::Not(HasSubstr("restoring")))
          << "a copy aside is left";

    events_ = testing::EventRecorder{};
    ASSERT_TRUE(backup_.Restore(target, file_.string()));
    EXPECT_EQ(Text(target, "SELECT group_concat(name, ',') FROM names"), "Ann,Bob");
    EXPECT_EQ(Text(target, "SELECT COUNT(*) FROM orders WHERE note = 'new ' || id"), "300");
    EXPECT_EQ(Text(target, "SELECT COUNT(*) FROM orders WHERE note = 'old'"), "0");
    EXPECT_EQ(data::IsProtectedDatabase(target), !password.empty());
  }
}

void RunSql(const std::string& connectionString, const std::string& sql) {
  std::unique_ptr<data::Connection> connection = data::OpenConnection(connectionString);
  dynamic_cast<data::postgres::ServerSession&>(*connection).RunServerSql(sql);
}

TEST_F(ChosenTablesRestore, AServerDatabaseKeepsItsOtherTablesInOneTransaction) {
  VELA_REQUIRE_SERVER();
  testing::ServerDatabaseGuard databases;
  const std::string source = databases.Add("chosen_source");
  data::CreateDatabase(source);
  RunSql(source,
         "CREATE TYPE mood AS ENUM ('calm'); CREATE TABLE orders (id integer PRIMARY KEY, note text); INSERT "
         "INTO orders SELECT g, 'new ' || g FROM generate_series(1, 300) g");
  SaveOrders(source);
  const std::string target = databases.Add("chosen_target");
  data::CreateDatabase(target);
  RunSql(target,
         "CREATE TYPE mood AS ENUM ('calm', 'cross'); CREATE TABLE customers (id integer PRIMARY KEY, name "
         "text); INSERT INTO customers VALUES (1, 'Ann'), "
         "(2, 'Bob'); CREATE VIEW names AS SELECT name FROM customers; CREATE TABLE orders (id integer, old "
         "text); INSERT INTO orders VALUES (1, 'old')");
  auto contents = [&] {
    return Text(target,
                "SELECT string_agg(relname, ',' ORDER BY relname) FROM pg_class WHERE relnamespace = "
                "'public'::regnamespace") +
           "|" + Text(target, "SELECT string_agg(t::text, ';' ORDER BY t::text) FROM orders t") + "|" +
           Text(target, "SELECT string_agg(name, ',' ORDER BY name) FROM names");
  };
  const std::string before = contents();

  CancelInRows(events_, backup_);
  EXPECT_FALSE(backup_.Restore(target, file_.string()));
  EXPECT_EQ(contents(), before);

  // A key and a view of what stays that need the replaced table: named, nothing changed.
  RunSql(target,
         "ALTER TABLE orders ADD PRIMARY KEY (id); ALTER TABLE customers ADD COLUMN first_order integer "
         "CONSTRAINT first_order_fk REFERENCES orders(id); CREATE VIEW old_orders AS SELECT id FROM orders");
  const std::string blocked = contents();
  events_ = testing::EventRecorder{};
  EXPECT_FALSE(backup_.Restore(target, file_.string()));
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].guid, kInPlaceBlockedGuid);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("first_order_fk"));
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("old_orders"));
  EXPECT_EQ(contents(), blocked);

  // The target's own type of the backup's name stays, and the backup's is named as left out; the
  // transaction goes on past the statement the server refused.
  RunSql(target, "DROP VIEW old_orders; ALTER TABLE customers DROP COLUMN first_order");
  events_ = testing::EventRecorder{};
  ASSERT_TRUE(backup_.Restore(target, file_.string()));
  ASSERT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(events_.messages[0].guid, kObjectsLeftOutGuid);
  EXPECT_THAT(events_.messages[0].prompt, HasSubstr("mood"));
  EXPECT_EQ(Text(target, "SELECT COUNT(*) FROM pg_enum WHERE enumlabel = 'cross'"), "1");
  EXPECT_EQ(Text(target, "SELECT string_agg(name, ',' ORDER BY name) FROM names"), "Ann,Bob");
  EXPECT_EQ(Text(target, "SELECT string_agg(t::text, ';' ORDER BY id) FROM orders t"),
            Text(source, "SELECT string_agg(t::text, ';' ORDER BY id) FROM orders t"));
  EXPECT_EQ(Text(target, "SELECT COUNT(*) FROM pg_constraint WHERE conname = 'orders_pkey'"), "1");
}

}  // namespace
}  // namespace vela
