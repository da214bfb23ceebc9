// Rows: the texts the backup component sends, values of every kind, autoincrement, Jet defaults and the
// three kinds of cursor.
#include <sqlite3.h>

#include "SqliteFixture.h"

namespace vela::data::testing {
namespace {

class SqliteDataTest : public SqliteTest {
 protected:
  void AddRow(Recordset& rs, const std::vector<std::pair<std::string, Value>>& values) {
    rs.AddNew();
    for (const auto& [name, value] : values) rs.SetValue(rs.FieldIndex(name), value);
    rs.Update();
  }
};

TEST_F(SqliteDataTest, EveryTextTheComponentSendsRuns) {
  auto db = NewDatabase();
  auto catalog = db->OpenCatalog();
  Table params;
  params.name = "VelaParams";
  params.columns = {Col("ParamName", adVarWChar, 50), Col("ParamValue", adVarWChar, 50)};
  catalog->AppendTable(params);
  Table t;
  t.name = "Order Details";
  t.columns = {Col("ID", adInteger, 0, {{"Autoincrement", Value(true)}}), Col("Group", adVarWChar, 10),
               Col("Key", adInteger)};
  catalog->AppendTable(t);
  db->Execute("INSERT INTO [VelaParams] VALUES ('AllowNewConnection', '1'), ('Other', '2')");
  db->Execute(
      "INSERT INTO [Order Details] ([Group], [Key]) VALUES ('a', 1), ('a', 1), ('b', NULL), ('b', NULL), "
      "('c', 2)");

  EXPECT_EQ(
      Rows(*db, "SELECT COUNT(*) AS Count1 FROM [VelaParams] WHERE ParamName<>'AllowNewConnection'")[0][0],
      Value(1));
  auto count = db->OpenRecordset("SELECT COUNT(*) AS Count1 FROM [Order Details]", adOpenForwardOnly,
                                 adLockReadOnly, adUseServer);
  EXPECT_EQ(count->GetValue("Count1"), Value(5));
  EXPECT_EQ(count->Field(0).type, adInteger);
  EXPECT_EQ(Rows(*db, "SELECT * FROM [Order Details]").size(), 5u);
  EXPECT_EQ(Rows(*db, "SELECT MAX(ID) AS MaxIdentity FROM [Order Details]")[0][0], Value(5));
  auto max = db->OpenRecordset("SELECT MAX([ID]) AS MaxIdentity FROM [Order Details]", adOpenDynamic,
                               adLockReadOnly, adUseClient);
  EXPECT_EQ(max->GetValue("MaxIdentity"), Value(5));
  auto duplicates =
      Rows(*db, "SELECT [Group],[Key] FROM [Order Details] GROUP BY [Group],[Key] HAVING Count(*) > 1 ");
  ASSERT_EQ(duplicates.size(), 2u);
  EXPECT_TRUE(duplicates[1][1].IsNull());
  EXPECT_EQ(
      Rows(*db,
           "SELECT ParamName,ParamValue FROM [VelaParams] GROUP BY ParamName,ParamValue HAVING Count(*) > 1 ")
          .size(),
      0u);
  db->Execute("CREATE INDEX [ByGroup] ON [Order Details] ([Group])");
  db->Execute("CREATE UNIQUE INDEX [ByName] ON [VelaParams] ([ParamName])");
  db->Execute("CREATE CLUSTERED INDEX [ByValue] ON [VelaParams] ([ParamValue])");
  db->Execute("CREATE UNIQUE CLUSTERED INDEX [Both] ON [VelaParams] ([ParamName], [ParamValue])");
  // Index names are per table, as in Jet.
  db->Execute("CREATE INDEX [ByGroup] ON [VelaParams] ([ParamValue])");
  db->Execute("ALTER TABLE [VelaParams] ADD CONSTRAINT [PK_VelaParams] PRIMARY KEY ([ParamName])");
  db->Execute("ALTER TABLE [Order Details] ADD CONSTRAINT [PK_Order Details] PRIMARY KEY ([ID])");

  Table read = catalog->GetTable("VelaParams");
  std::vector<std::string> names;
  for (const Index& ix : read.indexes)
    names.push_back(ix.name + (ix.unique ? "+" : "") + (ix.primaryKey ? "*" : ""));
  EXPECT_EQ(names, (std::vector<std::string>{"PK_VelaParams+*", "ByName+", "ByValue", "Both+", "ByGroup"}));
  EXPECT_EQ(read.columns[0].properties["Nullable"], Value(false));  // a primary key column is required
  EXPECT_EQ(catalog->GetTable("Order Details").indexes[0].name, "PK_Order Details");
  EXPECT_EQ(Rows(*db, "SELECT * FROM [VelaParams]").size(), 2u);
  EXPECT_EQ(Failure([&] {
              db->Execute("ALTER TABLE [VelaParams] ADD CONSTRAINT [Again] PRIMARY KEY ([ParamValue])");
            }).Number(),
            kCommandError);
  EXPECT_EQ(Failure([&] { db->Execute("CREATE INDEX [x] ON [Nowhere] ([a])"); }).Number(), kNoSuchTable);
  // Brackets inside literals and comments are text, not names.
  auto literal =
      Rows(*db, "SELECT '[a]]b]' AS [x]]y] /* [c] */ FROM [VelaParams] WHERE ParamName = 'Other' -- [d]");
  EXPECT_EQ(literal.at(0).at(0), Value("[a]]b]"));
}

TEST_F(SqliteDataTest, ValuesKeepTheirKindAndExactness) {
  auto db = NewDatabase();
  Table t;
  t.name = "Values";
  t.columns = {Col("Int", adInteger),    Col("Small", adSmallInt),    Col("Byte", adUnsignedTinyInt),
               Col("Big", adBigInt),     Col("Single", adSingle),     Col("Double", adDouble),
               Col("Money", adCurrency), Col("Exact", adNumeric),     Col("When", adDate),
               Col("Flag", adBoolean),   Col("Id", adGUID),           Col("Bin", adVarBinary, 10),
               Col("Fixed", adWChar, 3), Col("Memo", adLongVarWChar), Col("Text", adVarWChar, 50)};
  t.columns[7].precision = 28;
  t.columns[7].numericScale = 10;
  db->OpenCatalog()->AppendTable(t);
  auto rs = db->OpenRecordset("SELECT * FROM [Values]", adOpenDynamic, adLockOptimistic, adUseServer);
  AddRow(*rs, {{"Int", Value("-2147483648")},
               {"Small", Value(32767)},
               {"Byte", Value(255)},
               {"Big", Value(9223372036854775807LL)},
               {"Single", Value(1.1)},
               {"Double", Value(0.1)},
               {"Money", Value("-922337203685477.5808")},
               {"Exact", Value::Decimal("123456789012345678.0123456789")},
               {"When", Value("2024-02-29T13:45:07")},
               {"Flag", Value(true)},
               {"Id", Value("6f9619ff-8b86-d011-b42d-00c04fc964ff")},
               {"Bin", Value(Bytes{0, 1, 0, 255})},
               {"Fixed", Value("äö")},
               {"Memo", Value(std::string(100000, 'm'))},
               {"Text", Value("")}});
  AddRow(*rs,
         {{"Money", Value(12.5)}, {"Exact", Value("1E-5")}, {"When", Value(45351.5)}, {"Flag", Value("No")}});
  rs->Close();

  auto rows = Rows(*db, "SELECT * FROM [Values]");
  ASSERT_EQ(rows.size(), 2u);
  const auto& r = rows[0];
  EXPECT_EQ(r[0], Value(-2147483648LL));
  EXPECT_EQ(r[1], Value(32767));
  EXPECT_EQ(r[2], Value(255));
  EXPECT_EQ(r[3], Value(9223372036854775807LL));
  EXPECT_EQ(r[4].AsText(), "1.1");
  EXPECT_EQ(r[5], Value(0.1));
  EXPECT_EQ(r[6], Value::Decimal("-922337203685477.5808"));
  EXPECT_EQ(r[7], Value::Decimal("123456789012345678.0123456789"));
  EXPECT_EQ(r[8], Value::Date("2024-02-29 13:45:07"));
  EXPECT_EQ(r[9], Value(true));
  EXPECT_EQ(r[10], Value("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"));
  EXPECT_EQ(r[11], Value(Bytes{0, 1, 0, 255}));
  EXPECT_EQ(r[12], Value("äö"));
  EXPECT_EQ(r[13].AsText().size(), 100000u);
  EXPECT_EQ(r[14], Value(""));
  EXPECT_EQ(rows[1][6], Value::Decimal("12.5"));
  EXPECT_EQ(rows[1][7], Value::Decimal("0.00001"));
  EXPECT_EQ(rows[1][8], Value::Date("2024-02-29 12:00:00"));
  EXPECT_EQ(rows[1][9], Value(false));
  EXPECT_TRUE(rows[1][0].IsNull());

  auto again = db->OpenRecordset("SELECT * FROM [Values]", adOpenDynamic, adLockOptimistic, adUseServer);
  again->AddNew();
  EXPECT_EQ(Failure([&] {
              again->SetValue(0, Value(2147483648LL));
              again->Update();
            }).Number(),
            kTypeMismatch);
  again->CancelUpdate();
  again->AddNew();
  EXPECT_EQ(Failure([&] {
              again->SetValue(8, Value("2023-02-29"));
              again->Update();
            }).Number(),
            kTypeMismatch);
  again->CancelUpdate();
  again->AddNew();
  Error bad = Failure([&] {
    again->SetValue(6, Value("12,50"));
    again->Update();
  });
  EXPECT_EQ(bad.Number(), kTypeMismatch);
  EXPECT_NE(bad.Description().find("Values.Money"), std::string::npos);
}

TEST_F(SqliteDataTest, AutoincrementGeneratesFromTheSeedAndTakesExplicitValues) {
  auto db = NewDatabase();
  auto catalog = db->OpenCatalog();
  Properties props = catalog->NewColumnProperties();
  std::vector<std::string> order;
  for (const Property& p : props) order.push_back(p.name);
  EXPECT_EQ(order, (std::vector<std::string>{"Autoincrement", "Default", "Description", "Nullable", "Seed"}));
  props["Autoincrement"] = Value(true);
  props["Seed"] = Value(10);
  Table t;
  t.name = "Counters";
  t.columns = {Col("N", adBigInt), Col("Label", adVarWChar, 10)};
  t.columns[0].properties = props;
  catalog->AppendTable(t);
  auto rs = db->OpenRecordset("SELECT * FROM [Counters]", adOpenKeyset, adLockOptimistic, adUseServer);
  AddRow(*rs, {{"Label", Value("gen")}});
  EXPECT_EQ(rs->GetValue("Label"), Value("gen"));
  AddRow(*rs, {{"N", Value(50)}, {"Label", Value("explicit")}});
  AddRow(*rs, {{"Label", Value("after")}});
  rs->Close();
  auto rows = Rows(*db, "SELECT [N], [Label] FROM [Counters] ORDER BY [N]");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], Value(10));
  EXPECT_EQ(rows[1][0], Value(50));
  EXPECT_EQ(rows[2][0], Value(51));

  Column n = catalog->GetTable("Counters").columns[0];
  EXPECT_EQ(n.type, adBigInt);  // kept although the engine declares the row id INTEGER
  EXPECT_EQ(n.properties["Autoincrement"], Value(true));
  EXPECT_EQ(n.properties["Seed"], Value(52));
  catalog->SetColumnProperty("Counters", "N", "Seed", Value(1000));
  catalog->Refresh();
  EXPECT_EQ(catalog->GetTable("Counters").columns[0].properties["Seed"], Value(1000));
  db->Execute("INSERT INTO [Counters] ([Label]) VALUES ('moved')");
  EXPECT_EQ(Rows(*db, "SELECT MAX(N) AS MaxIdentity FROM [Counters]")[0][0], Value(1000));
  EXPECT_EQ(Failure([&] { catalog->SetColumnProperty("Counters", "Label", "Seed", Value(5)); }).Number(),
            kNotSupported);
}

TEST_F(SqliteDataTest, JetDefaultsAreKeptAsWrittenAndActOnInsert) {
  auto db = NewDatabase();
  auto catalog = db->OpenCatalog();
  struct Case {
    const char* name;
    int type;
    const char* jet;
  };
  const std::vector<Case> cases = {{"Stamp", adDate, "=Now()"},         {"Day", adDate, "Date()"},
                                   {"Yes", adBoolean, "Yes"},           {"No", adBoolean, "=No"},
                                   {"True", adBoolean, "True"},         {"Minus", adBoolean, "-1"},
                                   {"Count", adInteger, "0"},           {"Price", adCurrency, "=12.50"},
                                   {"Name", adVarWChar, "\"unknown\""}, {"Code", adVarWChar, "'x''y'"}};
  Table t;
  t.name = "Defaults";
  t.columns.push_back(Col("Key", adInteger));
  for (const Case& c : cases) t.columns.push_back(Col(c.name, c.type, 20, {{"Default", Value(c.jet)}}));
  t.columns.push_back(Col("Plain", adBoolean, 0, {{"Nullable", Value(true)}}));
  catalog->AppendTable(t);

  Table read = catalog->GetTable("Defaults");
  auto schema = db->OpenSchemaColumns("Defaults");
  schema->Sort("ORDINAL_POSITION");
  EXPECT_TRUE(schema->GetValue("COLUMN_DEFAULT").IsNull());  // the column without a default
  EXPECT_EQ(schema->GetValue("COLUMN_HASDEFAULT"), Value(false));
  schema->MoveNext();
  for (std::size_t i = 0; i < cases.size(); ++i, schema->MoveNext()) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(read.columns[i + 1].properties["Default"], Value(cases[i].jet));
    EXPECT_EQ(schema->GetValue("COLUMN_DEFAULT"), Value(cases[i].jet));
    EXPECT_EQ(schema->GetValue("COLUMN_HASDEFAULT"), Value(true));
  }
  EXPECT_TRUE(read.columns[0].properties["Default"].IsEmpty());
  // A Yes/No column is never nullable in Jet and falls back to No, whatever was asked.
  EXPECT_TRUE(read.columns.back().properties["Default"].IsEmpty());
  EXPECT_EQ(read.columns.back().properties["Nullable"], Value(false));

  db->Execute("INSERT INTO [Defaults] ([Key]) VALUES (1)");
  auto row = Rows(*db, "SELECT * FROM [Defaults]")[0];
  EXPECT_EQ(row[1].GetKind(), Value::Kind::Date);
  EXPECT_EQ(row[1].AsText().size(), 19u);
  EXPECT_EQ(row[2].AsText().substr(10), " 00:00:00");
  EXPECT_EQ(row[3], Value(true));
  EXPECT_EQ(row[4], Value(false));
  EXPECT_EQ(row[5], Value(true));
  EXPECT_EQ(row[6], Value(true));
  EXPECT_EQ(row[7], Value(0));
  EXPECT_EQ(row[8], Value::Decimal("12.5"));
  EXPECT_EQ(row[9], Value("unknown"));
  EXPECT_EQ(row[10], Value("x'y"));
  EXPECT_EQ(row[11], Value(false));
  db->Execute("INSERT INTO [Defaults] ([Key], [Yes], [Plain]) VALUES (2, NULL, NULL)");
  auto nulls = Rows(*db, "SELECT [Yes], [Plain] FROM [Defaults] WHERE [Key] = 2")[0];
  EXPECT_EQ(nulls[0], Value(true));
  EXPECT_EQ(nulls[1], Value(false));

  // A table made again under the same name starts without the old one's properties.
  db->Execute("DROP TABLE [Defaults]");
  db->Execute(
      "CREATE TABLE [Defaults] ([Yes] BOOLEAN DEFAULT 1, [Stamp] DATETIME DEFAULT CURRENT_TIMESTAMP)");
  catalog->Refresh();
  EXPECT_EQ(catalog->GetTable("Defaults").columns[0].properties["Default"], Value("1"));
  EXPECT_EQ(catalog->GetTable("Defaults").columns[1].properties["Default"], Value("Now()"));
}

TEST_F(SqliteDataTest, CursorsStreamBufferOrUpdateAsAsked) {
  auto db = NewDatabase();
  db->Execute("CREATE TABLE [t] ([id] INTEGER, [name] VARCHAR(10) DEFAULT 'dflt')");
  auto rs = db->OpenRecordset("SELECT * FROM [t]", adOpenDynamic, adLockOptimistic, adUseServer);
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(rs->EditMode(), adEditNone);
  rs->AddNew();
  EXPECT_FALSE(rs->Eof());
  EXPECT_EQ(rs->EditMode(), adEditAdd);
  rs->SetValue(0, Value(1));
  rs->CancelUpdate();
  EXPECT_EQ(rs->EditMode(), adEditNone);
  for (int i = 0; i < 25000; ++i) {  // more than one batch
    rs->AddNew();
    rs->SetValue(0, Value(i));
    rs->Update();
  }
  // Until Close the rows may sit in an open transaction; another connection sees them after it.
  rs->Close();
  auto other = OpenConnection(Cs(File("db.mdb")));
  auto count = other->OpenRecordset("SELECT COUNT(*) AS Count1 FROM [t] WHERE [name] = 'dflt'",
                                    adOpenForwardOnly, adLockReadOnly, adUseServer);
  EXPECT_EQ(count->GetValue(0), Value(25000));
  EXPECT_EQ(count->RecordCount(), -1);
  EXPECT_EQ(Failure([&] { count->AddNew(); }).Number(), kNotSupported);
  EXPECT_EQ(Failure([&] { count->Sort("Count1"); }).Number(), kNotSupported);
  count->MoveNext();
  EXPECT_TRUE(count->Eof());
  EXPECT_THROW(count->GetValue(0), Error);

  auto client =
      other->OpenRecordset("SELECT [id] FROM [t] WHERE [id] < 5", adOpenStatic, adLockReadOnly, adUseClient);
  EXPECT_EQ(client->RecordCount(), 5);
  client->Sort("id");
  EXPECT_EQ(client->GetValue("ID"), Value(0));
  EXPECT_EQ(Failure([&] { client->GetValue("nope"); }).Number(), kItemNotFound);
  EXPECT_EQ(Failure([&] {
              other->OpenRecordset("SELECT COUNT(*) FROM [t]", adOpenDynamic, adLockOptimistic, adUseServer);
            }).Number(),
            kNotSupported);
}

TEST_F(SqliteDataTest, SchemaColumnsDescribeEachColumn) {
  auto db = NewDatabase();
  Table t;
  t.name = "Described";
  t.columns = {Col("Amount", adNumeric),
               Col("Name", adVarWChar, 40, {{"Nullable", Value(false)}, {"Description", Value("who")}}),
               Col("When", adDate), Col("Notes", adLongVarWChar)};
  t.columns[0].precision = 12;
  t.columns[0].numericScale = 3;
  db->OpenCatalog()->AppendTable(t);
  auto rs = db->OpenSchemaColumns("Described");
  EXPECT_EQ(rs->RecordCount(), 4);
  rs->Sort("ORDINAL_POSITION");
  EXPECT_EQ(rs->GetValue("COLUMN_NAME"), Value("Amount"));
  EXPECT_EQ(rs->GetValue("NUMERIC_PRECISION"), Value(12));
  EXPECT_EQ(rs->GetValue("NUMERIC_SCALE"), Value(3));
  EXPECT_TRUE(rs->GetValue("CHARACTER_MAXIMUM_LENGTH").IsNull());
  EXPECT_EQ(rs->GetValue("IS_NULLABLE"), Value(true));
  rs->MoveNext();
  EXPECT_EQ(rs->GetValue("CHARACTER_MAXIMUM_LENGTH"), Value(40));
  EXPECT_EQ(rs->GetValue("IS_NULLABLE"), Value(false));
  EXPECT_EQ(rs->GetValue("DESCRIPTION"), Value("who"));
  EXPECT_TRUE(rs->GetValue("NUMERIC_PRECISION").IsNull());
  EXPECT_EQ(rs->GetValue("COLUMN_FLAGS").AsInt() & DBCOLUMNFLAGS_ISNULLABLE, 0);
  rs->MoveNext();
  EXPECT_EQ(rs->GetValue("DATETIME_PRECISION"), Value(0));
  rs->MoveNext();
  EXPECT_NE(rs->GetValue("COLUMN_FLAGS").AsInt() & DBCOLUMNFLAGS_ISLONG, 0);
  EXPECT_EQ(db->OpenSchemaColumns("nothing")->RecordCount(), 0);
}

}  // namespace
}  // namespace vela::data::testing
