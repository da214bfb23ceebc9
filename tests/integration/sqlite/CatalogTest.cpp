// The catalog in the Jet manner: the type each asked type becomes, the provider's own tables and their
// order through the rebuilds the engine needs to add constraints, and the names it gives keys and indexes
// of files made elsewhere.
#include "SqliteFixture.h"

namespace vela::data::testing {
namespace {

class SqliteCatalogTest : public SqliteTest {
 protected:
  static Key ForeignKey(std::string name, std::string column, std::string relatedTable,
                        std::string relatedColumn) {
    Key k;
    k.name = std::move(name);
    k.type = adKeyForeign;
    k.relatedTable = std::move(relatedTable);
    k.columns.push_back(KeyColumn(std::move(column), std::move(relatedColumn)));
    return k;
  }
  static Table Customers() {
    Table t;
    t.name = "Customers";
    t.columns = {Col("ID", adInteger, 0, {{"Autoincrement", Value(true)}}), Col("Name", adVarWChar, 40)};
    return t;
  }
};

TEST_F(SqliteCatalogTest, EveryCreatableTypeComesBackWithItsJetCodeSizeAndPrecision) {
  auto db = NewDatabase();
  struct Case {
    int asked;
    std::int64_t size;
    int reported;
    std::int64_t reportedSize;
    int precision;
    int scale;
  };
  const std::vector<Case> cases = {
      {adSmallInt, 0, adSmallInt, 0, 5, 0},
      {adInteger, 0, adInteger, 0, 10, 0},
      {adSingle, 0, adSingle, 0, 7, 0},
      {adDouble, 0, adDouble, 0, 15, 0},
      {adCurrency, 0, adCurrency, 0, 19, 4},
      {adDate, 0, adDate, 0, 0, 0},
      {adBoolean, 0, adBoolean, 0, 0, 0},
      {adTinyInt, 0, adInteger, 0, 10, 0},
      {adUnsignedTinyInt, 0, adUnsignedTinyInt, 0, 3, 0},
      {adBigInt, 0, adBigInt, 0, 19, 0},
      {adGUID, 0, adGUID, 0, 0, 0},
      {adBinary, 16, adBinary, 16, 0, 0},
      {adChar, 10, adWChar, 10, 0, 0},
      {adWChar, 12, adWChar, 12, 0, 0},
      {adNumeric, 0, adNumeric, 0, 28, 6},
      {adDBTimeStamp, 0, adDate, 0, 0, 0},
      {adVarChar, 30, adVarWChar, 30, 0, 0},
      {adLongVarChar, 100, adLongVarWChar, 0, 0, 0},
      {adVarWChar, 50, adVarWChar, 50, 0, 0},
      {adLongVarWChar, 0, adLongVarWChar, 0, 0, 0},
      {adVarBinary, 200, adVarBinary, 200, 0, 0},
      {adLongVarBinary, 0, adLongVarBinary, 0, 0, 0},
  };
  Table table;
  table.name = "All Types";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Column c = Col("c" + std::to_string(i), cases[i].asked, cases[i].size);
    if (cases[i].asked == adNumeric) c.precision = 28, c.numericScale = 6;
    table.columns.push_back(c);
  }
  auto catalog = db->OpenCatalog();
  catalog->AppendTable(table);
  db->Close();
  db = OpenConnection(Cs(File("db.mdb")));  // read back from the file, not from a cache
  catalog = db->OpenCatalog();
  Table read = catalog->GetTable("all types");
  ASSERT_EQ(read.columns.size(), cases.size());
  auto rs = db->OpenRecordset("SELECT * FROM [All Types]", adOpenForwardOnly, adLockReadOnly, adUseServer);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("asked for type " + std::to_string(cases[i].asked));
    const Column& c = read.columns[i];
    EXPECT_EQ(c.type, cases[i].reported);
    EXPECT_EQ(c.definedSize, cases[i].reportedSize);
    EXPECT_EQ(c.precision, cases[i].precision);
    EXPECT_EQ(c.numericScale, cases[i].scale);
    EXPECT_EQ(rs->Field(i).type, cases[i].reported);
  }
  rs->Close();
  // A Single keeps float precision and reads back as the text it was written with.
  Command single(*db);
  single.SetCommandText("INSERT INTO [All Types] ([c2]) VALUES (?)");
  single.Parameters() = {single.CreateParameter("c2", adSingle, adParamInput, 4, Value(1.1))};
  single.Execute();
  EXPECT_EQ(Rows(*db, "SELECT [c2] FROM [All Types]")[0][0].AsText(), "1.1");
}

TEST_F(SqliteCatalogTest, ListsTablesInCreationOrderWithTheirKind) {
  auto db = NewDatabase();
  auto catalog = db->OpenCatalog();
  catalog->AppendTable(Customers());
  db->Execute("CREATE TABLE [Orders] ([ID] INTEGER, [Customer] INTEGER)");
  db->Execute("CREATE VIEW [Big Orders] AS SELECT * FROM [Orders]");
  db->Execute("INSERT INTO [Orders] VALUES (1, 1)");
  db->Execute("INSERT INTO [Customers] ([Name]) VALUES ('Ann'), ('Bob')");
  db->Execute("DELETE FROM [Customers] WHERE [Name] = 'Bob'");
  // Rebuilding a table (a key added) does not move it to the end, nor give an autoincrement number again.
  db->Execute("ALTER TABLE [Customers] ADD CONSTRAINT [UQ_Name] UNIQUE ([Name])");
  db->Execute("ALTER TABLE [Orders] ADD CONSTRAINT [PK_Orders] PRIMARY KEY ([ID])");
  catalog->AppendKey("Orders", ForeignKey("FK_Orders_Customers", "Customer", "Customers", "ID"));
  EXPECT_EQ(catalog->GetTable("Customers").columns[0].properties["Seed"], Value(3));
  db->Execute("CREATE TABLE [Later] ([x] INTEGER)");

  std::vector<std::pair<std::string, std::string>> listed;
  for (const auto& e : catalog->ListTables()) listed.emplace_back(e.name, e.type);
  std::vector<std::pair<std::string, std::string>> expected = {{"MSysVelaProperties", "SYSTEM TABLE"},
                                                               {"Customers", "TABLE"},
                                                               {"sqlite_sequence", "SYSTEM TABLE"},
                                                               {"Orders", "TABLE"},
                                                               {"Big Orders", "VIEW"},
                                                               {"Later", "TABLE"}};
  EXPECT_EQ(listed, expected);
  // The key made the INTEGER column the engine's row id; it did not make it an autoincrement column.
  Table ordersRead = catalog->GetTable("Orders");
  EXPECT_EQ(ordersRead.columns[0].properties["Autoincrement"], Value(false));
  EXPECT_EQ(ordersRead.indexes.at(0).name, "PK_Orders");
}

TEST_F(SqliteCatalogTest, ADatabaseMadeByAnotherProgramShowsReadableStableKeyNames) {
  ASSERT_EQ(
      vela::testing::Exec(
          File("foreign.db").string(),
          "CREATE TABLE parent (a TEXT, b TEXT, code TEXT UNIQUE, PRIMARY KEY (a, b));"
          "CREATE TABLE child (id INTEGER PRIMARY KEY, a TEXT, b TEXT, ref TEXT REFERENCES parent(code),"
          "  CONSTRAINT named_fk FOREIGN KEY (a, b) REFERENCES parent ON DELETE SET NULL);"
          "CREATE INDEX child_ref ON child(ref);"
          "INSERT INTO parent VALUES ('x', 'y', 'c1');"),
      "");
  auto db = OpenConnection(Cs(File("foreign.db")));
  auto catalog = db->OpenCatalog();
  Table parent = catalog->GetTable("parent");
  std::vector<std::string> names;
  for (const Index& ix : parent.indexes) names.push_back(ix.name + (ix.primaryKey ? "*" : ""));
  EXPECT_EQ(names, (std::vector<std::string>{"PrimaryKey*", "UQ_parent_code"}));
  EXPECT_EQ(parent.indexes[0].columns.size(), 2u);
  EXPECT_EQ(parent.indexes[0].indexNulls, adIndexNullsDisallow);

  Table child = catalog->GetTable("child");
  ASSERT_FALSE(child.indexes.empty());
  EXPECT_EQ(child.indexes[0].name, "PrimaryKey");  // the INTEGER PRIMARY KEY has no engine index of its own
  EXPECT_EQ(child.indexes[0].columns.at(0).name, "id");
  EXPECT_NE(FindByName(child.indexes, "child_ref"), nullptr);
  for (const Index& ix : child.indexes) EXPECT_EQ(ix.name.find("sqlite_"), std::string::npos);
  const Key* named = FindByName(child.keys, "named_fk");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->deleteRule, adRISetNull);
  ASSERT_EQ(named->columns.size(), 2u);
  EXPECT_EQ(named->columns[1].relatedColumn, "b");  // the parent's key, which the schema left implicit
  const Key* made = FindByName(child.keys, "FK_child_parent");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->columns.at(0).relatedColumn, "code");
  // Reading again gives the same names.
  EXPECT_EQ(catalog->GetTable("child").keys.size(), child.keys.size());
  // A plain INTEGER PRIMARY KEY is the row id but not an autoincrement column: it has no seed.
  EXPECT_EQ(catalog->GetTable("child").columns[0].properties["Autoincrement"], Value(false));
  EXPECT_EQ(catalog->GetTable("child").columns[0].properties["Nullable"], Value(false));
  // The provider wrote nothing into a file it only read.
  for (const auto& e : catalog->ListTables()) EXPECT_NE(e.name, "MSysVelaProperties");
}

}  // namespace
}  // namespace vela::data::testing
