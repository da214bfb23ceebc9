// Rows on their way to the server from a thread of their own while the caller encodes the next ones:
// every value arrives as it was sent whatever chunk it falls in, a row the server refuses fails the run
// with the server's message and leaves none of it, and a cancelled restore leaves no thread behind.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Sample.h"
#include "platform/data/SqlText.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela::data {
namespace {

using vela::testing::Failure;

// The threads of this process.
int Threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
  return -1;
}

struct Column {
  const char* name;
  const char* type;
  int adoType;
};
const std::vector<Column> kColumns = {
    {"id", "integer", adInteger},           {"big", "bigint", adBigInt},
    {"real", "double precision", adDouble}, {"exact", "numeric(19,4)", adNumeric},
    {"taken", "timestamp", adDBTimeStamp},  {"day", "date", adDBDate},
    {"flag", "boolean", adBoolean},         {"note", "text", adLongVarWChar},
    {"bytes", "bytea", adLongVarBinary}};

// Row `id`, each value as a read gives it back; NULLs here and there, and now and then a text and a
// binary longer than a chunk.
std::vector<Value> RowValues(int id) {
  const bool large = id % 997 == 0;
  std::string note = id % 7 == 0 ? "" : "tab\there\nline\\back\r\\N é€𝄞 " + std::to_string(id);
  if (large) note = std::string(300 * 1024, 'x') + "\t\\" + std::to_string(id);
  Bytes bytes(large ? 300 * 1024 + 3 : id % 13, static_cast<std::uint8_t>(id));
  if (!bytes.empty()) bytes.front() = 0x5c;
  return {Value(id),
          Value(static_cast<long long>(id) * 10000000007LL),
          Value(id / 3.0),
          Value::Decimal(std::to_string(id) + ".25"),
          Value::Date("2024-02-29 23:59:" + std::to_string(10 + id % 50) + (id % 2 ? ".125" : "")),
          Value::Date("1999-12-" + std::to_string(10 + id % 20) + " 00:00:00"),
          Value(id % 2 == 0),
          id % 11 == 0 ? Value::Null() : Value(note),
          id % 5 == 0 ? Value::Null() : Value(bytes)};
}

class ServerCopyOverlapTest : public vela::testing::ServerDatabaseTest {
 protected:
  ServerCopyOverlapTest() : ServerDatabaseTest("vela_overlap") {}

  // Sends one row as a restore does: a prepared INSERT, the last of its run unprepared.
  void Send(const std::string& table, const std::vector<Value>& values, bool prepared = true) {
    Command command(*db_);
    std::string list, marks;
    for (std::size_t i = 0; i < values.size(); ++i) {
      list += (i == 0 ? "" : ", ") + BracketName(kColumns[i].name);
      marks += i == 0 ? "?" : ", ?";
      command.Parameters().push_back(
          command.CreateParameter(kColumns[i].name, kColumns[i].adoType, adParamInput, 0, values[i]));
    }
    command.SetCommandText("INSERT INTO " + BracketName(table) + " (" + list + ") VALUES(" + marks + ")");
    command.SetPrepared(prepared);
    command.Execute();
  }
  void MakeTable(const std::string& table, const std::string& check = "") {
    std::string columns;
    for (const Column& column : kColumns)
      columns += (columns.empty() ? "" : ", ") + BracketName(column.name) + " " + column.type;
    db_->Execute("CREATE TABLE " + BracketName(table) + " (" + columns + check + ")");
  }
  std::int64_t Count(const std::string& table) {
    auto rs = db_->OpenRecordset("SELECT COUNT(*) FROM " + BracketName(table), adOpenForwardOnly,
                                 adLockReadOnly, adUseServer);
    return rs->GetValue(std::size_t{0}).AsInt();
  }
};

TEST_F(ServerCopyOverlapTest, EveryValueComesBackAsSentAcrossChunks) {
  if (NotSetUp()) return;
  constexpr int kRows = 4000;
  MakeTable("All");
  for (int id = 1; id <= kRows; ++id) Send("All", RowValues(id), id < kRows);
  auto rs =
      db_->OpenRecordset("SELECT * FROM [All] ORDER BY [id]", adOpenForwardOnly, adLockReadOnly, adUseServer);
  int id = 0;
  for (; !rs->Eof(); rs->MoveNext()) {
    const std::vector<Value> expected = RowValues(++id);
    for (std::size_t c = 0; c < expected.size(); ++c)
      ASSERT_EQ(rs->GetValue(c), expected[c]) << "row " << id << " column " << kColumns[c].name;
  }
  EXPECT_EQ(id, kRows);
}

TEST_F(ServerCopyOverlapTest, ARowRefusedAfterManyChunksLeavesNoneOfTheRun) {
  if (NotSetUp()) return;
  const int threads = Threads();
  MakeTable("Checked", ", CONSTRAINT [no_1500] CHECK ([id] <> 1500)");
  Send("Checked", RowValues(1), false);
  Error e = Failure([&] {
    for (int id = 2; id <= 3000; ++id) Send("Checked", RowValues(id), id < 3000);
  });
  EXPECT_EQ(e.EngineCode(), "23514");
  EXPECT_NE(e.Description().find("no_1500"), std::string::npos) << e.Description();
  // The row before the run stays, the run is gone, the connection goes on and the sender with it.
  EXPECT_EQ(Count("Checked"), 1);
  EXPECT_EQ(Threads(), threads);
  for (int id = 2; id <= 3; ++id) Send("Checked", RowValues(id), id < 3);
  EXPECT_EQ(Count("Checked"), 3);
}

// A restore cancelled while the rows of its large table go to the server stops there: no thread of it is
// left, no session to the database it was building, and no such database.
TEST(ServerCopyOverlapRestore, ACancelDuringTheRowsStopsCleanly) {
  VELA_REQUIRE_SERVER();
  vela::testing::TempFolder folder;
  vela::testing::ServerDatabaseGuard databases;
  const std::string source = databases.Add("overlap_source");
  cli::MakeSampleDatabase(source, 20000);
  CBackup backup;
  vela::testing::EventRecorder events;
  backup.SetLanguageResources(LanguageResources::English());
  backup.SetEvents(&events);
  ASSERT_TRUE(backup.Save(*OpenConnection(source), folder / "server.vbk"));
  const std::string target = databases.Add("overlap_target");
  const std::string name = vela::testing::ServerDatabaseName(target);
  const int threads = Threads();
  events.Clear();
  // Most events come with the rows of the large table: the middle one is among them.
  ASSERT_TRUE(backup.Restore(target, folder / "server.vbk", true));
  const int all = events.Count(vela::testing::EventRecorder::kProgress);
  for (int at : {all / 2, all * 3 / 4}) {
    events.Clear();
    events.CancelAt(backup, at);
    EXPECT_FALSE(backup.Restore(target, folder / "server.vbk", true)) << at;
    EXPECT_EQ(Threads(), threads) << at;
    EXPECT_EQ(vela::testing::Scalar(
                  vela::testing::ServerDatabase("Master"),
                  "SELECT COUNT(*) FROM pg_stat_activity WHERE datname LIKE " + QuoteText(name + "%"))
                  .AsInt(),
              0)
        << at;
    EXPECT_EQ(vela::testing::Scalar(
                  vela::testing::ServerDatabase("Master"),
                  "SELECT COUNT(*) FROM pg_database WHERE datname LIKE " + QuoteText(name + "_restoring_%"))
                  .AsInt(),
              0)
        << at;
  }
}

}  // namespace
}  // namespace vela::data
