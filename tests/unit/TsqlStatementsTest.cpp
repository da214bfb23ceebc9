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

TEST(TsqlStatementsTest, SystemTablesAreRecognisedInAnyCase) {
  TsqlStatement query = ReadTsqlStatement(
      "SELECT syscolumns.status FROM SysColumns INNER JOIN [SYSOBJECTS] ON sysobjects.id = syscolumns.id");
  EXPECT_EQ(query.kind, Kind::kPlain);
  EXPECT_TRUE(query.systemTables);
  EXPECT_EQ(
      query.text,
      "SELECT syscolumns.status FROM SysColumns INNER JOIN \"sysobjects\" ON sysobjects.id = syscolumns.id");
  EXPECT_TRUE(ReadTsqlStatement("SELECT * FROM sysdatabases WHERE Name = 'x'").systemTables);
  EXPECT_FALSE(ReadTsqlStatement("SELECT 'sysobjects' FROM [t]").systemTables);
}

TEST(TsqlStatementsTest, IdentityInsertNamesItsTable) {
  TsqlStatement on = ReadTsqlStatement("SET IDENTITY_INSERT [a ]]b] ON");
  EXPECT_EQ(on.kind, Kind::kIdentityInsert);
  EXPECT_TRUE(on.on);
  EXPECT_EQ(on.table, "\"a ]b\"");
  TsqlStatement off = ReadTsqlStatement("set identity_insert dbo.[t\"x] off");
  EXPECT_EQ(off.kind, Kind::kIdentityInsert);
  EXPECT_FALSE(off.on);
  EXPECT_EQ(off.table, "\"t\"\"x\"");
  // Anything more is for the server to refuse.
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
  TsqlStatement index =
      ReadTsqlStatement("CREATE UNIQUE CLUSTERED INDEX [by name] ON DBO.[Order] ([a], [b c])");
  EXPECT_EQ(index.kind, Kind::kCreateIndex);
  EXPECT_TRUE(index.clustered);
  EXPECT_EQ(index.name, "by name");
  EXPECT_EQ(index.table, "\"Order\"");
  EXPECT_EQ(index.text + "\"n\"" + index.tail, "CREATE UNIQUE INDEX \"n\" ON \"Order\" (\"a\", \"b c\")");

  TsqlStatement plain = ReadTsqlStatement("CREATE NONCLUSTERED INDEX [i] ON [t] ([a])");
  EXPECT_FALSE(plain.clustered);
  EXPECT_EQ(plain.text + "\"i\"" + plain.tail, "CREATE INDEX \"i\" ON \"t\" (\"a\")");

  TsqlStatement key =
      ReadTsqlStatement("ALTER TABLE [t] ADD CONSTRAINT [PrimaryKey] PRIMARY KEY CLUSTERED ([id])");
  EXPECT_EQ(key.kind, Kind::kCreateIndex);
  EXPECT_TRUE(key.clustered);
  EXPECT_EQ(key.name, "PrimaryKey");
  EXPECT_EQ(key.text + "\"k\"" + key.tail, "ALTER TABLE \"t\" ADD CONSTRAINT \"k\" PRIMARY KEY (\"id\")");
  TsqlStatement unique = ReadTsqlStatement("ALTER TABLE [t] ADD CONSTRAINT [u] UNIQUE ([a], [b])");
  EXPECT_FALSE(unique.clustered);
  EXPECT_EQ(unique.text + "\"u\"" + unique.tail,
            "ALTER TABLE \"t\" ADD CONSTRAINT \"u\" UNIQUE (\"a\", \"b\")");
  EXPECT_EQ(ReadTsqlStatement("ALTER TABLE [t] ADD CONSTRAINT [f] FOREIGN KEY([a]) REFERENCES [r]([b])").kind,
            Kind::kPlain);
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

TEST(TsqlStatementsTest, DatabasesAreNamedAndLongNamesRefused) {
  TsqlStatement create = ReadTsqlStatement("CREATE DATABASE [tsql x]]y]");
  EXPECT_EQ(create.kind, Kind::kCreateDatabase);
  EXPECT_EQ(create.name, "tsql x]y");
  EXPECT_EQ(create.text, "CREATE DATABASE \"tsql x]y\"");
  TsqlStatement drop = ReadTsqlStatement("DROP DATABASE IF EXISTS [d] WITH (FORCE)");
  EXPECT_EQ(drop.kind, Kind::kDropDatabase);
  EXPECT_EQ(drop.name, "d");
  EXPECT_EQ(drop.text, "DROP DATABASE IF EXISTS \"d\" WITH (FORCE)");
  // The server would cut the name short and could drop another database.
  Error refused = Failure([] { ReadTsqlStatement("DROP DATABASE [" + std::string(64, 'd') + "]"); });
  EXPECT_EQ(refused.Number(), kCommandError);
  EXPECT_EQ(ReadTsqlStatement("CREATE DATABASE [" + std::string(63, 'd') + "]").kind, Kind::kCreateDatabase);
}

}  // namespace
}  // namespace vela::data::postgres
