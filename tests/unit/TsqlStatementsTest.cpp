// The component's statements read into PostgreSQL's dialect, without a server.
#include <gtest/gtest.h>

#include "platform/data/postgres/TsqlStatements.h"
#include "support/Failure.h"
#include "velabackup/Error.h"

namespace vela::data::postgres {
namespace {

using Kind = TsqlStatement::Kind;
using vela::testing::Failure;

TEST(TsqlStatementsTest, NamesPlaceholdersOwnersAndReplicationClausesTokenByToken) {
  int count = 0;
  EXPECT_EQ(
      ToServerSql("SELECT [a]]b], '?[x]', \"q?\" FROM [t\"] WHERE [c] = ? AND d = ? -- ?", true, &count),
      "SELECT \"a]b\", '?[x]', \"q?\" FROM \"t\"\"\" WHERE \"c\" = $1 AND d = $2 -- ?");
  EXPECT_EQ(count, 2);
  EXPECT_EQ(ToServerSql("SELECT ? FROM [t]", false), "SELECT ? FROM \"t\"");

  // The owner goes only where it stands before a name; a text or a column called dbo stays.
  EXPECT_EQ(ToServerSql("SELECT dbo.[t].x, 'DBO.[t]', t.dbo FROM DBO.[t] JOIN [dbo].[u] ON 1=1", false),
            "SELECT \"t\".x, 'DBO.[t]', t.dbo FROM \"t\" JOIN \"u\" ON 1=1");
  EXPECT_EQ(
      ToServerSql("ALTER TABLE [my table] ADD CONSTRAINT [k] FOREIGN KEY([c]) REFERENCES DBO.[r]]x]([rc]) "
                  "ON DELETE CASCADE NOT FOR REPLICATION",
                  false),
      "ALTER TABLE \"my table\" ADD CONSTRAINT \"k\" FOREIGN KEY(\"c\") REFERENCES \"r]x\"(\"rc\") "
      "ON DELETE CASCADE ");
  // A text that reads like the clause is a text.
  EXPECT_EQ(ToServerSql("SELECT 'NOT FOR REPLICATION'", false), "SELECT 'NOT FOR REPLICATION'");
}

TEST(TsqlStatementsTest, ABracketedNameOfAnotherSchemaNamesThatSchemasTable) {
  const SchemaTest extra = [](std::string_view name) { return name == "extra"; };
  EXPECT_EQ(ToServerSql("INSERT INTO [extra.orders] ([a.b]) SELECT * FROM [other.t]", false, nullptr, extra),
            "INSERT INTO \"extra\".\"orders\" (\"a.b\") SELECT * FROM \"other.t\"");
  // Without a schema of that name, or a test, the name stays whole.
  EXPECT_EQ(ToServerSql("SELECT * FROM [extra.orders]", false), "SELECT * FROM \"extra.orders\"");
  EXPECT_EQ(ReadTsqlStatement("SET IDENTITY_INSERT [extra.orders] ON", extra).table, "\"extra\".\"orders\"");
  EXPECT_EQ(ReadTsqlStatement("EXEC sp_bindefault 'd', '[extra.orders].[c]'", extra).table,
            "\"extra\".\"orders\"");
}

TEST(TsqlStatementsTest, SystemTablesAreRecognisedInAnyCaseAndStatementsWhole) {
  TsqlStatement query = ReadTsqlStatement(
      "SELECT syscolumns.status FROM SysColumns INNER JOIN [SYSOBJECTS] ON sysobjects.id = syscolumns.id");
  EXPECT_EQ(query.kind, Kind::kPlain);
  EXPECT_TRUE(query.systemTables);
  EXPECT_EQ(
      query.text,
      "SELECT syscolumns.status FROM SysColumns INNER JOIN \"sysobjects\" ON sysobjects.id = syscolumns.id");
  EXPECT_TRUE(ReadTsqlStatement("SELECT * FROM sysdatabases WHERE Name = 'x'").systemTables);
  EXPECT_FALSE(ReadTsqlStatement("SELECT 'sysobjects' FROM [t]").systemTables);
  // A statement carried out on the session is that statement alone; anything more goes to the server.
  EXPECT_EQ(ReadTsqlStatement("SET IDENTITY_INSERT DBO.[t] ON").kind, Kind::kIdentityInsert);
  EXPECT_EQ(ReadTsqlStatement("SET IDENTITY_INSERT [t] ON; DROP TABLE [t]").kind, Kind::kPlain);
}

TEST(TsqlStatementsTest, DefaultsAreKeptAsWrittenAndBoundToTableColumn) {
  TsqlStatement create = ReadTsqlStatement("CREATE DEFAULT [o'd]]er_x] AS 'a''b' ; DROP TABLE t");
  EXPECT_EQ(create.kind, Kind::kCreateDefault);
  EXPECT_EQ(create.name, "o'd]er_x");
  EXPECT_EQ(create.text, "'a''b' ; DROP TABLE t");  // whole, for ServerDefaultSql to judge

  struct Case {
    const char* sql;
    const char* name;
    const char* table;
    const char* tableName;
    const char* column;
  };
  for (const Case& c : {
           Case{"EXEC sp_bindefault 'd', 't.c'", "d", "\"t\"", "t", "c"},
           Case{"EXECUTE dbo.sp_bindefault N'[d]', N'[my t]]ab].[c.1]'", "d", "\"my t]ab\"", "my t]ab",
                "c.1"},
           Case{"sp_bindefault @objname = 'dbo.[o''t].[x y]', @defname = '[o''t_x y]'", "o't_x y", "\"o't\"",
                "o't", "x y"},
           Case{"EXEC sp_bindefault 'd', 's.t.c'", "d", "\"s\".\"t\"", "t", "c"},
           Case{"EXEC sp_bindefault 'd', 'my table.my col'", "d", "\"my table\"", "my table", "my col"},
       }) {
    TsqlStatement bind = ReadTsqlStatement(c.sql);
    EXPECT_EQ(bind.kind, Kind::kBindDefault) << c.sql;
    EXPECT_EQ(bind.name, c.name) << c.sql;
    EXPECT_EQ(bind.table, c.table) << c.sql;
    EXPECT_EQ(bind.tableName, c.tableName) << c.sql;
    EXPECT_EQ(bind.column, c.column) << c.sql;
  }
  for (const char* malformed : {"EXEC sp_bindefault 'd'", "EXEC sp_bindefault 'd', 'c'",
                                "EXEC sp_bindefault 'd', 't.c' DROP TABLE t", "EXEC sp_bindefault 1, 't.c'"})
    EXPECT_EQ(Failure([&] { ReadTsqlStatement(malformed); }).Number(), kCommandError) << malformed;
}

TEST(TsqlStatementsTest, IndexesAndKeysLoseClusteredAndKeepTheirName) {
  struct Case {
    const char* sql;
    bool clustered;
    const char* statement;  // with the index named "n"
  };
  for (const Case& c : {
           Case{"CREATE UNIQUE CLUSTERED INDEX [by name] ON DBO.[Order] ([a], [b c])", true,
                "CREATE UNIQUE INDEX \"n\" ON \"Order\" (\"a\", \"b c\")"},
           Case{"CREATE NONCLUSTERED INDEX [i] ON [t] ([a])", false, "CREATE INDEX \"n\" ON \"t\" (\"a\")"},
           Case{"ALTER TABLE [t] ADD CONSTRAINT [k] PRIMARY KEY CLUSTERED ([id])", true,
                "ALTER TABLE \"t\" ADD CONSTRAINT \"n\" PRIMARY KEY (\"id\")"},
           Case{"ALTER TABLE [t] ADD CONSTRAINT [k] UNIQUE NONCLUSTERED ([a], [b])", false,
                "ALTER TABLE \"t\" ADD CONSTRAINT \"n\" UNIQUE (\"a\", \"b\")"},
       }) {
    TsqlStatement index = ReadTsqlStatement(c.sql);
    EXPECT_EQ(index.kind, Kind::kCreateIndex) << c.sql;
    EXPECT_EQ(index.clustered, c.clustered) << c.sql;
    EXPECT_EQ(index.text + "\"n\"" + index.tail, c.statement);
  }
}

TEST(TsqlStatementsTest, IndexNamesFitSixtyThreeBytesAtCharacterBoundaries) {
  EXPECT_EQ(IndexNameCandidate("PrimaryKey", 0), "PrimaryKey");
  EXPECT_EQ(IndexNameCandidate("PrimaryKey", 1), "PrimaryKey_2");
  EXPECT_EQ(IndexNameCandidate("PrimaryKey", 11), "PrimaryKey_12");

  const std::string long1(70, 'x');
  EXPECT_EQ(IndexNameCandidate(long1, 0), std::string(63, 'x'));
  EXPECT_EQ(IndexNameCandidate(long1, 1), std::string(61, 'x') + "_2");
  // "é" is two bytes: a cut never splits one.
  std::string accents;
  for (int i = 0; i < 40; ++i) accents += "\xC3\xA9";
  EXPECT_EQ(IndexNameCandidate(accents, 0).size(), 62u);
  EXPECT_EQ(IndexNameCandidate(accents, 1).size(), 60u + 2u);
}

TEST(TsqlStatementsTest, DatabaseNamesTheServerWouldCutShortAreRefused) {
  // The server would drop the database named by the first 63 bytes.
  Error refused = Failure([] { ReadTsqlStatement("DROP DATABASE [" + std::string(64, 'd') + "]"); });
  EXPECT_EQ(refused.Number(), kCommandError);
  EXPECT_EQ(ReadTsqlStatement("CREATE DATABASE [" + std::string(63, 'd') + "]").kind, Kind::kCreateDatabase);
  EXPECT_EQ(ReadTsqlStatement("DROP DATABASE IF EXISTS [d] WITH (FORCE)").name, "d");
}

}  // namespace
}  // namespace vela::data::postgres
