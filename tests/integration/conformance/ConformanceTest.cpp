// What every provider owes the backup component: a catalog that gives back what was made, values that keep
// their kind and exactness, the cursors and commands the save and the restore use, errors with their
// numbers, new databases and snapshots. Only SQL the component itself sends appears here.
#include <algorithm>
#include <limits>
#include <set>

#include "ProviderConformance.h"

namespace vela::data::testing {
namespace {

using Described = std::set<std::string>;

std::string ColumnList(const std::vector<Column>& columns) {
  std::string out;
  for (const Column& c : columns)
    out += (out.empty() ? "" : ",") + c.name + (c.relatedColumn.empty() ? "" : ">" + c.relatedColumn);
  return "(" + out + ")";
}

// Every index and key of a table in one line each: name, columns, flags, rules.
Described Describe(const Table& table) {
  Described out;
  for (const Index& ix : table.indexes)
    out.insert("index " + ix.name + ColumnList(ix.columns) + (ix.unique ? " unique" : "") +
               (ix.primaryKey ? " primary" : "") + " nulls " + std::to_string(ix.indexNulls));
  for (const Key& k : table.keys)
    out.insert("key " + k.name + ColumnList(k.columns) + " type " + std::to_string(k.type) +
               (k.relatedTable.empty() ? "" : " to " + k.relatedTable) + " rules " +
               std::to_string(k.deleteRule) + std::to_string(k.updateRule));
  return out;
}

// A key on one column; a foreign key names the related table and column.
Key MakeKey(std::string name, int type, std::string column, std::string relatedTable = "",
            std::string relatedColumn = "", int deleteRule = adRINone) {
  Key k;
  k.name = std::move(name);
  k.type = type;
  k.relatedTable = std::move(relatedTable);
  k.deleteRule = deleteRule;
  k.columns = {KeyColumn(std::move(column), std::move(relatedColumn))};
  return k;
}

// The size a command parameter declares for its value, as the restore gives it.
std::int64_t ParameterSize(const Value& value) {
  if (value.GetKind() == Value::Kind::Binary) return 99999999;
  return value.IsNullOrEmpty() ? 1 : static_cast<std::int64_t>(value.AsText().size()) + 1;
}

std::unique_ptr<Recordset> Updatable(Connection& connection, const std::string& table) {
  return connection.OpenRecordset("SELECT * FROM [" + table + "]", adOpenDynamic, adLockOptimistic,
                                  adUseServer);
}

TEST_P(ProviderConformance, ANewDatabaseIsEmptyListsWhatIsMadeAndOpensAgainWithIt) {
  EXPECT_EQ(db_->Provider(), GetParam().provider);
  EXPECT_EQ(db_->CommandTimeout(), 30);
  EXPECT_EQ(db_->CursorLocation(), adUseServer);
  for (const Catalog::Entry& e : catalog_->ListTables()) EXPECT_NE(e.type, "TABLE") << e.name;
  MakeTable("Kept", {NewColumn("N", adInteger), NewColumn("S", adVarWChar, 10)});
  db_->Execute("INSERT INTO [Kept] ([N], [S]) VALUES (1, 'one'), (2, 'two')");
  db_->Execute("CREATE VIEW [Big Ones] AS SELECT * FROM [Kept] WHERE [N] > 1");
  auto other = OpenConnection(connectionString_);
  other->OpenCatalog()->AppendTable(Table{"Later", "TABLE", {NewColumn("x", adInteger)}, {}, {}});
  catalog_->Refresh();
  std::set<std::pair<std::string, std::string>> listed;
  for (const Catalog::Entry& e : catalog_->ListTables())
    if (e.type != "SYSTEM TABLE") listed.emplace(e.name, e.type);
  EXPECT_EQ(listed, (std::set<std::pair<std::string, std::string>>{
                        {"Kept", "TABLE"}, {"Big Ones", "VIEW"}, {"Later", "TABLE"}}));
  EXPECT_EQ(catalog_->GetTable("KEPT").name, "Kept");
  EXPECT_EQ(catalog_->GetTable("big ones").type, "VIEW");
  EXPECT_EQ(Failure([&] { catalog_->GetTable("Nope"); }).Number(), kItemNotFound);

  catalog_.reset();
  db_->Close();
  EXPECT_FALSE(db_->IsOpen());
  EXPECT_THROW(db_->Execute("SELECT * FROM [Kept]"), Error);
  EXPECT_THROW(db_->OpenCatalog(), Error);
  auto again = OpenConnection(connectionString_);
  EXPECT_EQ(Rows(*again, "SELECT [N], [S] FROM [Big Ones]"), (RowList{{Value(2), Value("two")}}));
  auto fresh = OpenConnection(NewDatabase("fresh"));
  EXPECT_EQ(Failure([&] { fresh->Execute("SELECT * FROM [Kept]"); }).Number(), kNoSuchTable);
}

TEST_P(ProviderConformance, ColumnsComeBackWithTheirTypeSizeAndProperties) {
  Column amount = NewColumn("Amount", adNumeric, 0, {{"Default", "0"}});
  amount.precision = 12;
  amount.numericScale = 3;
  const std::vector<Column> asked = {
      NewColumn("ID", adInteger, 0, {{"Autoincrement", true}}),
      NewColumn("Name", adVarWChar, 40, {{"Nullable", false}, {"Description", "who"}}),
      amount,
      NewColumn("Label", adVarWChar, 20, {{"Default", "'none'"}}),
      NewColumn("Code", adWChar, 5),
      NewColumn("Price", adCurrency),
      NewColumn("Raw", adVarBinary, 16),
      NewColumn("Notes", adLongVarWChar),
      NewColumn("Picture", adLongVarBinary)};
  MakeTable("Described", asked);

  Table read = catalog_->GetTable("described");
  ASSERT_EQ(read.columns.size(), asked.size());
  auto fields =
      db_->OpenRecordset("SELECT * FROM [Described]", adOpenForwardOnly, adLockReadOnly, adUseServer);
  auto schema = db_->OpenSchemaColumns("Described");
  EXPECT_EQ(schema->RecordCount(), static_cast<std::int64_t>(asked.size()));
  schema->Sort("ORDINAL_POSITION");
  for (std::size_t i = 0; i < asked.size(); ++i, schema->MoveNext()) {
    const Column& c = read.columns[i];
    SCOPED_TRACE(asked[i].name);
    ASSERT_FALSE(schema->Eof());
    EXPECT_EQ(schema->GetValue("COLUMN_NAME"), Value(c.name));
    const int kept = GetParam().KeptAs(asked[i].type);
    EXPECT_EQ(c.type, kept);
    EXPECT_EQ(fields->Field(i).type, c.type);
    const bool isLong = c.type == adLongVarWChar || c.type == adLongVarBinary;
    const Value& length = schema->GetValue("CHARACTER_MAXIMUM_LENGTH");
    if (asked[i].definedSize > 0 && kept == asked[i].type) {
      EXPECT_EQ(c.definedSize, asked[i].definedSize);
      EXPECT_EQ(length, Value(asked[i].definedSize));
    } else {
      EXPECT_EQ(length.IsNull(), !isLong);  // long columns report their limit, other types none
    }
    EXPECT_EQ((schema->GetValue("COLUMN_FLAGS").AsInt() & DBCOLUMNFLAGS_ISLONG) != 0, isLong);
    if (c.type == adNumeric) {
      EXPECT_EQ(c.precision, 12);
      EXPECT_EQ(c.numericScale, 3);
      EXPECT_EQ(schema->GetValue("NUMERIC_PRECISION"), Value(12));
      EXPECT_EQ(schema->GetValue("NUMERIC_SCALE"), Value(3));
    }

    const bool nullable = c.name != "ID" && c.name != "Name";
    EXPECT_EQ(c.properties["Nullable"], Value(nullable));
    EXPECT_EQ(schema->GetValue("IS_NULLABLE"), Value(nullable));
    EXPECT_EQ((schema->GetValue("COLUMN_FLAGS").AsInt() & DBCOLUMNFLAGS_ISNULLABLE) != 0, nullable);
    EXPECT_EQ(c.properties["Autoincrement"], Value(c.name == "ID"));
    const bool hasDefault = c.name == "Amount" || c.name == "Label";
    EXPECT_EQ(c.properties["Default"].IsNullOrEmpty(), !hasDefault);
    EXPECT_EQ(schema->GetValue("COLUMN_HASDEFAULT"), Value(hasDefault));
    EXPECT_EQ(schema->GetValue("COLUMN_DEFAULT"), hasDefault ? c.properties["Default"] : Value::Null());
    EXPECT_EQ(schema->GetValue("DESCRIPTION"), c.name == "Name" ? Value("who") : Value::Null());
  }
  EXPECT_EQ(db_->OpenSchemaColumns("Nothing")->RecordCount(), 0);
  // Defaults and the autoincrement act on rows that leave them out; a number once given is not given again.
  db_->Execute("INSERT INTO [Described] ([Name]) VALUES ('Ann')");
  auto rs = Updatable(*db_, "Described");
  rs->AddNew();
  rs->SetValue(1, Value("Bob"));
  rs->Update();
  rs->Close();
  db_->Execute("DELETE FROM [Described] WHERE [Name] = 'Bob'");
  db_->Execute("INSERT INTO [Described] ([Name]) VALUES ('Cy')");
  EXPECT_EQ(Rows(*db_, "SELECT [ID], [Amount], [Label], [Code] FROM [Described] ORDER BY [ID]"),
            (RowList{{Value(1), Value::Decimal("0"), Value("none"), Value::Null()},
                     {Value(3), Value::Decimal("0"), Value("none"), Value::Null()}}));
}

TEST_P(ProviderConformance, IndexesAndKeysComeBackAsMadeAndAreEnforced) {
  MakeTable("Customers",
            {NewColumn("ID", adInteger, 0, {{"Nullable", false}}), NewColumn("Code", adVarWChar, 10),
             NewColumn("Name", adVarWChar, 40)},
            {Index{.name = "ByName", .columns = {KeyColumn("Name")}}},
            {MakeKey("PK_Customers", adKeyPrimary, "ID")});
  MakeTable("Orders", {NewColumn("No", adInteger, 0, {{"Nullable", false}}), NewColumn("Customer", adInteger),
                       NewColumn("Backup", adInteger)});
  db_->Execute("INSERT INTO [Customers] ([ID], [Code], [Name]) VALUES (1, 'a', 'Ann'), (2, 'b', 'Bob')");
  db_->Execute("INSERT INTO [Orders] ([No], [Customer], [Backup]) VALUES (10, 1, 2), (11, 2, 1)");
  // Keys come after the rows, as the restore adds them.
  catalog_->AppendKey("Customers", MakeKey("UQ_Code", adKeyUnique, "Code"));
  catalog_->AppendKey("Orders", MakeKey("PK_Orders", adKeyPrimary, "No"));
  catalog_->AppendKey("Orders",
                      MakeKey("OfCustomer", adKeyForeign, "Customer", "Customers", "ID", adRICascade));
  catalog_->AppendKey("Orders", MakeKey("Backup", adKeyForeign, "Backup", "Customers", "ID", adRISetNull));
  EXPECT_EQ(Describe(catalog_->GetTable("Customers")),
            (Described{"index PK_Customers(ID) unique primary nulls 1", "index ByName(Name) nulls 0",
                       "index UQ_Code(Code) unique nulls 0", "key PK_Customers(ID) type 1 rules 00",
                       "key UQ_Code(Code) type 3 rules 00"}));
  EXPECT_EQ(Describe(catalog_->GetTable("Orders")),
            (Described{"index PK_Orders(No) unique primary nulls 1", "key PK_Orders(No) type 1 rules 00",
                       "key OfCustomer(Customer>ID) type 2 to Customers rules 10",
                       "key Backup(Backup>ID) type 2 to Customers rules 20"}));

  EXPECT_EQ(
      Failure([&] { db_->Execute("INSERT INTO [Orders] ([No], [Customer]) VALUES (12, 99)"); }).Number(),
      kIntegrityViolation);
  EXPECT_EQ(Failure([&] { db_->Execute("INSERT INTO [Customers] ([ID], [Code]) VALUES (3, 'a')"); }).Number(),
            kIntegrityViolation);
  db_->Execute("DELETE FROM [Customers] WHERE [ID] = 1");
  EXPECT_EQ(Rows(*db_, "SELECT [No], [Customer], [Backup] FROM [Orders]"),
            (RowList{{Value(11), Value(2), Value::Null()}}));

  // A key the rows break is refused and leaves its table as it was; so is one to a column that is not unique.
  MakeTable("Loose", {NewColumn("Customer", adInteger)});
  db_->Execute("INSERT INTO [Loose] ([Customer]) VALUES (12345)");
  Key dangling = MakeKey("Dangling", adKeyForeign, "Customer", "Customers", "ID");
  EXPECT_EQ(Failure([&] { catalog_->AppendKey("Loose", dangling); }).Number(), kIntegrityViolation);
  EXPECT_TRUE(catalog_->GetTable("Loose").keys.empty());
  EXPECT_EQ(Rows(*db_, "SELECT [Customer] FROM [Loose]"), (RowList{{Value(12345)}}));
  dangling.relatedTable = "Orders";
  dangling.columns[0].relatedColumn = "Customer";
  EXPECT_EQ(Failure([&] { catalog_->AppendKey("Loose", dangling); }).Number(), kCommandError);
}

TEST_P(ProviderConformance, EveryStatementTheComponentSendsRuns) {
  MakeTable("VelaParams", {NewColumn("ParamName", adVarWChar, 50, {{"Nullable", false}}),
                           NewColumn("ParamValue", adVarWChar, 50)});
  MakeTable("Order Details", {NewColumn("ID", adInteger, 0, {{"Autoincrement", true}}),
                              NewColumn("Group", adVarWChar, 10), NewColumn("Key", adInteger)});
  db_->Execute("INSERT INTO [VelaParams] VALUES ('AllowNewConnection', '1'), ('Other', '2')");
  db_->Execute(
      "INSERT INTO [Order Details] ([Group], [Key]) VALUES ('a', 1), ('a', 1), ('b', NULL), ('b', NULL), "
      "('c', 2)");
  EXPECT_EQ(
      Rows(*db_, "SELECT COUNT(*) AS Count1 FROM [VelaParams] WHERE [ParamName]<>'AllowNewConnection'")[0][0],
      Value(1));
  auto max = db_->OpenRecordset("SELECT MAX([ID]) AS MaxIdentity FROM [Order Details]", adOpenDynamic,
                                adLockReadOnly, adUseClient);
  EXPECT_EQ(max->GetValue("MaxIdentity"), Value(5));
  RowList duplicates =
      Rows(*db_, "SELECT [Group],[Key] FROM [Order Details] GROUP BY [Group],[Key] HAVING Count(*) > 1 ");
  std::sort(duplicates.begin(), duplicates.end(),
            [](const auto& a, const auto& b) { return a[0].AsText() < b[0].AsText(); });
  EXPECT_EQ(duplicates, (RowList{{Value("a"), Value(1)}, {Value("b"), Value::Null()}}));

  db_->Execute("CREATE INDEX [ByGroup] ON [Order Details] ([Group])");
  db_->Execute("CREATE UNIQUE INDEX [ByName] ON [VelaParams] ([ParamName])");
  db_->Execute("CREATE CLUSTERED INDEX [ByValue] ON [VelaParams] ([ParamValue])");
  db_->Execute("CREATE UNIQUE CLUSTERED INDEX [Both] ON [Order Details] ([ID], [Group])");
  db_->Execute("CREATE INDEX [ByGroup] ON [VelaParams] ([ParamValue])");  // index names are per table
  db_->Execute("ALTER TABLE [VelaParams] ADD CONSTRAINT [PK_VelaParams] PRIMARY KEY ([ParamName])");
  db_->Execute("ALTER TABLE [Order Details] ADD CONSTRAINT [PK_Order Details] PRIMARY KEY ([ID])");
  EXPECT_EQ(Describe(catalog_->GetTable("VelaParams")),
            (Described{"index PK_VelaParams(ParamName) unique primary nulls 1",
                       "index ByName(ParamName) unique nulls 0", "index ByValue(ParamValue) nulls 0",
                       "index ByGroup(ParamValue) nulls 0", "key PK_VelaParams(ParamName) type 1 rules 00"}));
  EXPECT_EQ(
      Describe(catalog_->GetTable("Order Details")),
      (Described{"index PK_Order Details(ID) unique primary nulls 1", "index Both(ID,Group) unique nulls 0",
                 "index ByGroup(Group) nulls 0", "key PK_Order Details(ID) type 1 rules 00"}));
  EXPECT_EQ(Rows(*db_, "SELECT * FROM [VelaParams]").size(), 2u);
  EXPECT_EQ(Failure([&] {
              db_->Execute("ALTER TABLE [VelaParams] ADD CONSTRAINT [Again] PRIMARY KEY ([ParamValue])");
            }).Number(),
            kCommandError);
  EXPECT_EQ(Failure([&] { db_->Execute("CREATE INDEX [x] ON [Nowhere] ([a])"); }).Number(), kNoSuchTable);

  // Brackets inside literals and comments are text; names may hold brackets, quotes, blanks and accents.
  EXPECT_EQ(
      Rows(*db_, "SELECT '[a]]b]' AS [x]]y] /* [c] */ FROM [VelaParams] WHERE [ParamName] = 'Other' -- [d]"),
      (RowList{{Value("[a]]b]")}}));
  MakeTable("We]ird \"Tåble's\"", {NewColumn("Co]l [1]", adInteger, 0, {{"Nullable", false}}),
                                   NewColumn("Select", adVarWChar, 10)});
  db_->Execute("INSERT INTO [We]]ird \"Tåble's\"] ([Co]]l [1]]], [Select]) VALUES (1, 'a')");
  db_->Execute("CREATE UNIQUE CLUSTERED INDEX [I]]x'\"] ON [We]]ird \"Tåble's\"] ([Co]]l [1]]], [Select])");
  db_->Execute("ALTER TABLE [We]]ird \"Tåble's\"] ADD CONSTRAINT [P]]K'\"] PRIMARY KEY ([Co]]l [1]]])");
  EXPECT_EQ(
      Describe(catalog_->GetTable("We]ird \"Tåble's\"")),
      (Described{"index I]x'\"(Co]l [1],Select) unique nulls 0",
                 "index P]K'\"(Co]l [1]) unique primary nulls 1", "key P]K'\"(Co]l [1]) type 1 rules 00"}));
  EXPECT_EQ(Rows(*db_, "SELECT [Co]]l [1]]], [Select] FROM [We]]ird \"Tåble's\"]"),
            (RowList{{Value(1), Value("a")}}));
  // A mark inside a literal is text, not a parameter.
  const std::vector<Parameter> two = {{"", adInteger, adParamInput, 0, Value(2), 0, 0}};
  db_->Execute("INSERT INTO [We]]ird \"Tåble's\"] ([Co]]l [1]]], [Select]) VALUES (?, '?''[x]')", two, false);
  EXPECT_EQ(Rows(*db_, "SELECT [Select] FROM [We]]ird \"Tåble's\"] WHERE [Co]]l [1]]] = 2"),
            (RowList{{Value("?'[x]")}}));
  // A description and a seed reach a column whose names quote SQL.
  const std::string counted = "N]o's \"t\"", counter = "N]o'\"";
  MakeTable(counted,
            {NewColumn(counter, adInteger, 0, {{"Autoincrement", true}, {"Description", "it's \"n\""}}),
             NewColumn("v", adVarWChar, 10)});
  catalog_->SetColumnProperty(counted, counter, "Seed", Value(40));
  db_->Execute("INSERT INTO [N]]o's \"t\"] ([v]) VALUES ('a''b]')");
  EXPECT_EQ(Rows(*db_, "SELECT * FROM [N]]o's \"t\"]"), (RowList{{Value(40), Value("a'b]")}}));
  EXPECT_EQ(catalog_->GetTable(counted).columns.at(0).properties["Description"], Value("it's \"n\""));
  EXPECT_EQ(db_->OpenSchemaColumns(counted)->GetValue("DESCRIPTION"), Value("it's \"n\""));
  EXPECT_EQ(catalog_->GetTable(counted).columns.at(0).properties["Seed"], Value(41));
  EXPECT_EQ(Failure([&] { catalog_->SetColumnProperty(counted, "v", "Seed", Value(1)); }).Number(),
            kNotSupported);
  EXPECT_EQ(Failure([&] { catalog_->SetColumnProperty(counted, "Nope", "Seed", Value(1)); }).Number(),
            kItemNotFound);
  EXPECT_EQ(Failure([&] { catalog_->SetColumnProperty("Nope", counter, "Seed", Value(1)); }).Number(),
            kItemNotFound);
}

// A column of each type the API names, with an ordinary value and an extreme one. Times of day travel on
// the automation calendar's first day.
struct TypeCase {
  const char* name;
  int type;
  std::int64_t size;
  int precision, scale;
  Value value, extreme;
};

std::vector<TypeCase> EveryType() {
  Bytes picture(300000);
  for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<std::uint8_t>(i * 7);
  std::string memo;
  while (memo.size() < 100000) memo += "Grüße aus Köln, 世界. ";
  const auto date = Value::Date;
  const auto decimal = Value::Decimal;
  return {
      {"SmallInt", adSmallInt, 0, 0, 0, Value(-32768), Value(32767)},
      {"Integer", adInteger, 0, 0, 0, Value(-2147483647 - 1), Value(2147483647)},
      {"Single", adSingle, 0, 0, 0, Value(1.5), Value(-1024.25)},
      {"Double", adDouble, 0, 0, 0, Value(0.1), Value(-1.7976931348623157e308)},
      {"Currency", adCurrency, 0, 0, 0, decimal("-922337203685477.5808"), decimal("922337203685477.5807")},
      {"Date", adDate, 0, 0, 0, date("2024-02-29 13:45:07"), date("9999-12-31 23:59:59")},
      {"BSTR", adBSTR, 0, 0, 0, Value("Grüße"), Value("")},
      {"Boolean", adBoolean, 0, 0, 0, Value(true), Value(false)},
      {"Decimal", adDecimal, 0, 28, 10, decimal("123456789012345678.0123456789"), decimal("-0.0000000001")},
      {"TinyInt", adTinyInt, 0, 0, 0, Value(-128), Value(127)},
      {"UnsignedTinyInt", adUnsignedTinyInt, 0, 0, 0, Value(0), Value(255)},
      {"BigInt", adBigInt, 0, 0, 0, Value(std::numeric_limits<long long>::min()),
       Value(std::numeric_limits<long long>::max())},
      {"GUID", adGUID, 0, 0, 0, Value("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"),
       Value("{00000000-0000-0000-0000-000000000000}")},
      {"Binary", adBinary, 4, 0, 0, Value(Bytes{0, 1, 0, 255}), Value(Bytes{255, 255, 255, 255})},
      {"Char", adChar, 5, 0, 0, Value("ABCDE"), Value("a b c")},
      {"WChar", adWChar, 3, 0, 0, Value("äöü"), Value("x y")},
      {"Numeric", adNumeric, 0, 18, 4, decimal("12.5"), decimal("-99999999999999.9999")},
      {"DBDate", adDBDate, 0, 0, 0, date("2024-02-29 00:00:00"), date("0100-01-01 00:00:00")},
      {"DBTime", adDBTime, 0, 0, 0, date("1899-12-30 13:45:07"), date("1899-12-30 23:59:59")},
      {"DBTimeStamp", adDBTimeStamp, 0, 0, 0, date("2024-02-29 13:45:07"), date("1900-01-01 00:00:00")},
      {"VarNumeric", adVarNumeric, 0, 18, 4, decimal("-0.5"), decimal("0")},
      {"VarChar", adVarChar, 30, 0, 0, Value("plain text"), Value("")},
      {"LongVarChar", adLongVarChar, 0, 0, 0, Value(std::string(70000, 'a')), Value("")},
      {"VarWChar", adVarWChar, 50, 0, 0, Value("Grüße, 世界"), Value("")},
      {"LongVarWChar", adLongVarWChar, 0, 0, 0, Value(memo), Value("x")},
      {"VarBinary", adVarBinary, 200, 0, 0, Value(Bytes{0, 1, 2, 3}), Value(Bytes{9})},
      {"LongVarBinary", adLongVarBinary, 0, 0, 0, Value(picture), Value(Bytes{0})},
  };
}

TEST_P(ProviderConformance, EveryTypeKeepsKindAndValueThroughRecordsetsAndCommands) {
  const std::vector<TypeCase> cases = EveryType();
  std::vector<Column> columns = {NewColumn("Row", adInteger)};
  for (const TypeCase& c : cases) {
    columns.push_back(NewColumn(c.name, c.type, c.size));
    columns.back().precision = c.precision;
    columns.back().numericScale = c.scale;
  }
  MakeTable("Every Type", columns);
  // Rows 1 to 3 go in through an updatable recordset, 4 to 6 through a prepared command: the ordinary
  // values, the extreme ones, Nulls.
  auto expected = [&](int row) {
    std::vector<Value> values = {Value(row)};
    for (const TypeCase& c : cases)
      values.push_back(row % 3 == 1 ? c.value : row % 3 == 2 ? c.extreme : Value::Null());
    return values;
  };
  auto rs = Updatable(*db_, "Every Type");
  for (int row = 1; row <= 3; ++row) {
    rs->AddNew();
    const std::vector<Value> values = expected(row);
    for (std::size_t i = 0; i < values.size(); ++i) rs->SetValue(i, values[i]);
    rs->Update();
  }
  rs->Close();
  Command insert(*db_);
  std::string names = "[Row]", marks = "?";
  for (const TypeCase& c : cases) names += ", [" + std::string(c.name) + "]", marks += ", ?";
  insert.SetCommandText("INSERT INTO [Every Type] (" + names + ") VALUES (" + marks + ")");
  insert.SetPrepared(true);
  for (int row = 4; row <= 6; ++row) {
    const std::vector<Value> values = expected(row);
    insert.Parameters().clear();
    for (std::size_t i = 0; i < values.size(); ++i) {
      insert.Parameters().push_back(insert.CreateParameter(columns[i].name, columns[i].type, adParamInput,
                                                           ParameterSize(values[i]), values[i]));
      insert.Parameters().back().precision = columns[i].precision;
      insert.Parameters().back().numericScale = columns[i].numericScale;
    }
    insert.Execute();
  }

  // Types every engine keeps as asked; the others may come back as a near type (a timestamp as a date).
  const std::set<int> kept = {adSmallInt,  adInteger,      adSingle,        adDouble,
                              adCurrency,  adBoolean,      adBigInt,        adGUID,
                              adBinary,    adWChar,        adNumeric,       adVarWChar,
                              adVarBinary, adLongVarWChar, adLongVarBinary, adUnsignedTinyInt};
  const Table table = catalog_->GetTable("Every Type");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& c = table.columns[i];
    const int keptAs = GetParam().KeptAs(columns[i].type);
    EXPECT_TRUE(!kept.count(columns[i].type) || c.type == keptAs) << c.name << " became " << c.type;
    EXPECT_TRUE(!columns[i].definedSize || keptAs != columns[i].type ||
                c.definedSize == columns[i].definedSize)
        << c.name;
  }
  // Streamed from the server's cursor and read whole into the client's: the same kinds and values.
  for (CursorLocationEnum location : {adUseServer, adUseClient}) {
    SCOPED_TRACE(location == adUseServer ? "server cursor" : "client cursor");
    auto read = db_->OpenRecordset("SELECT * FROM [Every Type] ORDER BY [Row]", adOpenForwardOnly,
                                   adLockReadOnly, location);
    for (int row = 1; row <= 6; ++row, read->MoveNext()) {
      ASSERT_FALSE(read->Eof());
      const std::vector<Value> values = expected(row);
      for (std::size_t i = 0; i < values.size(); ++i) {
        const Value& got = read->GetValue(i);
        EXPECT_EQ(read->Field(i).type, table.columns[i].type) << columns[i].name;
        if (values[i].IsNull() && columns[i].type == adBoolean) {  // a Yes/No column may hold No for Null
          EXPECT_TRUE(got.IsNull() || got == Value(false)) << "row " << row;
        } else {
          EXPECT_EQ(got, values[i]) << columns[i].name << ", row " << row;
        }
      }
    }
    EXPECT_TRUE(read->Eof());
  }
}

TEST_P(ProviderConformance, AnEmptyBinaryValueStaysApartFromNull) {
  MakeTable("Empty", {NewColumn("Row", adInteger), NewColumn("Bytes", adLongVarBinary)});
  Command insert(*db_);
  insert.SetCommandText("INSERT INTO [Empty] ([Row], [Bytes]) VALUES (1, ?)");
  insert.Parameters() = {insert.CreateParameter("Bytes", adLongVarBinary, adParamInput, 0, Value(Bytes{}))};
  insert.Execute();
  EXPECT_EQ(Rows(*db_, "SELECT [Bytes] FROM [Empty]"), (RowList{{Value(Bytes{})}}));
}

TEST_P(ProviderConformance, ValuesConvertToTheirColumnsTypeOrAreRefusedNamingTheColumn) {
  Column exact = NewColumn("Exact", adNumeric);
  exact.precision = 18;
  exact.numericScale = 6;
  MakeTable("Typed", {NewColumn("Int", adInteger), NewColumn("Money", adCurrency), exact,
                      NewColumn("When", adDate), NewColumn("Flag", adBoolean), NewColumn("Id", adGUID)});
  // Texts for typed parameters, as the restore gives them to a server.
  Command command(*db_);
  command.SetCommandText(
      "INSERT INTO [Typed] ([Int], [Money], [Exact], [When], [Flag], [Id]) VALUES (?, ?, ?, ?, ?, ?)");
  command.SetPrepared(true);
  const std::vector<std::pair<int, const char*>> texts = {
      {adInteger, "42"},   {adCurrency, "922337203685477.5807"},
      {adNumeric, "1E-5"}, {adDate, "2024-02-29"},
      {adBoolean, "-1"},   {adGUID, "6f9619ff-8b86-d011-b42d-00c04fc964ff"}};
  for (const auto& [type, text] : texts)
    command.Parameters().push_back(command.CreateParameter("", type, adParamInput, 50, Value(text)));
  command.Execute();
  command.Execute();
  // Other kinds for the fields of an updatable recordset.
  auto rs = Updatable(*db_, "Typed");
  rs->AddNew();
  const std::vector<Value> others = {Value("-2147483648"), Value(12.5), Value(3), Value(45351.5),
                                     Value("No")};
  for (std::size_t i = 0; i < others.size(); ++i) rs->SetValue(i, others[i]);
  rs->Update();
  const std::vector<Value> fromTexts = {Value(42),
                                        Value::Decimal("922337203685477.5807"),
                                        Value::Decimal("0.00001"),
                                        Value::Date("2024-02-29 00:00:00"),
                                        Value(true),
                                        Value("{6F9619FF-8B86-D011-B42D-00C04FC964FF}")};
  const std::vector<Value> fromOthers = {Value(-2147483648LL), Value::Decimal("12.5"),
                                         Value::Decimal("3"),  Value::Date("2024-02-29 12:00:00"),
                                         Value(false),         Value::Null()};
  EXPECT_EQ(Rows(*db_, "SELECT * FROM [Typed] ORDER BY [Int] DESC"),
            (RowList{fromTexts, fromTexts, fromOthers}));

  for (const auto& [field, value] :
       {std::pair{0, Value(2147483648LL)}, std::pair{3, Value("2023-02-29")}, std::pair{1, Value("12,50")}}) {
    rs->AddNew();
    rs->SetValue(field, value);
    Error refused = Failure([&] { rs->Update(); });
    EXPECT_EQ(refused.Number(), kTypeMismatch);
    EXPECT_NE(refused.Description().find(rs->Field(field).name), std::string::npos) << refused.Description();
    rs->CancelUpdate();
  }
  rs->Close();
  command.Parameters()[3].value = Value("not a date");
  EXPECT_EQ(Failure([&] { command.Execute(); }).Number(), kTypeMismatch);
  command.Parameters().pop_back();
  EXPECT_EQ(Failure([&] { command.Execute(); }).Number(), kInvalidArgument);
  EXPECT_EQ(Rows(*db_, "SELECT COUNT(*) AS Count1 FROM [Typed]")[0][0], Value(3));
}

// Disabled: the file provider stores texts, binaries and exact numbers wider than their column whole.
TEST_P(ProviderConformance, DISABLED_AValueWiderThanItsColumnIsRefused) {
  Column exact = NewColumn("Exact", adNumeric);
  exact.precision = 6;
  exact.numericScale = 2;
  MakeTable("Narrow", {NewColumn("Text", adVarWChar, 5), NewColumn("Bin", adVarBinary, 2), exact,
                       NewColumn("Money", adCurrency)});
  const std::vector<Value> tooWide = {Value("0123456789"), Value(Bytes{1, 2, 3}), Value::Decimal("123456.5"),
                                      Value::Decimal("922337203685478")};
  auto rs = Updatable(*db_, "Narrow");
  for (std::size_t i = 0; i < tooWide.size(); ++i) {
    rs->AddNew();
    rs->SetValue(i, tooWide[i]);
    EXPECT_THROW(rs->Update(), Error) << rs->Field(i).name;
    rs->CancelUpdate();
  }
  rs->Close();
  EXPECT_TRUE(Rows(*db_, "SELECT * FROM [Narrow]").empty());
}

TEST_P(ProviderConformance, RecordsetsAddRowsUntilCloseAndStreamThemBack) {
  MakeTable("Many", {NewColumn("id", adInteger), NewColumn("name", adVarWChar, 10, {{"Default", "'dflt'"}})});
  auto rs = Updatable(*db_, "Many");
  EXPECT_TRUE(rs->Eof());
  EXPECT_EQ(rs->EditMode(), adEditNone);
  rs->AddNew();
  EXPECT_FALSE(rs->Eof());
  EXPECT_EQ(rs->EditMode(), adEditAdd);
  rs->SetValue(0, Value(-1));
  EXPECT_EQ(rs->GetValue(0), Value(-1));
  rs->CancelUpdate();
  EXPECT_EQ(rs->EditMode(), adEditNone);
  constexpr long long kRows = 25000;  // more than one batch of added rows
  for (long long i = 0; i < kRows; ++i) {
    rs->AddNew();
    rs->SetValue(0, Value(i));
    rs->Update();
  }
  rs->Close();

  auto other = OpenConnection(connectionString_);
  auto stream =
      other->OpenRecordset("SELECT [id], [name] FROM [Many]", adOpenForwardOnly, adLockReadOnly, adUseServer);
  EXPECT_EQ(stream->RecordCount(), -1);
  long long count = 0, sum = 0, defaulted = 0;
  for (; !stream->Eof(); stream->MoveNext()) {
    ++count;
    sum += stream->GetValue(0).AsInt();
    defaulted += stream->GetValue(1) == Value("dflt");
  }
  EXPECT_EQ(count, kRows);
  EXPECT_EQ(sum, kRows * (kRows - 1) / 2);
  EXPECT_EQ(defaulted, kRows);
  EXPECT_THROW(stream->GetValue(0), Error);
  EXPECT_EQ(Failure([&] { stream->AddNew(); }).Number(), kNotSupported);
  EXPECT_EQ(Failure([&] { stream->Sort("id"); }).Number(), kNotSupported);

  auto client = other->OpenRecordset("SELECT [id] FROM [Many] WHERE [id] < 5 ORDER BY [id] DESC",
                                     adOpenStatic, adLockReadOnly, adUseClient);
  EXPECT_EQ(client->RecordCount(), 5);
  client->Sort("id");
  for (int i = 0; i < 5; ++i, client->MoveNext()) EXPECT_EQ(client->GetValue("ID"), Value(i));
  EXPECT_EQ(Failure([&] { client->GetValue("nope"); }).Number(), kItemNotFound);
  EXPECT_EQ(Failure([&] { client->AddNew(); }).Number(), kNotSupported);
  EXPECT_EQ(Failure([&] {
              auto total = other->OpenRecordset("SELECT COUNT(*) AS Count1 FROM [Many]", adOpenDynamic,
                                                adLockOptimistic, adUseServer);
              total->AddNew();
              total->Update();
            }).Number(),
            kNotSupported);
}

TEST_P(ProviderConformance, ASnapshotOpensWithTheRowsOfItsMoment) {
  MakeTable("Snap", {NewColumn("v", adInteger), NewColumn("s", adVarWChar, 10)});
  auto rs = Updatable(*db_, "Snap");
  for (int i = 0; i < 10; ++i) {
    rs->AddNew();
    rs->SetValue(0, Value(i));
    rs->SetValue(1, Value("row " + std::to_string(i)));
    rs->Update();
  }
  const std::filesystem::path file = scratch_.path() / "snapshot";
  if (GetParam().openSnapshot == nullptr) {
    EXPECT_EQ(Failure([&] { db_->SnapshotTo(file); }).Number(), kNotSupported);
    return;
  }
  db_->SnapshotTo(file);  // with the added rows not yet closed
  rs->Close();
  const RowList rows = Rows(*db_, "SELECT [v], [s] FROM [Snap] ORDER BY [v]");
  db_->Execute("INSERT INTO [Snap] ([v]) VALUES (99)");
  auto copy = OpenConnection(GetParam().openSnapshot(file));
  EXPECT_EQ(Rows(*copy, "SELECT [v], [s] FROM [Snap] ORDER BY [v]"), rows);
  EXPECT_EQ(rows.size(), 10u);
  EXPECT_EQ(copy->OpenCatalog()->GetTable("Snap").columns.at(1).definedSize, 10);
  EXPECT_EQ(Failure([&] { db_->SnapshotTo(scratch_.path() / "no-such-folder" / "snapshot"); }).Number(),
            kPathAccess);
}

TEST_P(ProviderConformance, FailuresCarryTheirNumberAndNameTheProvider) {
  MakeTable("t", {NewColumn("id", adInteger, 0, {{"Nullable", false}}),
                  NewColumn("name", adVarWChar, 10, {{"Nullable", false}})});
  db_->Execute("ALTER TABLE [t] ADD CONSTRAINT [PK_t] PRIMARY KEY ([id])");
  db_->Execute("INSERT INTO [t] ([id], [name]) VALUES (1, 'a')");
  Error duplicate = Failure([&] { db_->Execute("INSERT INTO [t] ([id], [name]) VALUES (1, 'b')"); });
  EXPECT_EQ(duplicate.Number(), kIntegrityViolation);
  EXPECT_NE(duplicate.Source().find(GetParam().provider), std::string::npos) << duplicate.Source();
  // The engine's own code and the statement it refused travel with the error.
  EXPECT_FALSE(duplicate.EngineCode().empty());
  EXPECT_NE(duplicate.Statement().find("INSERT INTO"), std::string::npos) << duplicate.Statement();
  EXPECT_EQ(Failure([&] { db_->Execute("INSERT INTO [t] ([id]) VALUES (2)"); }).Number(),
            kIntegrityViolation);
  Error noTable = Failure([&] { db_->Execute("SELECT * FROM [missing]"); });
  EXPECT_EQ(noTable.Number(), kNoSuchTable);
  EXPECT_NE(noTable.Description().find("missing"), std::string::npos) << noTable.Description();
  EXPECT_EQ(Failure([&] { Rows(*db_, "SELECT * FROM [missing]"); }).Number(), kNoSuchTable);
  Error syntax = Failure([&] { db_->Execute("SELEKT 1"); });
  EXPECT_EQ(syntax.Number(), kCommandError);
  EXPECT_FALSE(syntax.EngineCode().empty());
  EXPECT_NE(syntax.EngineCode(), duplicate.EngineCode());
  // A message that merely mentions a missing table is no missing table.
  EXPECT_EQ(Failure([&] { db_->Execute("SELECT 'no such table' FROM [t] WHERE"); }).Number(), kCommandError);
  EXPECT_EQ(Failure([&] { db_->Execute("SELECT [unterminated FROM t"); }).Number(), kCommandError);
  EXPECT_EQ(Rows(*db_, "SELECT [id], [name] FROM [t]"), (RowList{{Value(1), Value("a")}}));

  std::string unknown = connectionString_;
  unknown.replace(unknown.find(GetParam().provider), GetParam().provider.size(), "No.Such.Provider");
  EXPECT_EQ(Failure([&] { OpenConnection(unknown); }).Number(), kComponentError);
  EXPECT_EQ(Failure([&] { CreateDatabase(unknown); }).Number(), kComponentError);
}

TEST_P(ProviderConformance, ADroppedDatabaseIsGoneAndCanBeMadeAgain) {
  MakeTable("t", {NewColumn("id", adInteger)});
  db_->Execute("INSERT INTO [t] ([id]) VALUES (1)");
  catalog_.reset();
  db_->Close();
  db_.reset();
  DropDatabase(connectionString_);
  EXPECT_ANY_THROW(OpenConnection(connectionString_));
  DropDatabase(connectionString_);  // nothing left to remove is no error
  CreateDatabase(connectionString_);
  std::unique_ptr<Connection> again = OpenConnection(connectionString_);
  EXPECT_TRUE(again->OpenCatalog()->ListTables().empty());
}

TEST_P(ProviderConformance, ANameNoColumnHasIsAnError) {
  MakeTable("t", {NewColumn("id", adInteger)});
  db_->Execute("INSERT INTO [t] ([id]) VALUES (1)");
  EXPECT_EQ(Failure([&] { Rows(*db_, "SELECT [nope] FROM [t]"); }).Number(), kCommandError);
  EXPECT_EQ(Failure([&] { db_->Execute("DELETE FROM [t] WHERE [nope] = 'nope'"); }).Number(), kCommandError);
  EXPECT_EQ(Rows(*db_, "SELECT [id] FROM [t]"), (RowList{{Value(1)}}));
}

}  // namespace
}  // namespace vela::data::testing
