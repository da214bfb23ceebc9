// The server provider's connection on the PostgreSQL test cluster (scripts/pg_cluster.sh), for what the
// conformance suite does not reach: connection strings and logins, streaming with flat memory, the
// server's own statement in its errors, and runs of inserts.
// Each test works in a database of its own, made and dropped through the maintenance database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerConnection.h"
#include "support/Failure.h"
#include "support/ServerDatabases.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::postgres {
namespace {

using vela::testing::Env;
using vela::testing::Failure;

// Resident memory of this process, in bytes.
std::int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

class ServerConnectionTest : public vela::testing::ServerDatabaseTest {
 protected:
  ServerConnectionTest() : ServerDatabaseTest("vela_conn") {}

  static std::string Cs(const std::string& database, const std::string& source = "(local)") {
    return "Provider=SQLOLEDB.1;Data Source=" + source + ";Initial Catalog=" + database;
  }

  // The first value of a query's first row.
  Value Scalar(Connection& connection, const std::string& sql) {
    auto rs = connection.OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
    EXPECT_FALSE(rs->Eof()) << sql;
    return rs->Eof() ? Value() : rs->GetValue(std::size_t{0});
  }
};

TEST_F(ServerConnectionTest, DataSourceFormsReachTheServerAndTheStringKeepsNoPassword) {
  EXPECT_EQ(Scalar(*maintenance_, "SELECT current_database()").AsText(), "postgres");
  EXPECT_EQ(maintenance_->Provider(), "SQLOLEDB.1");

  // "host,port" with the socket folder as host; the password is sent (and accepted) but never shown.
  std::string cs = "Provider=SQLOLEDB.1;Data Source=" + Env("PGHOST") + "," + Env("PGPORT") +
                   ";Initial Catalog=" + database_ + ";UserID=postgres;Password=s3cret";
  auto byPort = OpenServerConnection(cs);
  EXPECT_EQ(Scalar(*byPort, "SELECT current_database()").AsText(), database_);
  EXPECT_EQ(byPort->ConnectionString().find("s3cret"), std::string::npos);
  EXPECT_NE(byPort->ConnectionString().find("UserID=postgres"), std::string::npos);

  // This computer's name with an instance name, and "Local", are the local server too.
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  for (std::string source : {std::string(host) + "\\SQLEXPRESS", std::string("Local")}) {
    auto local = OpenServerConnection(Cs(database_, source) + ";User ID=postgres");
    EXPECT_EQ(Scalar(*local, "SELECT current_user").AsText(), "postgres") << source;
  }
}

TEST_F(ServerConnectionTest, RefusedLoginsAndUnknownDatabasesNameServerAndDatabase) {
  Error unknown = Failure([&] { OpenServerConnection(Cs("no_such_db") + ";Password=hidden-pw"); });
  EXPECT_EQ(unknown.Number(), kCommandError);
  EXPECT_EQ(unknown.Source(), kSourceServerProvider);
  EXPECT_EQ(unknown.EngineCode(), "3D000");
  EXPECT_NE(unknown.Description().find("\"no_such_db\""), std::string::npos) << unknown.Description();
  EXPECT_NE(unknown.Description().find("(local)"), std::string::npos) << unknown.Description();
  EXPECT_EQ(unknown.Description().find("hidden-pw"), std::string::npos);

  // The test cluster trusts every login, so a refused one is a role that may not log in.
  db_->Execute("CREATE ROLE vela_nologin_" + std::to_string(getpid()) + " NOLOGIN");
  std::string role = "vela_nologin_" + std::to_string(getpid());
  Error refused = Failure([&] {
    OpenServerConnection(Cs(database_, Env("PGHOST") + "," + Env("PGPORT")) + ";UserID=" + role +
                         ";Password=hidden-pw");
  });
  db_->Execute("DROP ROLE " + BracketName(role));
  EXPECT_EQ(refused.Number(), kAuthenticationFailed);
  EXPECT_NE(refused.Description().find(database_), std::string::npos) << refused.Description();
  EXPECT_NE(refused.Description().find(Env("PGHOST") + ":" + Env("PGPORT")), std::string::npos);
  EXPECT_EQ(refused.Description().find("hidden-pw"), std::string::npos);

  Error gone = Failure([&] { OpenServerConnection(Cs(database_, "/nonexistent-socket-folder,1")); });
  EXPECT_EQ(gone.Number(), kServerGone);
}

TEST_F(ServerConnectionTest, ForwardOnlyRecordsetsStreamWithFlatMemory) {
  const std::string query = "SELECT g AS [n], repeat('x', 300) AS [pad] FROM generate_series(1, 100000) AS g";
  std::int64_t before = ResidentBytes();
  std::int64_t peak = before;
  std::int64_t rows = 0, sum = 0;
  {
    auto rs = db_->OpenRecordset(query, adOpenForwardOnly, adLockReadOnly, adUseServer);
    EXPECT_EQ(rs->RecordCount(), -1);
    // The connection runs nothing else while the rows stream.
    EXPECT_EQ(Failure([&] { db_->Execute("SELECT 1"); }).Number(), kCommandError);
    for (; !rs->Eof(); rs->MoveNext()) {
      ++rows;
      sum += rs->GetValue(std::size_t{0}).AsInt();
      if (rows % 10000 == 0) peak = std::max(peak, ResidentBytes());
    }
  }
  EXPECT_EQ(rows, 100000);
  EXPECT_EQ(sum, 5000050000LL);
  // The whole result would take some 30 MB; a streamed one stays within a few. The address sanitizer keeps
  // freed memory aside, so resident memory says nothing under it.
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(peak - before, 8 << 20) << "resident memory grew by " << (peak - before) << " bytes";
#endif

  // A recordset closed early leaves the connection ready for the next command.
  auto early = db_->OpenRecordset(query, adOpenForwardOnly, adLockReadOnly, adUseServer);
  early->MoveNext();
  early->Close();
  EXPECT_EQ(Scalar(*db_, "SELECT 41 + 1").AsInt(), 42);
}

TEST_F(ServerConnectionTest, ServerErrorsCarryNumberSqlStateAndStatement) {
  db_->Execute("CREATE TABLE [k] ([id] int PRIMARY KEY)");
  db_->Execute("INSERT INTO [k] VALUES (1)");

  // The statement named is the one the server refused: in its own quoting, with its own marks.
  Error duplicate = Failure([&] { db_->Execute("INSERT INTO [k] VALUES (1)"); });
  EXPECT_EQ(duplicate.EngineCode(), "23505");
  EXPECT_EQ(duplicate.Statement(), "INSERT INTO \"k\" VALUES (1)");
  std::vector<Parameter> one = {{"", adInteger, adParamInput, 0, Value(1), 0, 0}};
  Error missing = Failure([&] { db_->Execute("UPDATE [nope] SET [id] = ?", one, true); });
  EXPECT_EQ(missing.EngineCode(), "42P01");
  EXPECT_EQ(missing.Statement(), "UPDATE \"nope\" SET \"id\" = $1");

  // An error after rows have streamed surfaces on the move that meets it; the connection stays usable.
  auto rs = db_->OpenRecordset("SELECT 1 / (g - 500) FROM generate_series(1, 1000) AS g", adOpenForwardOnly,
                               adLockReadOnly, adUseServer);
  Error divide = Failure([&] {
    while (!rs->Eof()) rs->MoveNext();
  });
  EXPECT_EQ(divide.EngineCode(), "22012");
  EXPECT_EQ(divide.Number(), kCommandError);
  EXPECT_EQ(Scalar(*db_, "SELECT count(*) FROM [k]").AsInt(), 1);
}

// Sends one row as a restore does: a prepared INSERT of the columns the row has values for.
void SendRow(Connection& connection, const std::string& table, const std::vector<std::string>& columns,
             const std::vector<Value>& values, bool prepared = true) {
  Command command(connection);
  std::string list, marks;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    list += (i == 0 ? "" : ", ") + BracketName(columns[i]);
    marks += i == 0 ? "?" : ", ?";
    int type = values[i].GetKind() == Value::Kind::Binary ? adLongVarBinary : adVarWChar;
    command.Parameters().push_back(command.CreateParameter(columns[i], type, adParamInput, 0, values[i]));
  }
  command.SetCommandText("INSERT INTO " + BracketName(table) + " (" + list + ") VALUES(" + marks + ")");
  command.SetPrepared(prepared);
  command.Execute();
}

TEST_F(ServerConnectionTest, RunsOfInsertsKeepEveryValueAndEndWhereTheyShould) {
  db_->Execute("CREATE TABLE [Run s] ([id] integer NOT NULL, [t] text, [b] bytea, [n] integer DEFAULT 7)");
  const std::string awkward = "tab\there\nline\\back\r\\N é€𝄞 'q' \"d\"";
  const Bytes bytes = {0x00, 0x5c, 0x09, 0x0a, 0xff};
  for (int id = 1; id <= 2000; ++id) {
    if (id % 3 == 0)  // another column list: its own run, and the default applies
      SendRow(*db_, "Run s", {"id", "t"}, {Value(id), Value(awkward)});
    else
      SendRow(*db_, "Run s", {"id", "t", "b", "n"}, {Value(id), Value::Null(), Value(bytes), Value(id)});
  }
  SendRow(*db_, "Run s", {"id", "t", "b", "n"}, {Value(2001), Value(""), Value(Bytes{}), Value::Null()},
          false);
  // Another connection sees every row: the run was committed when its last row came unprepared.
  auto other = OpenServerConnection(Cs(database_));
  EXPECT_EQ(Scalar(*other, "SELECT COUNT(*) FROM [Run s]").AsInt(), 2001);
  EXPECT_EQ(Scalar(*other, "SELECT COUNT(*) FROM [Run s] WHERE [t] = " + QuoteText(awkward)).AsInt(), 666);
  EXPECT_EQ(Scalar(*other, "SELECT COUNT(*) FROM [Run s] WHERE [n] = 7 AND [id] % 3 = 0").AsInt(), 666);
  EXPECT_EQ(
      Scalar(*other, "SELECT COUNT(*) FROM [Run s] WHERE [t] IS NULL AND [b] = '\\x005c090aff'").AsInt(),
      1334);
  EXPECT_EQ(Scalar(*other,
                   "SELECT [t] || '|' || length([b]) || '|' || coalesce([n], -1) FROM [Run s] "
                   "WHERE [id] = 2001")
                .AsText(),
            "|0|-1");

  // A run the caller leaves open ends before the next statement of any kind.
  SendRow(*db_, "Run s", {"id"}, {Value(3000)});
  EXPECT_EQ(Scalar(*db_, "SELECT MAX([id]) FROM [Run s]").AsInt(), 3000);
  SendRow(*db_, "Run s", {"id"}, {Value(3001)});
  db_->Close();
  EXPECT_EQ(Scalar(*other, "SELECT MAX([id]) FROM [Run s]").AsInt(), 3001);
}

TEST_F(ServerConnectionTest, ARefusedRowFailsItsRunNamingTableAndColumn) {
  db_->Execute("CREATE TABLE [Parts] ([id] integer PRIMARY KEY, [qty] integer NOT NULL)");
  SendRow(*db_, "Parts", {"id", "qty"}, {Value(1), Value(1)}, false);
  for (int id = 2; id <= 50; ++id) SendRow(*db_, "Parts", {"id", "qty"}, {Value(id), Value("12")});
  SendRow(*db_, "Parts", {"id", "qty"}, {Value(51), Value("twelve")});
  Error e = Failure([&] { SendRow(*db_, "Parts", {"id", "qty"}, {Value(52), Value(1)}, false); });
  EXPECT_EQ(e.Number(), kTypeMismatch);
  EXPECT_EQ(e.EngineCode(), "22P02");
  EXPECT_NE(e.Description().find("Parts"), std::string::npos) << e.Description();
  EXPECT_NE(e.Description().find("qty"), std::string::npos) << e.Description();
  // Nothing of the refused run stays; the rows before it do, and the connection goes on.
  EXPECT_EQ(Scalar(*db_, "SELECT COUNT(*) FROM [Parts]").AsInt(), 1);

  for (int id = 2; id <= 5; ++id) SendRow(*db_, "Parts", {"id", "qty"}, {Value(id), Value(id)});
  SendRow(*db_, "Parts", {"id", "qty"}, {Value(1), Value(1)});  // the key is taken
  e = Failure([&] { db_->Execute("SELECT 1"); });
  EXPECT_EQ(e.Number(), kIntegrityViolation);
  EXPECT_EQ(Scalar(*db_, "SELECT COUNT(*) FROM [Parts]").AsInt(), 1);
}

}  // namespace
}  // namespace vela::data::postgres
