// The server provider's catalog, COLUMNS rowset and updatable recordset on the PostgreSQL test cluster,
// for what the conformance suite does not reach: databases other tools made with plain SQL, names
// PostgreSQL keeps in one namespace per schema, seeds, and reading in batches.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/data/SqlText.h"
#include "platform/data/postgres/ServerConnection.h"
#include "platform/data/postgres/ServerSession.h"
#include "support/DataChecks.h"
#include "support/ServerDatabases.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::postgres {
namespace {

using testing::KeyColumn;
using testing::RowList;
using testing::Rows;
using vela::testing::Failure;

class ServerCatalogTest : public vela::testing::ServerDatabaseTest {
 protected:
  ServerCatalogTest() : ServerDatabaseTest("cat") {}

  void SetUp() override {
    ServerDatabaseTest::SetUp();
    if (NotSetUp()) return;
    catalog_ = db_->OpenCatalog();
  }

  void TearDown() override {
    catalog_.reset();
    ServerDatabaseTest::TearDown();
  }

  static std::string Cs(const std::string& database) {
    return "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=" + database;
  }
  static ServerSession& Server(Connection& connection) { return dynamic_cast<ServerSession&>(connection); }

  // PostgreSQL's own SQL on the test database, as another tool would send it.
  void Sql(const std::string& sql) { Server(*db_).RunServerSql(sql); }

  Column NewColumn(std::string name, int type, std::int64_t size = 0, std::vector<Property> set = {}) {
    Column c = testing::Col(std::move(name), type, size);
    c.properties = catalog_->NewColumnProperties();
    for (Property& p : set) c.properties.Set(p.name, std::move(p.value));
    return c;
  }

  std::unique_ptr<Catalog> catalog_;
};

const Column& Named(const Table& table, std::string_view name) {
  const Column* column = FindByName(table.columns, name);
  if (column == nullptr) throw Error(kItemNotFound, "test", "no column " + std::string(name));
  return *column;
}

std::string Columns(const std::vector<Column>& columns) {
  std::string out;
  for (const Column& c : columns)
    out += (out.empty() ? "" : ",") + c.name + (c.relatedColumn.empty() ? "" : ">" + c.relatedColumn);
  return out;
}

// Indexes and keys of a table, one line each.
std::set<std::string> Describe(const Table& table) {
  std::set<std::string> out;
  for (const Index& ix : table.indexes)
    out.insert("index " + ix.name + "(" + Columns(ix.columns) + ")" + (ix.unique ? " unique" : "") +
               (ix.primaryKey ? " primary" : "") + (ix.clustered ? " clustered" : ""));
  for (const Key& k : table.keys)
    out.insert("key " + k.name + "(" + Columns(k.columns) + ") type " + std::to_string(k.type) +
               (k.relatedTable.empty() ? ""
                                       : " to " + k.relatedTable + " rules " + std::to_string(k.deleteRule) +
                                             std::to_string(k.updateRule)));
  return out;
}

TEST_F(ServerCatalogTest, ADatabaseOtherToolsMadeReadsThroughTheCatalogAndTheSchemaRowset) {
  Sql(R"(
    CREATE DOMAIN postal_code AS varchar(10) NOT NULL;
    CREATE TABLE customers (
      id serial PRIMARY KEY, name text NOT NULL, joined timestamptz, profile jsonb, scores int[],
      zip postal_code, balance numeric, rate numeric(7,2), price numeric(19,4), code char(3),
      flag boolean, uid uuid, born date, wake time, small int2, big int8, f4 real, f8 float8,
      raw bytea, mood interval);
    COMMENT ON COLUMN customers.name IS 'Full name';
    CREATE TABLE "Order Details" (
      "Order" int, "Line" int, "Select" int, customer int REFERENCES customers (id) ON DELETE CASCADE,
      region text, PRIMARY KEY ("Order", "Line"));
    CREATE TABLE parts (a int, b int, c int, UNIQUE (a, b, c));
    CREATE TABLE shipments (
      id int GENERATED ALWAYS AS IDENTITY, o int, l int, x int, y int, z int,
      CONSTRAINT to_line FOREIGN KEY (l, o) REFERENCES "Order Details" ("Line", "Order") ON UPDATE CASCADE,
      CONSTRAINT to_part FOREIGN KEY (x, y, z) REFERENCES parts (a, b, c) ON DELETE SET NULL);
    CREATE INDEX "Shipments" ON shipments (o, l);
    CREATE UNIQUE INDEX parts_c ON parts (c);
    CREATE INDEX by_lower_region ON "Order Details" (lower(region));
    CREATE INDEX some_regions ON "Order Details" (region) WHERE region <> '';
    ALTER TABLE parts CLUSTER ON parts_c;
    CREATE VIEW "Big Customers" AS SELECT * FROM customers WHERE balance > 1000;
    CREATE TABLE "Mixed" (v int);
    CREATE TABLE mixed (w int);
    CREATE TEMP TABLE scratch (t int);
  )");

  std::vector<std::pair<std::string, std::string>> listed;
  for (const Catalog::Entry& e : catalog_->ListTables()) listed.emplace_back(e.name, e.type);
  EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{{"Big Customers", "VIEW"},
                                                                      {"Mixed", "TABLE"},
                                                                      {"Order Details", "TABLE"},
                                                                      {"customers", "TABLE"},
                                                                      {"mixed", "TABLE"},
                                                                      {"parts", "TABLE"},
                                                                      {"shipments", "TABLE"}}));
  // The spelling given first, else the name without regard to case; brackets are the component's.
  EXPECT_EQ(catalog_->GetTable("mixed").columns.at(0).name, "w");
  EXPECT_EQ(catalog_->GetTable("[Mixed]").columns.at(0).name, "v");
  EXPECT_EQ(catalog_->GetTable("[order details]").name, "Order Details");
  EXPECT_EQ(catalog_->GetTable("SHIPMENTS").name, "shipments");
  EXPECT_EQ(Failure([&] { catalog_->GetTable("scratch"); }).Number(), kItemNotFound);
  EXPECT_EQ(Failure([&] { catalog_->GetTable("pg_class"); }).Number(), kItemNotFound);

  const Table customers = catalog_->GetTable("Customers");
  struct Expected {
    const char* name;
    int type;
    std::int64_t size;
    int precision, scale;
  };
  const std::vector<Expected> expected = {{"id", adInteger, 0, 10, 0},
                                          {"name", adLongVarWChar, 0, 0, 0},
                                          {"joined", adDBTimeStamp, 0, 0, 0},
                                          {"profile", adLongVarWChar, 0, 0, 0},
                                          {"scores", adLongVarWChar, 0, 0, 0},
                                          {"zip", adVarWChar, 10, 0, 0},
                                          {"balance", adLongVarWChar, 0, 0, 0},
                                          {"rate", adNumeric, 0, 7, 2},
                                          {"price", adCurrency, 0, 19, 4},
                                          {"code", adWChar, 3, 0, 0},
                                          {"flag", adBoolean, 0, 0, 0},
                                          {"uid", adGUID, 16, 0, 0},
                                          {"born", adDBDate, 0, 0, 0},
                                          {"wake", adDBTime, 0, 0, 0},
                                          {"small", adSmallInt, 0, 5, 0},
                                          {"big", adBigInt, 0, 19, 0},
                                          {"f4", adSingle, 0, 7, 0},
                                          {"f8", adDouble, 0, 15, 0},
                                          {"raw", adLongVarBinary, 0, 0, 0},
                                          {"mood", adLongVarWChar, 0, 0, 0}};
  ASSERT_EQ(customers.columns.size(), expected.size());
  auto fields =
      db_->OpenRecordset("SELECT * FROM [customers]", adOpenForwardOnly, adLockReadOnly, adUseServer);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Column& c = customers.columns[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(c.name, expected[i].name);
    EXPECT_EQ(c.type, expected[i].type);
    EXPECT_EQ(c.definedSize, expected[i].size);
    EXPECT_EQ(c.precision, expected[i].precision);
    EXPECT_EQ(c.numericScale, expected[i].scale);
    // The rows' fields read as the catalog's columns (a domain as its base type).
    EXPECT_EQ(fields->Field(i).type, c.type);
    EXPECT_EQ(fields->Field(i).definedSize, c.definedSize);
    std::vector<std::string> names;
    for (const Property& p : c.properties) names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Autoincrement", "Default", "Description", "Fixed Length",
                                               "Increment", "Nullable", "Seed"}));
  }
  fields->Close();
  const Column& id = Named(customers, "id");
  EXPECT_EQ(id.properties["Autoincrement"], Value(true));
  EXPECT_TRUE(id.properties["Default"].IsEmpty());  // nextval(...) is the autoincrement, no default
  EXPECT_EQ(id.properties["Nullable"], Value(false));
  EXPECT_EQ(id.properties["Seed"], Value(1));
  EXPECT_EQ(Named(customers, "name").properties["Description"], Value("Full name"));
  EXPECT_EQ(Named(customers, "zip").properties["Nullable"], Value(false));  // the domain's NOT NULL
  EXPECT_EQ(Named(customers, "code").properties["Fixed Length"], Value(true));
  EXPECT_EQ(Named(customers, "flag").properties["Autoincrement"], Value(false));
  EXPECT_EQ(Describe(customers), (std::set<std::string>{"index customers_pkey(id) unique primary",
                                                        "key customers_pkey(id) type 1"}));
  const Table shipments = catalog_->GetTable("shipments");
  EXPECT_EQ(Named(shipments, "id").properties["Autoincrement"], Value(true));
  EXPECT_EQ(Describe(shipments),
            (std::set<std::string>{"index Shipments(o,l)",
                                   "key to_line(l>Line,o>Order) type 2 to Order Details rules 01",
                                   "key to_part(x>a,y>b,z>c) type 2 to parts rules 20"}));
  EXPECT_EQ(
      Describe(catalog_->GetTable("Order Details")),
      (std::set<std::string>{"index Order Details_pkey(Order,Line) unique primary",
                             "key Order Details_pkey(Order,Line) type 1",
                             "key Order Details_customer_fkey(customer>id) type 2 to customers rules 10"}));
  EXPECT_EQ(Describe(catalog_->GetTable("parts")),
            (std::set<std::string>{"index parts_a_b_c_key(a,b,c) unique", "index parts_c(c) unique clustered",
                                   "key parts_a_b_c_key(a,b,c) type 3"}));
  const Table view = catalog_->GetTable("big customers");
  EXPECT_EQ(view.type, "VIEW");
  EXPECT_EQ(view.columns.size(), expected.size());

  // The COLUMNS rowset of the same table.
  auto schema = db_->OpenSchemaColumns("[customers]");
  ASSERT_EQ(schema->RecordCount(), static_cast<std::int64_t>(expected.size()));
  std::map<std::string, std::vector<Value>> rows;
  const std::vector<std::string> wanted = {"ORDINAL_POSITION",         "DATA_TYPE",         "IS_NULLABLE",
                                           "CHARACTER_MAXIMUM_LENGTH", "NUMERIC_PRECISION", "NUMERIC_SCALE",
                                           "DATETIME_PRECISION",       "COLUMN_FLAGS",      "DESCRIPTION",
                                           "COLUMN_HASDEFAULT",        "TABLE_NAME"};
  for (; !schema->Eof(); schema->MoveNext())
    for (const std::string& field : wanted)
      rows[schema->GetValue("COLUMN_NAME").AsText()].push_back(schema->GetValue(field));
  const Value null = Value::Null();
  const int writeNullable = DBCOLUMNFLAGS_WRITEUNKNOWN | DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL;
  EXPECT_EQ(rows["id"],
            (std::vector<Value>{Value(1), Value(adInteger), Value(false), null, Value(10), null, null,
                                Value(DBCOLUMNFLAGS_WRITEUNKNOWN | DBCOLUMNFLAGS_ISFIXEDLENGTH), null,
                                Value(false), Value("customers")}));
  EXPECT_EQ(rows["name"],
            (std::vector<Value>{Value(2), Value(adLongVarWChar), Value(false), Value(536870910), null, null,
                                null, Value(DBCOLUMNFLAGS_WRITEUNKNOWN | DBCOLUMNFLAGS_ISLONG),
                                Value("Full name"), Value(false), Value("customers")}));
  EXPECT_EQ(rows["joined"][6], Value(6));
  EXPECT_EQ(rows["zip"],
            (std::vector<Value>{Value(6), Value(adVarWChar), Value(false), Value(10), null, null, null,
                                Value(DBCOLUMNFLAGS_WRITEUNKNOWN), null, Value(false), Value("customers")}));
  EXPECT_EQ(rows["rate"],
            (std::vector<Value>{Value(8), Value(adNumeric), Value(true), null, Value(7), Value(2), null,
                                Value(writeNullable | DBCOLUMNFLAGS_ISFIXEDLENGTH), null, Value(false),
                                Value("customers")}));
  EXPECT_EQ(rows["profile"][7], Value(writeNullable | DBCOLUMNFLAGS_ISLONG));
  EXPECT_EQ(rows["raw"][3], Value(1073741823));
  auto generated = db_->OpenSchemaColumns("shipments");
  EXPECT_EQ(generated->GetValue("COLUMN_FLAGS"), Value(DBCOLUMNFLAGS_ISFIXEDLENGTH));  // GENERATED ALWAYS
  EXPECT_EQ(db_->OpenSchemaColumns("scratch")->RecordCount(), 0);
}

TEST_F(ServerCatalogTest, IndexNamesTheServerKeepsOncePerSchemaComeBackAsGiven) {
  const std::string longName(70, 'k');
  catalog_->AppendTable(
      Table{"Things",
            "TABLE",
            {NewColumn("ID", adInteger, 0, {{"Nullable", false}}), NewColumn("Name", adVarWChar, 20)},
            {Index{.name = "Things", .clustered = true, .columns = {KeyColumn("Name")}},
             Index{.name = "Later", .columns = {KeyColumn("ID")}}},
            {}});
  catalog_->AppendTable(
      Table{"Others", "TABLE", {NewColumn("ID", adInteger, 0, {{"Nullable", false}})}, {}, {}});
  // A table made after an index of its name takes the name; the index is still read back by its own.
  catalog_->AppendTable(Table{"Later", "TABLE", {NewColumn("ID", adInteger)}, {}, {}});
  for (const char* table : {"Things", "[Others]"}) {
    Key key;
    key.name = "PrimaryKey";
    key.type = adKeyPrimary;
    key.columns = {KeyColumn("ID")};
    catalog_->AppendKey(table, key);
  }
  Key unique;
  unique.name = longName;
  unique.type = adKeyUnique;
  unique.columns = {KeyColumn("Name")};
  catalog_->AppendKey("Things", unique);
  Key foreign;
  foreign.name = "PrimaryKey";  // a foreign key's name is per table; taken there by the primary key
  foreign.type = adKeyForeign;
  foreign.relatedTable = "[Others]";
  foreign.columns = {KeyColumn("ID", "ID")};
  catalog_->AppendKey("Things", foreign);

  EXPECT_EQ(Describe(catalog_->GetTable("Things")),
            (std::set<std::string>{"index PrimaryKey(ID) unique primary", "index Things(Name) clustered",
                                   "index Later(ID)", "index " + longName + "(Name) unique",
                                   "key PrimaryKey(ID) type 1", "key " + longName + "(Name) type 3",
                                   "key PrimaryKey(ID>ID) type 2 to Others rules 00"}));
  EXPECT_EQ(Describe(catalog_->GetTable("Others")),
            (std::set<std::string>{"index PrimaryKey(ID) unique primary", "key PrimaryKey(ID) type 1"}));
  // The keys hold.
  db_->Execute("INSERT INTO [Others] ([ID]) VALUES (1)");
  db_->Execute("INSERT INTO [Things] ([ID], [Name]) VALUES (1, 'a')");
  EXPECT_EQ(Failure([&] { db_->Execute("INSERT INTO [Things] ([ID], [Name]) VALUES (2, 'b')"); }).Number(),
            kIntegrityViolation);
  EXPECT_EQ(Failure([&] { db_->Execute("INSERT INTO [Others] ([ID]) VALUES (1)"); }).Number(),
            kIntegrityViolation);

  // Names the server would cut short are refused, not changed; so are types no column can have.
  Error tooLong = Failure([&] {
    catalog_->AppendTable(Table{longName, "TABLE", {NewColumn("x", adInteger)}, {}, {}});
  });
  EXPECT_EQ(tooLong.Number(), kInvalidArgument);
  Error badType = Failure([&] {
    catalog_->AppendTable(Table{"Odd", "TABLE", {NewColumn("Strange", 9999)}, {}, {}});
  });
  EXPECT_NE(badType.Description().find("Strange"), std::string::npos) << badType.Description();
  EXPECT_NE(badType.Description().find("Odd"), std::string::npos) << badType.Description();
  EXPECT_EQ(Failure([&] { catalog_->GetTable("Odd"); }).Number(), kItemNotFound);
}

// Two sessions making an index of one name in one schema at once: the later waits for the earlier, and is
// refused as a duplicate in the server's list of relations once the earlier commits. The later takes another
// name; a unique index the rows do not fit is still refused.
TEST_F(ServerCatalogTest, AnIndexNameAnotherSessionTakesMeanwhileGivesAnotherName) {
  Sql("CREATE TABLE a (x int); CREATE TABLE b (x int); INSERT INTO b VALUES (1), (1)");
  auto other = OpenServerConnection(Cs(database_));
  Server(*other).RunServerSql("BEGIN; CREATE INDEX \"Shared\" ON a (x)");
  std::optional<Error> failed;
  std::thread later([&] {
    try {
      db_->Execute("CREATE INDEX [Shared] ON [b] ([x])");
    } catch (const Error& error) {
      failed = error;
    }
  });
  // The earlier commits only once the later waits for it.
  bool waits = false;
  for (int i = 0; i < 1000 && !waits; ++i) {
    ResultHandle r = Server(*maintenance_)
                         .QueryServerSql(
                             "SELECT count(*) FROM pg_catalog.pg_stat_activity WHERE datname = $1 AND "
                             "wait_event_type = 'Lock'",
                             std::array<std::string, 1>{database_});
    waits = std::string_view(PQgetvalue(r.get(), 0, 0)) != "0";
    if (!waits) usleep(10000);
  }
  Server(*other).RunServerSql("COMMIT");
  later.join();
  ASSERT_TRUE(waits);
  ASSERT_FALSE(failed) << failed->Description();
  EXPECT_EQ(Describe(catalog_->GetTable("b")), (std::set<std::string>{"index Shared(x)"}));
  EXPECT_EQ(Describe(catalog_->GetTable("a")), (std::set<std::string>{"index Shared(x)"}));

  EXPECT_EQ(Failure([&] { db_->Execute("CREATE UNIQUE INDEX [Once] ON [b] ([x])"); }).Number(),
            kIntegrityViolation);
  EXPECT_EQ(Describe(catalog_->GetTable("b")), (std::set<std::string>{"index Shared(x)"}));
}

TEST_F(ServerCatalogTest, TheSeedIsTheNextAutomaticValueAndCanBeMoved) {
  catalog_->AppendTable(
      Table{"Counted",
            "TABLE",
            {NewColumn("ID", adInteger, 0, {{"Autoincrement", true}, {"Seed", 100}, {"Increment", 5}}),
             NewColumn("Plain", adInteger)},
            {},
            {}});
  Sql("CREATE TABLE serials (id bigserial, v int)");
  const Column made = catalog_->GetTable("counted").columns.at(0);
  EXPECT_EQ(made.properties["Autoincrement"], Value(true));
  EXPECT_EQ(made.properties["Seed"], Value(100));
  EXPECT_EQ(made.properties["Increment"], Value(5));
  db_->Execute("INSERT INTO [Counted] ([Plain]) VALUES (1), (2)");
  EXPECT_EQ(catalog_->GetTable("Counted").columns.at(0).properties["Seed"], Value(110));

  catalog_->SetColumnProperty("Counted", "id", "Seed", Value(1000));
  catalog_->SetColumnProperty("[serials]", "ID", "Seed", Value(7));
  EXPECT_EQ(catalog_->GetTable("serials").columns.at(0).properties["Seed"], Value(7));
  db_->Execute("INSERT INTO [Counted] ([Plain]) VALUES (3)");
  db_->Execute("INSERT INTO [serials] ([v]) VALUES (3)");
  EXPECT_EQ(Rows(*db_, "SELECT MAX([ID]) FROM [Counted]"), (RowList{{Value(1000)}}));
  EXPECT_EQ(Rows(*db_, "SELECT [id] FROM [serials]"), (RowList{{Value(7)}}));

  catalog_->SetColumnProperty("Counted", "Plain", "Description", Value("plain"));
  catalog_->SetColumnProperty("Counted", "Plain", "Nullable", Value(false));
  const Column plain = catalog_->GetTable("Counted").columns.at(1);
  EXPECT_EQ(plain.properties["Description"], Value("plain"));
  EXPECT_EQ(plain.properties["Nullable"], Value(false));
}

TEST_F(ServerCatalogTest, TheUpdatableRecordsetReadsInBatchesAndAddsRowsInTheCallersTransaction) {
  Sql("CREATE TABLE many (id int NOT NULL, payload text); "
      "INSERT INTO many SELECT i, repeat('x', i % 100) FROM generate_series(1, 20000) AS i");
  auto rs = db_->OpenRecordset("SELECT * FROM [many]", adOpenKeyset, adLockOptimistic, adUseServer);
  EXPECT_TRUE(Server(*db_).InTransaction());  // the cursor's, while rows remain
  long long count = 0, sum = 0;
  for (; !rs->Eof(); rs->MoveNext()) {
    ++count;
    sum += rs->GetValue(std::size_t{0}).AsInt();
  }
  EXPECT_EQ(count, 20000);
  EXPECT_EQ(sum, 20000LL * 20001 / 2);
  EXPECT_FALSE(Server(*db_).InTransaction());  // ended with the rows
  rs->AddNew();
  rs->SetValue(1, Value("no id"));
  Error refused = Failure([&] { rs->Update(); });
  EXPECT_EQ(refused.Number(), kIntegrityViolation);
  EXPECT_NE(refused.Description().find("many"), std::string::npos) << refused.Description();
  rs->CancelUpdate();
  rs->Close();

  // In the caller's transaction a refused row leaves the transaction usable, and the rows wait for its end.
  Sql("BEGIN");
  rs = db_->OpenRecordset("SELECT [id] FROM [many] WHERE [id] > 19990", adOpenDynamic, adLockOptimistic,
                          adUseServer);
  rs->AddNew();
  rs->SetValue(0, Value("not a number"));
  Error mismatch = Failure([&] { rs->Update(); });
  EXPECT_EQ(mismatch.Number(), kTypeMismatch);
  EXPECT_NE(mismatch.Description().find("\"id\""), std::string::npos) << mismatch.Description();
  rs->CancelUpdate();
  rs->AddNew();
  rs->SetValue(0, Value(-1));
  rs->Update();
  EXPECT_EQ(rs->GetValue(std::size_t{0}), Value(-1));
  rs->Close();
  EXPECT_TRUE(Server(*db_).InTransaction());
  auto other = OpenServerConnection(Cs(database_));
  EXPECT_EQ(Rows(*other, "SELECT COUNT(*) FROM [many] WHERE [id] < 0"), (RowList{{Value(0LL)}}));
  Sql("COMMIT");
  EXPECT_EQ(Rows(*other, "SELECT COUNT(*) FROM [many] WHERE [id] < 0"), (RowList{{Value(1LL)}}));
}

}  // namespace
}  // namespace vela::data::postgres
