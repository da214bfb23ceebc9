// Rows in the Jet manner: autoincrement seeds and explicit numbers, and Jet default expressions.
#include <cmath>

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
  // A decimal default is stored as a bound decimal is: a number, which sums and sorts as one.
  EXPECT_EQ(Rows(*db, "SELECT typeof([Price]) FROM [Defaults]"), (RowList{{Value("real")}}));
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

TEST_F(SqliteDataTest, DecimalsAreStoredAsNumbersWhereTheirDigitsFitAndAsTextBeyond) {
  auto db = NewDatabase();
  auto catalog = db->OpenCatalog();
  Table t;
  t.name = "Money";
  t.columns = {Col("Id", adInteger), Col("Amount", adNumeric), Col("Price", adCurrency)};
  t.columns[1].precision = 28;
  t.columns[1].numericScale = 10;
  catalog->AppendTable(t);
  EXPECT_EQ(Rows(*db, "SELECT sql FROM sqlite_master WHERE name = 'Money'")[0][0],
            Value("CREATE TABLE \"Money\" (\"Id\" INTEGER, \"Amount\" DECIMAL BLOB(28,10), \"Price\" "
                  "CURRENCY BLOB)"));

  struct Case {
    Value given;
    const char* stored;  // quote() of what the engine holds
    const char* read;    // the Decimal read back
  };
  const std::vector<Case> cases = {
      {Value::Decimal("1.98"), "1.98", "1.98"},
      {Value("  0012.50 "), "12.5", "12.5"},
      {Value::Decimal("100"), "100", "100"},
      {Value(2.5), "2.5", "2.5"},
      {Value(-3.0), "-3", "-3"},
      {Value::Decimal("-0.0001"), "-0.0001", "-0.0001"},
      // The same double; the engine quotes a real in its shortest exact form.
      {Value::Decimal("0.30000000000000004"), "0.30000000000000004", "0.30000000000000004"},
      {Value::Decimal("9007199254740993"), "9007199254740993", "9007199254740993"},  // beyond a double
      {Value::Decimal("1e20"), "1.0e+20", "100000000000000000000"},
      {Value::Decimal("12345678901234567890.0123456789"), "'12345678901234567890.0123456789'",
       "12345678901234567890.0123456789"},
  };
  auto rows = db->OpenRecordset("SELECT * FROM [Money]", adOpenDynamic, adLockOptimistic, adUseServer);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    AddRow(*rows,
           {{"Id", Value(static_cast<int>(i))}, {"Amount", cases[i].given}, {"Price", cases[i].given}});
  }
  rows->Close();
  const RowList read =
      Rows(*db, "SELECT quote(Amount), Amount, quote(Price), Price FROM [Money] ORDER BY Id");
  ASSERT_EQ(read.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].read);
    EXPECT_EQ(read[i], (std::vector<Value>{Value(cases[i].stored), Value::Decimal(cases[i].read),
                                           Value(cases[i].stored), Value::Decimal(cases[i].read)}));
  }
  EXPECT_EQ(Failure([&] {
              AddRow(
                  *db->OpenRecordset("SELECT * FROM [Money]", adOpenDynamic, adLockOptimistic, adUseServer),
                  {{"Amount", Value(HUGE_VAL)}});
            }).Number(),
            kTypeMismatch);

  // Files made before keep decimals as text under a text declaration: the same types, the same values.
  db->Execute("CREATE TABLE [Old] ([Amount] DECIMAL TEXT(12,3), [Price] CURRENCY TEXT)");
  db->Execute("INSERT INTO [Old] VALUES ('12.5', '-3.25')");
  catalog->Refresh();
  const Table old = catalog->GetTable("Old");
  EXPECT_EQ(old.columns[0].type, adNumeric);
  EXPECT_EQ(old.columns[0].precision, 12);
  EXPECT_EQ(old.columns[0].numericScale, 3);
  EXPECT_EQ(old.columns[1].type, adCurrency);
  EXPECT_EQ(Rows(*db, "SELECT * FROM [Old]"), (RowList{{Value::Decimal("12.5"), Value::Decimal("-3.25")}}));
}

}  // namespace
}  // namespace vela::data::testing
