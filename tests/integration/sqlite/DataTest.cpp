// Rows in the Jet manner: autoincrement seeds and explicit numbers, and Jet default expressions.
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
  AddRow(*rs, {{"N", Value(50)}, {"Label", Value("explicit")}});
  AddRow(*rs, {{"Label", Value("after")}});
  rs->Close();
  EXPECT_EQ(Rows(*db, "SELECT [N] FROM [Counters] ORDER BY [N]"),
            (RowList{{Value(10)}, {Value(50)}, {Value(51)}}));

  Column n = catalog->GetTable("Counters").columns[0];
  EXPECT_EQ(n.type, adBigInt);  // kept although the engine declares the row id INTEGER
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
  schema->MoveNext();  // past the column without a default
  for (std::size_t i = 0; i < cases.size(); ++i, schema->MoveNext()) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(read.columns[i + 1].properties["Default"], Value(cases[i].jet));
    EXPECT_EQ(schema->GetValue("COLUMN_DEFAULT"), Value(cases[i].jet));
    EXPECT_EQ(schema->GetValue("COLUMN_HASDEFAULT"), Value(true));
  }
  // A Yes/No column is never nullable in Jet and falls back to No, whatever was asked.
  EXPECT_TRUE(read.columns.back().properties["Default"].IsEmpty());
  EXPECT_EQ(read.columns.back().properties["Nullable"], Value(false));

  db->Execute("INSERT INTO [Defaults] ([Key]) VALUES (1)");
  auto row = Rows(*db, "SELECT * FROM [Defaults]")[0];
  EXPECT_EQ(row[1].GetKind(), Value::Kind::Date);
  EXPECT_EQ(row[1].AsText().size(), 19u);
  EXPECT_EQ(row[2].AsText().substr(10), " 00:00:00");
  EXPECT_EQ(std::vector<Value>(row.begin() + 3, row.end()),
            (std::vector<Value>{Value(true), Value(false), Value(true), Value(true), Value(0),
                                Value::Decimal("12.5"), Value("unknown"), Value("x'y"), Value(false)}));
  db->Execute("INSERT INTO [Defaults] ([Key], [Yes], [Plain]) VALUES (2, NULL, NULL)");
  EXPECT_EQ(Rows(*db, "SELECT [Yes], [Plain] FROM [Defaults] WHERE [Key] = 2"),
            (RowList{{Value(true), Value(false)}}));

  // A table made again under the same name starts without the old one's properties.
  db->Execute("DROP TABLE [Defaults]");
  db->Execute(
      "CREATE TABLE [Defaults] ([Yes] BOOLEAN DEFAULT 1, [Stamp] DATETIME DEFAULT CURRENT_TIMESTAMP)");
  catalog->Refresh();
  EXPECT_EQ(catalog->GetTable("Defaults").columns[0].properties["Default"], Value("1"));
  EXPECT_EQ(catalog->GetTable("Defaults").columns[1].properties["Default"], Value("Now()"));
}

}  // namespace
}  // namespace vela::data::testing
