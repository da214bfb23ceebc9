// The choice of tables through the host: -t/--table and -T/--exclude-table with wildcards, --schema-only,
// on save and on restore, over databases an application made with plain SQL.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "support/HostRun.h"
#include "support/ServerDatabases.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"
#include "velabackup/MessageGuids.h"

namespace vela {
namespace {

using ::testing::HasSubstr;
using testing::Host;
using ::testing::Not;
using testing::Result;

// The rows of a query on a file, each as its values joined by '|', one line each.
std::string Rows(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::string rows;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int count, char** values, char**) {
        auto& text = *static_cast<std::string*>(out);
        for (int i = 0; i < count; ++i) text += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
        text += "\n";
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

class TableChoiceCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testing::Exec(shop_, R"(
      CREATE TABLE customers (id INTEGER PRIMARY KEY, name TEXT NOT NULL);
      CREATE TABLE orders (id INTEGER PRIMARY KEY,
                           customer_id INTEGER NOT NULL REFERENCES customers(id) ON DELETE CASCADE,
                           total NUMERIC CHECK (total >= 0));
      CREATE TABLE order_lines (order_id INTEGER REFERENCES orders(id), sku VARCHAR(12), qty INTEGER,
                                FOREIGN KEY (order_id) REFERENCES orders(id) DEFERRABLE INITIALLY DEFERRED);
      CREATE TABLE audit_log (at TEXT, what TEXT);
      CREATE INDEX orders_by_customer ON orders(customer_id);
      CREATE TRIGGER customers_audit AFTER INSERT ON customers BEGIN INSERT INTO audit_log VALUES ('now', 'x'); END;
      CREATE VIEW big_orders AS SELECT * FROM orders WHERE total > 100;
      INSERT INTO customers VALUES (1, 'Ann'), (2, 'Bob');
      INSERT INTO orders VALUES (1, 1, 50), (2, 2, 150);
      INSERT INTO order_lines VALUES (1, 'A-1', 2), (2, 'B-2', 1);
      INSERT INTO audit_log VALUES ('then', 'y');)"),
              "");
  }

  Result Run(std::vector<std::string> arguments) {
    arguments.push_back("--quiet");
    return Host(folder_, arguments);
  }
  std::string Tables() const {
    return Rows(copy_,
                "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'MSys%' ORDER BY name");
  }

  testing::TempFolder folder_;
  std::string shop_ = folder_ / "shop.db";
  std::string backup_ = folder_ / "shop.vbk";
  std::string copy_ = folder_ / "copy.db";
};

TEST_F(TableChoiceCli, ANameOrPatternThatMatchesNothingIsAnError) {
  for (const char* option : {"-t", "-T"}) {
    Result save = Run({"save", "-c", shop_, "-f", backup_, option, "custmer?"});
    EXPECT_EQ(save.status, 2) << option;
    EXPECT_THAT(save.err, HasSubstr("\"custmer?\""));
    EXPECT_THAT(save.err, HasSubstr("customers, orders, order_lines, audit_log"));
    EXPECT_FALSE(std::filesystem::exists(backup_));
  }
  // A misspelt --no-data table would keep its rows after all: the host refuses it before the save.
  Result noData = Run({"save", "-c", shop_, "-f", backup_, "--no-data", "custmers"});
  EXPECT_EQ(noData.status, 64);
  EXPECT_THAT(noData.err, HasSubstr("\"custmers\""));

  ASSERT_EQ(Run({"save", "-c", shop_, "-f", backup_}).status, 0);
  Result restore = Run({"restore", "-c", copy_, "-f", backup_, "-t", "orders", "-t", "invoices"});
  EXPECT_EQ(restore.status, 2);
  EXPECT_THAT(restore.err, HasSubstr("\"invoices\" (to take) matches no table of the backup"));
  EXPECT_FALSE(std::filesystem::exists(copy_));
  // A direct copy is the whole database.
  Result direct =
      Run({"save", "-c", shop_, "-f", folder_ / "direct.vbk", "--mode", "direct", "-t", "orders"});
  EXPECT_EQ(direct.status, 2);
  EXPECT_THAT(direct.err, HasSubstr("direct copy"));
}

TEST_F(TableChoiceCli, ASaveTakesTheChosenTablesAndLeavesOutWhatRefersToTheOthers) {
  // Names compare as the file engine compares them: without regard to case.
  Result save = Host(folder_, {"save", "-c", shop_, "-f", backup_, "-t", "ORDER*", "-t", "customers", "-T",
                               "order_l?nes", "--events", "jsonl"});
  ASSERT_EQ(save.status, 0) << save.err;
  EXPECT_THAT(save.out, Not(HasSubstr(kWentWithTablesGuid)));  // nothing chosen refers to order_lines
  ASSERT_EQ(Run({"restore", "-c", copy_, "-f", backup_}).status, 0);
  EXPECT_EQ(Tables(), "customers\norders\n");
  EXPECT_EQ(Rows(copy_, "SELECT id, customer_id, total FROM orders ORDER BY id"), "1|1|50\n2|2|150\n");
  EXPECT_EQ(Rows(copy_, "SELECT \"table\" FROM pragma_foreign_key_list('orders')"), "customers\n");

  // Orders without its customers: the key and the customers' trigger go, named once; the table keeps its
  // own statement (its check) without the key, and a row for a customer not there goes in.
  save = Host(folder_, {"save", "-c", shop_, "-f", backup_, "-T", "customers", "-T", "order_lines", "-T",
                        "audit_log", "--events", "jsonl"});
  ASSERT_EQ(save.status, 0) << save.err;
  EXPECT_THAT(save.out, HasSubstr(kWentWithTablesGuid));
  EXPECT_THAT(save.out, HasSubstr("key FK_orders_customers of table orders (to customers)"));
  EXPECT_THAT(save.out, HasSubstr("trigger customers_audit on customers"));
  std::filesystem::remove(copy_);
  ASSERT_EQ(Run({"restore", "-c", copy_, "-f", backup_}).status, 0);
  EXPECT_EQ(Tables(), "orders\n");
  EXPECT_EQ(Rows(copy_, "SELECT count(*) FROM pragma_foreign_key_list('orders')"), "0\n");
  EXPECT_THAT(Rows(copy_, "SELECT sql FROM sqlite_master WHERE name = 'orders'"), HasSubstr("CHECK"));
  EXPECT_EQ(testing::Exec(copy_, "PRAGMA foreign_keys=ON; INSERT INTO orders VALUES (3, 9, 1)"), "");
}

TEST_F(TableChoiceCli, StructureOnlyAndAChoiceOnRestore) {
  // Saved without rows: every table comes back empty with its columns and the keys between them.
  ASSERT_EQ(Run({"save", "-c", shop_, "-f", backup_, "--schema-only"}).status, 0);
  ASSERT_EQ(Run({"restore", "-c", copy_, "-f", backup_}).status, 0);
  EXPECT_EQ(Tables(), "audit_log\ncustomers\norder_lines\norders\n");
  EXPECT_EQ(Rows(copy_,
                 "SELECT (SELECT count(*) FROM customers) + (SELECT count(*) FROM orders) + "
                 "(SELECT count(*) FROM order_lines) + (SELECT count(*) FROM audit_log)"),
            "0\n");
  EXPECT_EQ(Rows(copy_, "SELECT DISTINCT \"table\" FROM pragma_foreign_key_list('order_lines')"), "orders\n");

  // A full backup, brought back in part: two tables with their rows, or all of them without.
  ASSERT_EQ(Run({"save", "-c", shop_, "-f", backup_}).status, 0);
  std::filesystem::remove(copy_);
  ASSERT_EQ(Run({"restore", "-c", copy_, "-f", backup_, "-t", "order*"}).status, 0);
  EXPECT_EQ(Tables(), "order_lines\norders\n");
  EXPECT_EQ(Rows(copy_, "SELECT count(*) FROM order_lines"), "2\n");
  EXPECT_EQ(Rows(copy_, "SELECT DISTINCT \"table\" FROM pragma_foreign_key_list('order_lines')"), "orders\n");
  std::filesystem::remove(copy_);
  ASSERT_EQ(Run({"restore", "-c", copy_, "-f", backup_, "--schema-only", "-T", "audit_log"}).status, 0);
  EXPECT_EQ(Tables(), "customers\norder_lines\norders\n");
  EXPECT_EQ(Rows(copy_, "SELECT count(*) FROM orders"), "0\n");
}

// Into an existing database, a restore with -t replaces the chosen tables and keeps every other one as it
// was, rows the backup never saw included.
TEST_F(TableChoiceCli, ARestoreOfChosenTablesIntoAnExistingDatabaseKeepsTheOthers) {
  ASSERT_EQ(Run({"save", "-c", shop_, "-f", backup_}).status, 0);
  ASSERT_EQ(
      testing::Exec(shop_, "UPDATE orders SET total = 999; INSERT INTO audit_log VALUES ('later', 'z');"),
      "");
  ASSERT_EQ(Run({"restore", "-c", shop_, "-f", backup_, "-t", "orders"}).status, 0);
  EXPECT_EQ(Rows(shop_, "SELECT id, customer_id, total FROM orders ORDER BY id"), "1|1|50\n2|2|150\n");
  EXPECT_EQ(Rows(shop_, "SELECT at, what FROM audit_log ORDER BY at"), "later|z\nnow|x\nnow|x\nthen|y\n");
  EXPECT_EQ(Rows(shop_,
                 "SELECT name FROM sqlite_master WHERE name IN ('orders_by_customer', 'big_orders', "
                 "'customers_audit') ORDER BY name"),
            "big_orders\ncustomers_audit\norders_by_customer\n");
}

// On the server a pattern with a dot names the schema; one without matches the name in any schema.
TEST(TableChoiceServerCli, SchemaQualifiedPatterns) {
  VELA_REQUIRE_SERVER();
  testing::TempFolder folder;
  testing::ServerDatabaseGuard databases;
  const std::string source = databases.Add("choice_src");
  {
    data::CreateDatabase(source);
    std::unique_ptr<data::Connection> db = data::OpenConnection(source);
    db->Execute("CREATE SCHEMA sales");
    db->Execute("CREATE TABLE public.customers (id integer PRIMARY KEY, name text)");
    db->Execute(
        "CREATE TABLE public.orders (id integer PRIMARY KEY, customer_id integer REFERENCES "
        "public.customers(id))");
    db->Execute(
        "CREATE TABLE sales.orders (id integer PRIMARY KEY, customer_id integer REFERENCES "
        "public.customers(id))");
    db->Execute("CREATE TABLE sales.regions (code char(2) PRIMARY KEY)");
    db->Execute("INSERT INTO public.customers VALUES (1, 'Ann')");
    db->Execute("INSERT INTO sales.orders VALUES (7, 1)");
  }
  const std::string backup = folder / "sales.vbk";
  auto restored = [&](const std::vector<std::string>& choice) {
    std::vector<std::string> save{"save", "-c", source, "-f", backup, "--quiet"};
    save.insert(save.end(), choice.begin(), choice.end());
    Result saved = Host(folder, save);
    EXPECT_EQ(saved.status, 0) << saved.err;
    const std::string copy = databases.Add("choice_copy");
    Result restore = Host(folder, {"restore", "-c", copy, "-f", backup, "--quiet"});
    EXPECT_EQ(restore.status, 0) << restore.err;
    return testing::Scalar(copy,
                           "SELECT string_agg(table_schema || '.' || table_name, ',' "
                           "ORDER BY table_schema, table_name) FROM "
                           "information_schema.tables WHERE table_schema IN ('public', 'sales')")
        .AsText();
  };
  EXPECT_EQ(restored({"-t", "sales.*", "-T", "*.regions"}), "sales.orders");
  EXPECT_EQ(restored({"-t", "orders", "-t", "public.customers"}),
            "public.customers,public.orders,sales.orders");
  EXPECT_EQ(restored({"-t", "public.*", "-T", "customers"}), "public.orders");
  Result nothing = Host(folder, {"save", "-c", source, "-f", backup, "--quiet", "-t", "Sales.*"});
  EXPECT_EQ(nothing.status, 2);
  EXPECT_THAT(nothing.err, HasSubstr("customers, orders, sales.orders, sales.regions"));
}

}  // namespace
}  // namespace vela
