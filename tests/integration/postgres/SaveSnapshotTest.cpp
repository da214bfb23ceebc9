// A text save of a server database reads every table at one moment: orders and their lines written by
// another session while the save runs are in the backup together or not at all, so the restore's foreign
// key finds every line's order and the counts agree.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/data/postgres/ServerSession.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Scalar;

void RunSql(Connection& connection, const std::string& sql) {
  dynamic_cast<postgres::ServerSession&>(connection).RunServerSql(sql);
}

TEST(SaveSnapshot, RowsWrittenDuringASaveAreInEveryTableOrInNone) {
  VELA_REQUIRE_SERVER();
  testing::ServerDatabaseGuard databases;
  testing::TempFolder folder;
  const std::string source = databases.Add("snap_source");
  CreateDatabase(source);
  // The orders are read before their lines ("A_" before "B_"), each line names its order, and every order
  // has two lines; enough rows that reading them takes a while.
  {
    std::unique_ptr<Connection> setup = OpenConnection(source);
    RunSql(
        *setup,
        "CREATE TABLE \"A_Orders\" (id integer PRIMARY KEY, customer text NOT NULL); "
        "CREATE TABLE \"B_Lines\" (id serial PRIMARY KEY, order_id integer NOT NULL "
        "REFERENCES \"A_Orders\" (id), item text NOT NULL); "
        "INSERT INTO \"A_Orders\" SELECT n, 'customer ' || n FROM generate_series(1, 40000) n; "
        "INSERT INTO \"B_Lines\" (order_id, item) SELECT n, 'item ' || k FROM generate_series(1, 40000) n, "
        "generate_series(1, 2) k");
  }

  // Another session adds an order and its two lines in one transaction, again and again, while the save
  // runs.
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::thread writer([&] {
    std::unique_ptr<Connection> session = OpenConnection(source);
    for (int id = 100000; !stop; ++id) {
      const std::string order = std::to_string(id);
      RunSql(*session, "BEGIN; INSERT INTO \"A_Orders\" VALUES (" + order + ", 'late'); " +
                           "INSERT INTO \"B_Lines\" (order_id, item) VALUES (" + order + ", 'a'), (" + order +
                           ", 'b'); COMMIT");
      ++written;
    }
  });
  while (written < 5) std::this_thread::yield();

  CBackup backup;
  backup.SetLanguageResources(LanguageResources::English());
  backup.SetJobs(2);  // the lines are read on a session of their own, in the snapshot of the first
  bool saved = false;
  {
    std::unique_ptr<Connection> connection = OpenConnection(source);
    saved = backup.Save(*connection, folder / "orders.vbk");
    // The connection is the caller's again: no transaction of the save is left open on it.
    EXPECT_FALSE(dynamic_cast<postgres::ServerSession&>(*connection).InTransaction());
  }
  const int writtenDuringSave = written;
  stop = true;
  writer.join();
  ASSERT_TRUE(saved);
  ASSERT_GT(writtenDuringSave, 5);

  const std::string target = databases.Add("snap_target");
  ASSERT_TRUE(backup.Restore(target, folder / "orders.vbk"));
  const std::int64_t orders = Scalar(target, "SELECT COUNT(*) FROM \"A_Orders\"").AsInt();
  EXPECT_EQ(Scalar(target, "SELECT COUNT(*) FROM \"B_Lines\"").AsInt(), 2 * orders);
  EXPECT_EQ(Scalar(target,
                   "SELECT COUNT(*) FROM \"B_Lines\" l WHERE NOT EXISTS "
                   "(SELECT 1 FROM \"A_Orders\" o WHERE o.id = l.order_id)")
                .AsInt(),
            0);
  EXPECT_GE(orders, 40000);
}

}  // namespace
}  // namespace vela
