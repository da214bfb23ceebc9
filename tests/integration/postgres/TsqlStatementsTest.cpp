// The statements the component's server branches send, run on the PostgreSQL test cluster
// (scripts/pg_cluster.sh) as the component builds them, and their effect on the database: the catalog
// queries over a database made with plain SQL, identity values given and the sequences after them,
// defaults bound through the session, index names PostgreSQL keeps in one namespace, and databases made
// and dropped while connections are open to them.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/IndexNames.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerDefaults.h"
#include "platform/utils/KeyValue.h"
#include "support/Failure.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {
namespace {

using vela::testing::Failure;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Cs(const std::string& database) {
  return "Provider=SQLOLEDB.1;Data Source=(local);" + utils::FormatKeyValue("Initial Catalog", database);
}

// ColumnCapture.cpp: a column's identity flag, nullability and default.
std::string ColumnStatusQuery(const std::string& table, const std::string& name) {
  return "SELECT syscolumns.status, syscolumns.isnullable, syscolumns.cdefault FROM syscolumns "
         "INNER JOIN sysobjects ON sysobjects.id = syscolumns.id "
         "WHERE sysobjects.name = '" +
         EscapeText(table) + "' " + "AND syscolumns.name = '" + EscapeText(name) + "'";
}

// IndexKeyCapture.cpp: a foreign key's first two column pairs.
std::string ServerKeyQuery(std::string_view keyName) {
  return "SELECT sysobjects.Name, sysobjects.Type, "
         "sysrtable.name AS RefTableName, sysftable.name AS ForeignTableName, "
         "r1col.name as RCol1, f1col.name as FCol1, "
         "r2col.name as RCol2, f2col.name as FCol2 "
         "FROM sysobjects "
         "LEFT JOIN sysreferences ON constid = sysobjects.id "
         "LEFT JOIN sysobjects AS sysftable ON sysftable.ID = sysobjects.parent_obj "
         "LEFT JOIN sysobjects AS sysrtable ON sysrtable.ID = sysreferences.rkeyid "
         "LEFT JOIN syscolumns AS r1col ON r1col.colid = sysreferences.rkey1 and "
         "          r1col.id = sysreferences.rkeyid "
         "LEFT JOIN syscolumns AS f1col ON f1col.colid = sysreferences.fkey1 and "
         "          f1col.id = sysreferences.fkeyid "
         "LEFT JOIN syscolumns AS r2col ON r2col.colid = sysreferences.rkey2 and "
         "          r2col.id = sysreferences.rkeyid "
         "LEFT JOIN syscolumns AS f2col ON f2col.colid = sysreferences.fkey2 and "
         "          f2col.id = sysreferences.fkeyid "
         "          WHERE sysobjects.Type IN ('F') AND sysobjects.Name = '" +
         EscapeText(keyName) + "'";
}

class TsqlStatementsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("VELA_TEST_PG") != "1")
      GTEST_SKIP() << "PostgreSQL tests skipped: set VELA_TEST_PG=1 and the environment printed by "
                      "`scripts/pg_cluster.sh start`";
    try {
      maintenance_ = OpenServerConnection(Cs("Master"));
    } catch (const Error& e) {
      FAIL() << "VELA_TEST_PG=1 but the PostgreSQL test cluster cannot be reached: " << e.Description();
    }
    static int counter = 0;
    database_ = "tsql_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    maintenance_->Execute("CREATE DATABASE " + BracketName(database_));
    db_ = OpenServerConnection(Cs(database_));
  }

  void TearDown() override {
    db_.reset();
    if (maintenance_ == nullptr) return;
    for (const std::string& name : dropAfterwards_)
      maintenance_->Execute("DROP DATABASE IF EXISTS " + BracketName(name) + " WITH (FORCE)");
    if (!database_.empty())
      maintenance_->Execute("DROP DATABASE IF EXISTS " + BracketName(database_) + " WITH (FORCE)");
  }

  std::unique_ptr<Recordset> Open(Connection& connection, const std::string& sql) {
    return connection.OpenRecordset(sql, adOpenKeyset, adLockReadOnly, adUseClient);
  }
  Value Scalar(const std::string& sql) {
    auto rs = Open(*db_, sql);
    EXPECT_FALSE(rs->Eof()) << sql;
    return rs->Eof() ? Value() : rs->GetValue(std::size_t{0});
  }
  // Runs a parameterised INSERT as the restore does (prepared, texts and numbers as parameters).
  void Insert(const std::string& table, const std::map<std::string, Value>& values) {
    std::string columns, placeholders;
    std::vector<Parameter> parameters;
    for (const auto& [name, value] : values) {
      columns += (columns.empty() ? "" : ", ") + BracketName(name);
      placeholders += placeholders.empty() ? "?" : ", ?";
      parameters.push_back({name, value.GetKind() == Value::Kind::Text ? adVarWChar : adInteger, adParamInput,
                            0, value, 0, 0});
    }
    db_->Execute("INSERT INTO " + BracketName(table) + " (" + columns + ") VALUES(" + placeholders + ")",
                 parameters, true);
  }

  std::unique_ptr<Connection> maintenance_;
  std::unique_ptr<Connection> db_;
  std::string database_;
  std::vector<std::string> dropAfterwards_;
};

TEST_F(TsqlStatementsTest, CatalogQueriesReadADatabaseMadeWithPlainSql) {
  const std::string parent = "Order";
  const std::string child = "it's \"my\" t]able";
  db_->Execute("CREATE TABLE " + BracketName(parent) +
               " ([key] int, [a'1] int, [b]]2] int, [c\"3] int, UNIQUE ([key], [a'1]), "
               "UNIQUE ([key], [a'1], [b]]2]))");
  db_->Execute(
      "CREATE TABLE " + BracketName(child) +
      " ([id] int GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, [serial no] serial, "
      "[code] varchar(10) DEFAULT 'DE', [qty] int NOT NULL DEFAULT -1, [when] timestamp DEFAULT now(), "
      "[note] text, [k] int, [x'1] int, [y]]2] int, "
      "CONSTRAINT [two \"col\" key] FOREIGN KEY ([k], [x'1]) REFERENCES [Order] ([key], [a'1]), "
      "CONSTRAINT [three col key] FOREIGN KEY ([k], [x'1], [y]]2]) "
      "REFERENCES [Order] ([key], [a'1], [b]]2]))");
  // The same table name in a schema off the search path is not the database's.
  db_->Execute("CREATE SCHEMA tsql_hidden; CREATE TABLE tsql_hidden." + BracketName(child) + " ([id] int)");

  struct Expected {
    std::string column;
    bool identity;
    bool nullable;
    std::string defaultText;  // empty: no default of its own
  };
  for (const Expected& e : {Expected{"id", true, false, ""}, Expected{"serial no", true, false, ""},
                            Expected{"code", false, true, "'DE'"}, Expected{"qty", false, false, "-1"},
                            Expected{"when", false, true, "now()"}, Expected{"note", false, true, ""}}) {
    auto status = Open(*db_, ColumnStatusQuery(child, e.column));
    ASSERT_EQ(status->RecordCount(), 1) << e.column;
    EXPECT_EQ((status->GetValue("Status").AsInt() & 128) != 0, e.identity) << e.column;
    EXPECT_EQ(status->GetValue("isnullable").AsInt() != 0, e.nullable) << e.column;
    std::int64_t defaultId = status->GetValue("CDefault").AsInt();
    EXPECT_EQ(defaultId != 0, !e.defaultText.empty()) << e.column;
    if (defaultId == 0) continue;
    auto text = Open(*db_, "SELECT text FROM syscomments WHERE ID = " + std::to_string(defaultId));
    ASSERT_EQ(text->RecordCount(), 1) << e.column;
    EXPECT_EQ(text->GetValue("text").AsText(), e.defaultText);
  }

  for (const auto& [key, pairs] : std::map<std::string, int>{{"two \"col\" key", 2}, {"three col key", 3}}) {
    auto rs = Open(*db_, ServerKeyQuery(key));
    ASSERT_EQ(rs->RecordCount(), 1) << key;
    EXPECT_EQ(rs->GetValue("Type").AsText(), "F");
    EXPECT_EQ(rs->GetValue("ForeignTableName").AsText(), child);
    EXPECT_EQ(rs->GetValue("RefTableName").AsText(), parent);
    EXPECT_EQ(rs->GetValue("FCol1").AsText(), "k") << key;
    EXPECT_EQ(rs->GetValue("RCol1").AsText(), "key") << key;
    EXPECT_EQ(rs->GetValue("FCol2").AsText(), "x'1") << key;
    EXPECT_EQ(rs->GetValue("RCol2").AsText(), "a'1") << key;
    EXPECT_EQ(
        Scalar("SELECT keycnt FROM sysreferences r JOIN sysobjects o ON o.id = r.constid WHERE o.name = " +
               QuoteText(key))
            .AsInt(),
        pairs);
  }
  EXPECT_EQ(Open(*db_,
                 "SELECT * FROM sysobjects WHERE Type = 'PK' AND parent_obj = (SELECT id FROM "
                 "sysobjects WHERE Name = " +
                     QuoteText(child) + ")")
                ->RecordCount(),
            1);

  // The views are this session's: none is left in the database's schemas, another session has none.
  EXPECT_EQ(Scalar("SELECT count(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
                   "c.relnamespace WHERE c.relkind = 'v' AND n.nspname NOT LIKE 'pg\\_%' AND n.nspname <> "
                   "'information_schema'")
                .AsInt(),
            0);
  auto other = OpenServerConnection(Cs(database_));
  EXPECT_TRUE(Open(*other, "SELECT pg_catalog.to_regclass('sysobjects')")->GetValue(std::size_t{0}).IsNull());
}

TEST_F(TsqlStatementsTest, IdentityValuesGivenMoveTheSequencesPastThem) {
  const std::string table = "it's \"id\" t]able";
  const std::string ahead = "ahead";
  const std::string empty = "select";
  for (const std::string& name : {table, ahead, empty})
    db_->Execute("CREATE TABLE " + BracketName(name) +
                 " ([i d] int GENERATED BY DEFAULT AS IDENTITY, [n'o] serial, [v] text)");
  Insert(table, {{"v", Value("first")}});

  // Data.cpp: ON, the rows with their identity values, OFF.
  db_->Execute("SET IDENTITY_INSERT " + BracketName(table) + " ON");
  Insert(table, {{"i d", Value(10)}, {"n'o", Value(5)}, {"v", Value("given")}});
  Insert(table, {{"i d", Value(7)}, {"n'o", Value(3)}, {"v", Value("given")}});
  db_->Execute("SET IDENTITY_INSERT " + BracketName(table) + " OFF");
  Insert(table, {{"v", Value("after")}});
  auto after = Open(*db_, "SELECT [i d], [n'o] FROM " + BracketName(table) + " WHERE [v] = 'after'");
  EXPECT_EQ(after->GetValue("i d").AsInt(), 11);
  EXPECT_EQ(after->GetValue("n'o").AsInt(), 6);

  // A sequence already past the values given stays where it is.
  for (int i = 0; i < 3; ++i) Insert(ahead, {{"v", Value("x")}});
  db_->Execute("DELETE FROM [ahead]");
  db_->Execute("SET IDENTITY_INSERT [ahead] ON");
  Insert(ahead, {{"i d", Value(2)}, {"n'o", Value(2)}});
  db_->Execute("SET IDENTITY_INSERT [ahead] OFF");
  Insert(ahead, {{"v", Value("next")}});
  EXPECT_EQ(Scalar("SELECT [i d] FROM [ahead] WHERE [v] = 'next'").AsInt(), 4);

  // An empty table leaves its sequences alone.
  db_->Execute("SET IDENTITY_INSERT [select] ON");
  db_->Execute("SET IDENTITY_INSERT [select] OFF");
  Insert(empty, {{"v", Value("first")}});
  EXPECT_EQ(Scalar("SELECT [i d] FROM [select]").AsInt(), 1);

  Error missing = Failure([&] { db_->Execute("SET IDENTITY_INSERT [no such table] OFF"); });
  EXPECT_EQ(missing.Number(), kNoSuchTable);
  EXPECT_EQ(missing.EngineCode(), "42P01");
  EXPECT_EQ(missing.Statement(), "SET IDENTITY_INSERT [no such table] OFF");
}

TEST_F(TsqlStatementsTest, DefaultsAreBoundThroughTheSessionAndOnlyValuesReachTheServer) {
  const std::string table = "it's \"d\" t]able";
  db_->Execute("CREATE TABLE " + BracketName(table) + " ([c o'l] varchar(10), [n] int)");
  db_->Execute("CREATE TABLE [victim] ([id] int)");
  // Tables.cpp names a default after its table and column; the binding names both.
  auto create = [&](const std::string& column, const std::string& value) {
    db_->Execute("CREATE DEFAULT " + BracketName(table + "_" + column) + " AS " + value);
  };
  auto bind = [&](const std::string& column) {
    db_->Execute("EXEC sp_bindefault " + QuoteText(BracketName(table + "_" + column)) + ", " +
                 QuoteText(BracketName(table) + "." + BracketName(column)));
  };
  auto columnDefault = [&](const std::string& column) {
    return Scalar(
        "SELECT pg_catalog.pg_get_expr(d.adbin, d.adrelid) FROM pg_catalog.pg_attribute a "
        "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
        "WHERE a.attrelid = " +
        QuoteText(QuoteName(table)) + "::regclass AND a.attname = " + QuoteText(column));
  };

  for (const std::string& injection :
       {std::string("0; DROP TABLE [victim]"), std::string("(0)); DROP TABLE [victim]; --"),
        std::string("0 + (SELECT count(*) FROM [victim])"), std::string("pg_sleep(1)")}) {
    create("n", injection);
    Error refused = Failure([&] { bind("n"); });
    EXPECT_EQ(refused.Number(), kCommandError) << injection;
    EXPECT_NE(refused.Description().find(table + ".n"), std::string::npos) << refused.Description();
  }
  EXPECT_TRUE(columnDefault("n").IsNull());
  EXPECT_EQ(Scalar("SELECT count(*) FROM [victim]").AsInt(), 0);

  EXPECT_EQ(Failure([&] { db_->Execute("EXEC sp_bindefault 'never made', 't.n'"); }).Number(), kCommandError);
  create("gone", "0");
  EXPECT_EQ(Failure([&] { bind("gone"); }).Number(), kCommandError);

  create("c o'l", "'DE'");
  bind("c o'l");
  create("n", "0");
  bind("n");
  db_->Execute("INSERT INTO " + BracketName(table) + " DEFAULT VALUES");
  auto row = Open(*db_, "SELECT * FROM " + BracketName(table));
  EXPECT_EQ(row->GetValue("c o'l").AsText(), "DE");
  EXPECT_EQ(row->GetValue("n").AsInt(), 0);
}

TEST_F(TsqlStatementsTest, IndexAndKeyNamesAreKeptPerTable) {
  db_->Execute("CREATE TABLE [Order] ([id] int NOT NULL, [code] varchar(10))");
  db_->Execute("CREATE TABLE [it's \"l\" i]]nes] ([id] int NOT NULL, [order] int)");
  // Indexes.cpp: both tables' primary keys are called PrimaryKey; an index is named like its table.
  db_->Execute("ALTER TABLE [Order] ADD CONSTRAINT [PrimaryKey] PRIMARY KEY ([id])");
  db_->Execute("ALTER TABLE [it's \"l\" i]]nes] ADD CONSTRAINT [PrimaryKey] PRIMARY KEY ([id])");
  db_->Execute("CREATE UNIQUE CLUSTERED INDEX [Order] ON [Order] ([code])");
  const std::string longName =
      "an index name of more than sixty-three bytes, \xC3\xA9 and all, on two tables";
  db_->Execute("CREATE INDEX " + BracketName(longName) + " ON [Order] ([code], [id])");
  db_->Execute("CREATE CLUSTERED INDEX " + BracketName(longName) + " ON [it's \"l\" i]]nes] ([order])");
  // Keys.cpp: a foreign key to the owner's table, not for replication.
  db_->Execute(
      "ALTER TABLE [it's \"l\" i]]nes] ADD CONSTRAINT [o'k] FOREIGN KEY([order]) REFERENCES "
      "DBO.[Order]([id]) ON DELETE CASCADE NOT FOR REPLICATION");

  struct Made {
    bool clustered;
    std::string given;  // from the comment; the name itself when there is none
  };
  auto indexes = [&](const std::string& table) {
    std::map<std::string, Made> made;
    auto rs = Open(*db_,
                   "SELECT c.relname, i.indisclustered, pg_catalog.obj_description(c.oid, 'pg_class') "
                   "AS comment FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class c ON c.oid = "
                   "i.indexrelid WHERE i.indrelid = " +
                       QuoteText(QuoteName(table)) + "::regclass");
    for (; !rs->Eof(); rs->MoveNext()) {
      std::string name = rs->GetValue("relname").AsText();
      const Value& comment = rs->GetValue("comment");
      auto given = comment.IsNull() ? std::nullopt : NameFromIndexComment(comment.AsText());
      made[name] = {rs->GetValue("indisclustered").AsBool(), given.value_or(name)};
    }
    return made;
  };
  std::map<std::string, Made> order = indexes("Order");
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(order["PrimaryKey"].given, "PrimaryKey");
  EXPECT_FALSE(order["PrimaryKey"].clustered);
  EXPECT_EQ(order["Order_2"].given, "Order");
  EXPECT_TRUE(order["Order_2"].clustered);
  std::string clipped = longName.substr(0, 63);
  EXPECT_EQ(order[clipped].given, longName);

  std::map<std::string, Made> lines = indexes("it's \"l\" i]nes");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines["PrimaryKey_2"].given, "PrimaryKey");
  EXPECT_EQ(lines[longName.substr(0, 61) + "_2"].given, longName);
  EXPECT_TRUE(lines[longName.substr(0, 61) + "_2"].clustered);

  EXPECT_EQ(Scalar("SELECT confdeltype FROM pg_catalog.pg_constraint WHERE conname = 'o''k'").AsText(), "c");
  EXPECT_EQ(Open(*db_, ServerKeyQuery("o'k"))->GetValue("RefTableName").AsText(), "Order");
}

TEST_F(TsqlStatementsTest, DatabasesAreMadeFoundAndDroppedWithOurConnectionsOpen) {
  const std::string name = "tsql_" + std::to_string(getpid()) + " it's \"db\" ]x";
  dropAfterwards_.push_back(name);
  // TargetDatabase.cpp, through the maintenance database.
  auto found = [&] {
    return maintenance_
        ->OpenRecordset("SELECT * FROM sysdatabases WHERE Name = " + QuoteText(name), adOpenForwardOnly,
                        adLockReadOnly, adUseClient)
        ->RecordCount();
  };
  EXPECT_EQ(found(), 0);
  maintenance_->Execute("CREATE DATABASE " + BracketName(name));
  EXPECT_EQ(found(), 1);
  Error exists = Failure([&] { maintenance_->Execute("CREATE DATABASE " + BracketName(name)); });
  EXPECT_EQ(exists.Number(), kCommandError);
  EXPECT_EQ(exists.EngineCode(), "42P04");

  // Another program's connection keeps the database; the server's refusal is a refused statement.
  auto ours = OpenServerConnection(Cs(name));
  const char* keywords[] = {"dbname", nullptr};
  const char* values[] = {name.c_str(), nullptr};
  PGconn* theirs = PQconnectdbParams(keywords, values, 0);
  ASSERT_EQ(PQstatus(theirs), CONNECTION_OK) << PQerrorMessage(theirs);
  Error busy = Failure([&] { maintenance_->Execute("DROP DATABASE " + BracketName(name)); });
  PQfinish(theirs);
  EXPECT_EQ(busy.Number(), kCommandError);
  EXPECT_EQ(busy.EngineCode(), "55006");
  EXPECT_EQ(found(), 1);

  // Our own connections are closed for the drop.
  ours = OpenServerConnection(Cs(name));
  auto again = OpenServerConnection(Cs(name));
  maintenance_->Execute("DROP DATABASE " + BracketName(name));
  EXPECT_FALSE(ours->IsOpen());
  EXPECT_FALSE(again->IsOpen());
  EXPECT_EQ(found(), 0);
  EXPECT_TRUE(db_->IsOpen());

  // A connection cannot drop its own database.
  EXPECT_EQ(Failure([&] { db_->Execute("DROP DATABASE " + BracketName(database_)); }).Number(),
            kCommandError);
  EXPECT_TRUE(db_->IsOpen());
}

}  // namespace
}  // namespace vela::data::postgres
