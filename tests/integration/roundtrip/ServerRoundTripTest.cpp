// Text backups across engines: the sample database goes file -> server -> file and server -> server with
// its schema and rows; restores onto the server replace what was there and leave nothing behind when
// cancelled; names that quote characters of SQL stay names on the server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <map>

#include "Sample.h"
#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerSession.h"
#include "platform/utils/KeyValue.h"
#include "support/Archives.h"
#include "support/Databases.h"
#include "support/Describe.h"
#include "support/EventRecorder.h"
#include "support/Failure.h"
#include "support/Forwarding.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Describe;
using testing::DescriptionDifference;
using testing::FileDatabase;
using testing::Scalar;
using testing::ServerDatabaseGuard;
using testing::ServerDatabaseName;
using testing::TempFolder;

class ServerRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    VELA_REQUIRE_SERVER();
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&events_);
  }

  bool Save(const std::string& connectionString, const std::string& file,
            BackupModeEnum mode = bmCompressedTextFile) {
    backup_.SetBackupMode(mode);
    std::unique_ptr<Connection> connection = OpenConnection(connectionString);
    return backup_.Save(*connection, file);
  }
  bool Restore(const std::string& connectionString, const std::string& file) {
    return backup_.Restore(connectionString, file, true);
  }

  // Whether the server has the database, and how many sessions are connected to it.
  static bool Exists(const std::string& name) {
    return Scalar(testing::ServerDatabase("Master"),
                  "SELECT COUNT(*) FROM pg_database WHERE datname = " + QuoteText(name))
               .AsInt() > 0;
  }
  static std::int64_t Sessions(const std::string& name) {
    return Scalar(testing::ServerDatabase("Master"),
                  "SELECT COUNT(*) FROM pg_stat_activity WHERE datname = " + QuoteText(name))
        .AsInt();
  }

  TempFolder folder_;
  ServerDatabaseGuard databases_;
  CBackup backup_;
  testing::EventRecorder events_;
};

// What a trip through the server changes, by name: PostgreSQL has no binary of fixed size and no unsigned
// tiny integer, and a file engine's "=0" default is the number 0.
std::vector<std::string> AfterTripThroughServer(std::vector<std::string> lines) {
  auto change = [&](const std::string& from, const std::string& to) {
    for (std::string& line : lines)
      if (std::size_t at = line.find(from); at != std::string::npos) line.replace(at, from.size(), to);
  };
  // Binaries of a size and unsigned tiny integers come back as long binaries and small integers.
  for (const char* column : {"Blob type=204 size=64", "Hash type=128 size=16", "Thumb type=204 size=255"})
    change(column, std::string(column).substr(0, std::string(column).find(' ')) + " type=205 size=0");
  change("Stock type=17 size=0 precision=3", "Stock type=2 size=0 precision=5");
  change("Default==0", "Default=0");
  return lines;
}

class ServerRoundTripModes : public ServerRoundTrip, public ::testing::WithParamInterface<BackupModeEnum> {};

TEST_P(ServerRoundTripModes, FileToServerToFileKeepsSchemaAndRows) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 250);
  const std::string server = databases_.Add("rt_server");
  const std::string back = FileDatabase(folder_ / "back.db");
  ASSERT_TRUE(Save(source, folder_ / "file.vbk", GetParam()));
  ASSERT_TRUE(Restore(server, folder_ / "file.vbk"));
  ASSERT_TRUE(Save(server, folder_ / "server.vbk", GetParam()));
  ASSERT_TRUE(Restore(back, folder_ / "server.vbk"));
  // The sample's view is in the file engine's SQL, which the server does not run: it is named.
  ASSERT_EQ(events_.lines.size(), 1u) << ::testing::PrintToString(events_.lines);
  EXPECT_THAT(events_.lines[0], ::testing::HasSubstr("view CustomerOrders"));

  std::vector<std::string> expected = AfterTripThroughServer(Describe(source));
  // A text backup leaves out the row that lets new connections in.
  std::erase_if(expected,
                [](const std::string& line) { return line.find("AllowNewConnection") != std::string::npos; });
  EXPECT_EQ(DescriptionDifference(expected, Describe(back)), "");
}

INSTANTIATE_TEST_SUITE_P(Modes, ServerRoundTripModes,
                         ::testing::Values(bmCompressedTextFile, bmUncompressedTextFile),
                         [](const auto& info) {
                           return info.param == bmCompressedTextFile ? std::string("Compressed")
                                                                     : std::string("Uncompressed");
                         });

TEST_F(ServerRoundTrip, ServerToServerKeepsEverythingAndReplacesTheTarget) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 250);
  const std::string first = databases_.Add("rt_first");
  const std::string second = databases_.Add("rt_second");
  ASSERT_TRUE(Save(source, folder_ / "file.vbk"));
  ASSERT_TRUE(Restore(first, folder_ / "file.vbk"));
  ASSERT_TRUE(Save(first, folder_ / "server.vbk"));

  // The target exists and holds a table of its own: the restore replaces the database.
  CreateDatabase(second);
  OpenConnection(second)->Execute("CREATE TABLE [Stale] ([x] integer)");
  ASSERT_TRUE(Restore(second, folder_ / "server.vbk"));
  EXPECT_EQ(DescriptionDifference(Describe(first), Describe(second)), "");
  EXPECT_EQ(Scalar(second, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Stale'").AsInt(), 0);

  // Identity columns go on above the restored rows.
  std::unique_ptr<Connection> target = OpenConnection(second);
  target->Execute("INSERT INTO [Measurements] ([Label]) VALUES ('New')");
  EXPECT_EQ(Scalar(second, "SELECT MAX([ID]) FROM [Measurements]").AsInt(), 251);
}

// A cancelled restore builds nothing in the target's place: the database it was building aside goes with
// every connection to it, and the existing target stays as it was.
TEST_F(ServerRoundTrip, CancelAtAnyEventLeavesTheTargetAsItWasAndNoConnection) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 20);
  ASSERT_TRUE(Save(source, folder_ / "file.vbk"));
  const std::string target = databases_.Add("rt_cancel");
  const std::string name = ServerDatabaseName(target);
  events_.Clear();
  ASSERT_TRUE(Restore(target, folder_ / "file.vbk"));
  const int events = events_.Count(testing::EventRecorder::kProgress);
  ASSERT_GT(events, 5);
  OpenConnection(target)->Execute("CREATE TABLE [Mine] ([Keep] integer)");
  const std::string aside =
      "SELECT COUNT(*) FROM pg_database WHERE datname LIKE " + QuoteText(name + "_restoring_%");
  for (int at = 1; at < events; ++at) {
    events_.Clear();
    events_.CancelAt(backup_, at);
    EXPECT_FALSE(Restore(target, folder_ / "file.vbk")) << "cancelled at event " << at;
    EXPECT_EQ(Scalar(target, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Mine'").AsInt(), 1) << at;
    EXPECT_EQ(Scalar(testing::ServerDatabase("Master"), aside).AsInt(), 0) << "cancelled at event " << at;
    EXPECT_EQ(Sessions(name), 0) << "cancelled at event " << at;
  }
  // The final event comes once the target is replaced: a cancel from it is too late to change that.
  events_.Clear();
  events_.CancelAt(backup_, events);
  ASSERT_TRUE(Restore(target, folder_ / "file.vbk"));
  EXPECT_EQ(backup_.LastOutcome(), OperationOutcome{Outcome::kDone});
  EXPECT_EQ(Scalar(target, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Mine'").AsInt(), 0);
  EXPECT_TRUE(Exists(name));
}

// Another user's connection keeps the target from being replaced: the restore says so and the target
// stays, with nothing left aside.
TEST_F(ServerRoundTrip, ATargetInUseStaysAndTheRestoreSaysSo) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 20);
  ASSERT_TRUE(Save(source, folder_ / "file.vbk"));
  const std::string target = databases_.Add("rt_busy");
  const std::string name = ServerDatabaseName(target);
  ASSERT_TRUE(Restore(target, folder_ / "file.vbk"));
  OpenConnection(target)->Execute("CREATE TABLE [Mine] ([Keep] integer)");
  // A connection of another program: libpq's own, which this process's restore cannot close.
  PGconn* other = PQconnectdb(("dbname=" + name).c_str());
  ASSERT_EQ(PQstatus(other), CONNECTION_OK) << PQerrorMessage(other);
  events_.Clear();
  EXPECT_FALSE(Restore(target, folder_ / "file.vbk"));
  PQfinish(other);
  EXPECT_THAT(events_.lines,
              ::testing::Contains(::testing::StartsWith("{7A29569B-FE02-40CC-8553-E0A147D6B861}")));
  // No files are put beside a database that was not restored, and nothing says it was.
  EXPECT_EQ(events_.additional, 0);
  EXPECT_THAT(events_.Captions(),
              ::testing::Not(::testing::Contains(LanguageResources::English()->GetString(7, "Backup"))));
  EXPECT_EQ(Scalar(target, "SELECT COUNT(*) FROM pg_class WHERE relname = 'Mine'").AsInt(), 1);
  EXPECT_EQ(Scalar(testing::ServerDatabase("Master"),
                   "SELECT COUNT(*) FROM pg_database WHERE datname LIKE " + QuoteText(name + "_restoring_%"))
                .AsInt(),
            0);
}

// A numeric takes the precision and scale the backup gives, as far as the server holds them; beyond that
// the restore is refused naming the table and column, and the target stays.
TEST_F(ServerRoundTrip, ANumericKeepsItsSizesOrTheRestoreIsRefusedByName) {
  const std::string target = databases_.Add("rt_sizes");
  auto backup = [&](const std::string& precision, const std::string& scale) {
    const std::string document =
        "<Database ConnectionString=\"x\"><Tables><Table Name=\"N\" FileName=\"data\"><Columns><Column "
        "Name=\"A\" DataType=\"131\" Precision=\"" +
        precision + "\" NumericScale=\"" + scale +
        "\" Flags=\"0\" Nullable=\"-1\" Autoincrement=\"0\"/></Columns><Indexes/><Keys/></Table></Tables>"
        "</Database>";
    testing::WriteArchive(folder_ / "sizes.vbk", {{"{622494E8-4265-4A3E-81A7-8E785532AC06}", document},
                                                  {"{77D0C73C-7738-42B6-9E94-1CAD0ECFF1AA}", "0"},
                                                  {"{E5D9691B-491A-49AC-912F-1F1D28F259FC}", "1"},
                                                  {"data", testing::Utf16File("[0][EOF]")}});
  };
  const std::string sizes =
      "SELECT numeric_precision || ',' || numeric_scale FROM information_schema.columns WHERE column_name = "
      "'A'";
  backup("1000", "300");
  ASSERT_TRUE(Restore(target, folder_ / "sizes.vbk"));
  EXPECT_EQ(Scalar(target, sizes).AsText(), "1000,300");

  backup("1001", "0");
  const std::string failure = testing::Failure([&] { Restore(target, folder_ / "sizes.vbk"); }).Description();
  EXPECT_THAT(failure, ::testing::HasSubstr("Column A of table N"));
  EXPECT_THAT(failure, ::testing::HasSubstr("1 to 1000 digits"));
  EXPECT_EQ(Scalar(target, sizes).AsText(), "1000,300");
}

TEST_F(ServerRoundTrip, ADirectCopyWithoutTheServersToolsAsksFirst) {
  const std::string source = FileDatabase(folder_ / "source.db");
  cli::MakeSampleDatabase(source, 10);
  const std::string local = databases_.Add("rt_remote");
  ASSERT_TRUE(Save(source, folder_ / "file.vbk"));
  ASSERT_TRUE(Restore(local, folder_ / "file.vbk"));
  events_.lines.clear();
  // A folder without the server's tools stands for a computer without them.
  std::filesystem::create_directories(folder_ / "no-tools");
  ::setenv("VELA_PG_BINDIR", (folder_ / "no-tools").c_str(), 1);
  auto saveElsewhere = [&](const std::string& file) {
    backup_.SetBackupMode(bmDirectCopy);
    return backup_.Save(*OpenConnection(local), file);
  };
  const std::string question = "{66685F35-E98D-45C9-A75D-41E896550869}";

  events_.answers[question] = 7;  // No
  EXPECT_FALSE(saveElsewhere(folder_ / "no.vbk"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "no.vbk"));
  ASSERT_EQ(events_.lines.size(), 1u) << ::testing::PrintToString(events_.lines);
  EXPECT_THAT(events_.lines[0], ::testing::StartsWith(question));
  EXPECT_THAT(events_.lines[0], ::testing::HasSubstr("pg_dump is not installed"));

  events_.answers[question] = 6;  // Yes: a compressed text backup instead
  ASSERT_TRUE(saveElsewhere(folder_ / "yes.vbk"));
  ::unsetenv("VELA_PG_BINDIR");
  EXPECT_EQ(backup_.BackupMode(), bmCompressedTextFile);
  const std::string back = FileDatabase(folder_ / "back.db");
  ASSERT_TRUE(Restore(back, folder_ / "yes.vbk"));
  EXPECT_EQ(Scalar(back, "SELECT COUNT(*) FROM [Measurements]").AsInt(), 10);
}

TEST_F(ServerRoundTrip, NamesThatQuoteSqlStayNames) {
  const std::string source = FileDatabase(folder_ / "source.db");
  {
    std::unique_ptr<Connection> db = testing::NewFileDatabase(folder_ / "source.db");
    db->Execute(
        "CREATE TABLE [Odd]]'\"Name] ([Key]]'\"] INTEGER NOT NULL, [Select] TEXT(20), "
        "CONSTRAINT [PK]]'\"] PRIMARY KEY ([Key]]'\"]))");
    db->Execute(
        "CREATE TABLE [Order Details] ([Id] INTEGER NOT NULL, [Odd]] ref] INTEGER, "
        "CONSTRAINT [PK_Order Details] PRIMARY KEY ([Id]))");
    db->Execute("CREATE INDEX [Select] ON [Odd]]'\"Name] ([Select])");
    db->Execute(
        "ALTER TABLE [Order Details] ADD CONSTRAINT [FK']]\"] FOREIGN KEY ([Odd]] ref]) "
        "REFERENCES [Odd]]'\"Name] ([Key]]'\"])");
    db->Execute("INSERT INTO [Odd]]'\"Name] VALUES (1, 'a''b\"c]d')");
    db->Execute("INSERT INTO [Order Details] VALUES (1, 1)");
  }
  const std::string server = databases_.Add("rt_names");
  const std::string back = FileDatabase(folder_ / "back.db");
  ASSERT_TRUE(Save(source, folder_ / "file.vbk"));
  ASSERT_TRUE(Restore(server, folder_ / "file.vbk"));
  ASSERT_TRUE(Save(server, folder_ / "server.vbk"));
  ASSERT_TRUE(Restore(back, folder_ / "server.vbk"));
  EXPECT_EQ(DescriptionDifference(Describe(source), Describe(back)), "");
  // The server keeps the column as varchar(20), not the file's own spelling TEXT(20): said, nothing else.
  EXPECT_THAT(events_.lines,
              ::testing::ElementsAre(::testing::EndsWith("\ntable Odd]'\"Name (declared types)")));
}

// A database made with plain SQL the way other tools make them saves whole: every column either maps to a
// type of the backup or travels as its text, and both engines answer the same questions after a restore.
TEST_F(ServerRoundTrip, ADatabaseOtherToolsMadeSavesAndAnswersAsBefore) {
  const std::string source = databases_.Add("rt_wild");
  CreateDatabase(source);
  {
    std::unique_ptr<Connection> db = OpenConnection(source);
    dynamic_cast<postgres::ServerSession&>(*db).RunServerSql(R"sql(
      CREATE DOMAIN email AS text CHECK (VALUE LIKE '%@%');
      CREATE TYPE mood AS ENUM ('sad', 'ok', 'happy');
      CREATE TABLE account (
        id serial PRIMARY KEY,
        login text NOT NULL UNIQUE,
        mail email,
        joined timestamptz DEFAULT now(),
        profile jsonb,
        tags text[],
        scores int[],
        balance numeric,
        price numeric(12,2) DEFAULT 0,
        feeling mood DEFAULT 'ok',
        wait interval,
        host inet,
        cash money,
        photo bytea,
        uid uuid DEFAULT gen_random_uuid(),
        born date,
        alarm time,
        big bigint GENERATED BY DEFAULT AS IDENTITY);
      CREATE TABLE region (country char(2), code int, name text, PRIMARY KEY (country, code));
      CREATE TABLE shop (id int PRIMARY KEY, country char(2), code int,
                         FOREIGN KEY (country, code) REFERENCES region ON DELETE CASCADE);
      INSERT INTO account (login, mail, joined, profile, tags, scores, balance, price, feeling, wait, host,
                           cash, photo, born, alarm)
      SELECT 'user' || g, 'u' || g || '@example.org', '2024-02-29 13:45:10+02', '{"a": [1, 2], "b": "x"}',
             ARRAY['red', 'gr"een', NULL], ARRAY[g, g * 2], 12345678901234567890.123456789 * g, g / 3.0,
             'happy', '1 day 02:03:04', '10.0.0.1', 12.34, '\x00ff10'::bytea, '2000-01-01', '13:45:07'
      FROM generate_series(1, 50) AS g;
      INSERT INTO account (login) VALUES ('empty');
      INSERT INTO region VALUES ('DE', 1, 'Nord'), ('DE', 2, 'Süd'), ('FR', 1, 'Île');
      INSERT INTO shop VALUES (1, 'DE', 2), (2, 'FR', 1);
    )sql");
  }
  ASSERT_TRUE(Save(source, folder_ / "wild.vbk"));
  const std::string file = FileDatabase(folder_ / "wild.db");
  const std::string server = databases_.Add("rt_wild_back");
  ASSERT_TRUE(Restore(file, folder_ / "wild.vbk"));
  // The file database numbers one column of a table; the other keeps its values and the user is told. The
  // server's own objects and the server types a file does not have are named.
  EXPECT_THAT(events_.lines, ::testing::Contains(::testing::AllOf(::testing::HasSubstr("account"),
                                                                  ::testing::HasSubstr("big"))));
  EXPECT_THAT(events_.lines, ::testing::Contains(::testing::AllOf(::testing::HasSubstr("type mood (enum)"),
                                                                  ::testing::HasSubstr("domain email"),
                                                                  ::testing::HasSubstr("table account"))));
  EXPECT_THAT(events_.lines, ::testing::Contains(::testing::AllOf(::testing::HasSubstr(kHeldOtherwiseGuid),
                                                                  ::testing::HasSubstr("tags (text[])"),
                                                                  ::testing::HasSubstr("kept in UTC"))));
  EXPECT_EQ(events_.lines.size(), 3u);
  ASSERT_TRUE(Restore(server, folder_ / "wild.vbk"));

  // The questions users ask, in the component's dialect, answered alike by the source and both restores.
  for (const char* query :
       {"SELECT COUNT(*) FROM [account]", "SELECT [login] FROM [account] WHERE [id] = 7",
        "SELECT [mail] FROM [account] WHERE [login] = 'user3'",
        "SELECT [profile] FROM [account] WHERE [id] = 1", "SELECT [tags] FROM [account] WHERE [id] = 2",
        "SELECT [balance] FROM [account] WHERE [id] = 50", "SELECT [price] FROM [account] WHERE [id] = 4",
        "SELECT [feeling] FROM [account] WHERE [id] = 5", "SELECT [photo] FROM [account] WHERE [id] = 6",
        "SELECT [uid] FROM [account] WHERE [id] = 51", "SELECT [born] FROM [account] WHERE [id] = 8",
        "SELECT [alarm] FROM [account] WHERE [id] = 9", "SELECT [joined] FROM [account] WHERE [id] = 10",
        "SELECT [big] FROM [account] WHERE [id] = 11",
        "SELECT [name] FROM [region] WHERE [country] = 'FR' AND [code] = 1",
        "SELECT COUNT(*) FROM [shop] WHERE [country] = 'DE'"}) {
    const Value expected = Scalar(source, query);
    // A numeric without a precision travels as its exact text, and is a text after the restore.
    if (std::string(query).find("[balance]") != std::string::npos)
      EXPECT_EQ(Scalar(server, query).AsText(), expected.AsText()) << query;
    else
      EXPECT_EQ(testing::DescribeValue(Scalar(server, query)), testing::DescribeValue(expected)) << query;
    const Value fromFile = Scalar(file, query);
    EXPECT_EQ(fromFile.AsText(), expected.AsText()) << query;
  }
  // The key of two columns came along, and holds on both engines.
  for (const std::string& target : {file, server}) {
    std::unique_ptr<Connection> db = OpenConnection(target);
    EXPECT_THROW(db->Execute("INSERT INTO [shop] ([id], [country], [code]) VALUES (3, 'IT', 9)"), Error)
        << target;
  }
  // The serial column goes on from the restored rows on the server.
  OpenConnection(server)->Execute("INSERT INTO [account] ([login]) VALUES ('new')");
  EXPECT_EQ(Scalar(server, "SELECT MAX([id]) FROM [account]").AsInt(), 52);
}

}  // namespace
}  // namespace vela
