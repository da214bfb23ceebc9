#include "Sample.h"

#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::cli {

using namespace data;

namespace {

struct ColumnSpec {
  const char* name;
  int type;
  std::int64_t size = 0;
  bool nullable = true;
  const char* defaultExpression = nullptr;
  bool autoincrement = false;
  int precision = 0;
  int scale = 0;
};

void CreateTable(Catalog& catalog, const char* name, std::initializer_list<ColumnSpec> specs) {
  Table table;
  table.name = name;
  for (const ColumnSpec& spec : specs) {
    Column column;
    column.name = spec.name;
    column.type = spec.type;
    column.definedSize = spec.size;
    column.precision = spec.precision;
    column.numericScale = spec.scale;
    column.properties = catalog.NewColumnProperties();
    column.properties.Set("Autoincrement", spec.autoincrement);
    column.properties.Set("Nullable", spec.nullable);
    if (spec.defaultExpression != nullptr)
      column.properties.Set("Default", std::string(spec.defaultExpression));
    table.columns.push_back(std::move(column));
  }
  catalog.AppendTable(table);
}

// Adds rows through the updatable cursor; each row lists (column index, value) pairs.
class RowWriter {
 public:
  RowWriter(Connection& connection, const std::string& table)
      : rows_(connection.OpenRecordset("SELECT * FROM [" + table + "]", adOpenDynamic, adLockOptimistic,
                                       adUseServer)) {}
  void Add(std::initializer_list<std::pair<std::size_t, Value>> values) {
    rows_->AddNew();
    for (const auto& [index, value] : values) rows_->SetValue(index, value);
    rows_->Update();
  }
  Recordset& rows() { return *rows_; }
  void Close() { rows_->Close(); }

 private:
  std::unique_ptr<Recordset> rows_;
};

Bytes AllByteValues() {
  Bytes bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

std::string TwoDigits(std::int64_t n) {
  return (n < 10 ? "0" : "") + std::to_string(n);
}

}  // namespace

void MakeSampleDatabase(const std::string& connectionString, std::int64_t rows) {
  // A file database goes with its journal and write-ahead log, a server database with all it holds.
  data::DropDatabase(connectionString);
  data::CreateDatabase(connectionString);
  std::unique_ptr<Connection> connection = OpenConnection(connectionString);
  std::unique_ptr<Catalog> catalog = connection->OpenCatalog();

  CreateTable(*catalog, "Customers",
              {{"CustomerID", adInteger, 0, false, nullptr, true},
               {"Name", adVarWChar, 50, false},
               {"Email", adVarWChar, 100},
               {"Country", adVarWChar, 2, true, "\"DE\""},
               {"Created", adDate, 0, true, "Now()"},
               {"Active", adBoolean, 0, false, "Yes"},
               {"Notes", adLongVarWChar}});
  connection->Execute("ALTER TABLE [Customers] ADD CONSTRAINT [PK_Customers] PRIMARY KEY ([CustomerID])");
  connection->Execute("CREATE UNIQUE INDEX [Email] ON [Customers] ([Email])");

  CreateTable(*catalog, "Products",
              {{"ProductID", adInteger, 0, false, nullptr, true},
               {"Code", adWChar, 8, false},
               {"Price", adCurrency, 0, true, "0"},
               {"Weight", adSingle},
               {"Ratio", adDouble},
               {"Qty", adSmallInt, 0, true, "1"},
               {"Stock", adUnsignedTinyInt},
               {"BigCount", adBigInt},
               {"Exact", adNumeric, 0, true, nullptr, false, 18, 4},
               {"Guid", adGUID},
               {"Photo", adLongVarBinary},
               {"Thumb", adVarBinary, 255},
               {"Hash", adBinary, 16},
               {"Discontinued", adBoolean, 0, false, "No"}});
  connection->Execute("ALTER TABLE [Products] ADD CONSTRAINT [PK_Products] PRIMARY KEY ([ProductID])");
  connection->Execute("CREATE INDEX [CodeQty] ON [Products] ([Code], [Qty])");

  CreateTable(*catalog, "Orders",
              {{"OrderID", adInteger, 0, false, nullptr, true},
               {"CustomerID", adInteger},
               {"Date", adDate, 0, true, "Date()"},
               {"Order Note", adVarWChar, 255},
               {"Total", adCurrency, 0, true, "=0"}});
  connection->Execute("ALTER TABLE [Orders] ADD CONSTRAINT [PK_Orders] PRIMARY KEY ([OrderID])");

  CreateTable(*catalog, "Order Details",
              {{"OrderID", adInteger, 0, false},
               {"ProductID", adInteger, 0, false},
               {"Quantity", adSmallInt, 0, false, "1"}});
  connection->Execute(
      "ALTER TABLE [Order Details] ADD CONSTRAINT [PK_Order Details] PRIMARY KEY ([OrderID], [ProductID])");

  CreateTable(*catalog, "VelaParams",
              {{"ParamName", adVarWChar, 50, false}, {"ParamValue", adVarWChar, 255}});
  CreateTable(*catalog, "Empty", {{"ID", adInteger, 0, false, nullptr, true}, {"Label", adVarWChar, 20}});
  CreateTable(*catalog, "Measurements",
              {{"ID", adInteger, 0, false, nullptr, true},
               {"Label", adVarWChar, 50},
               {"Reading", adDouble},
               {"Amount", adCurrency},
               {"Taken", adDate},
               {"Valid", adBoolean, 0, false, "No"},
               {"Blob", adVarBinary, 64},
               {"Comment", adLongVarWChar}});

  {
    RowWriter customers(*connection, "Customers");
    customers.Add({{0, 1},
                   {1, "Ann Müller"},
                   {2, "ann@example.org"},
                   {3, "DE"},
                   {4, Value::Date("2024-02-29 13:45:10")},
                   {5, true},
                   {6, "Grüße 😀 𝄞 — «quotes» 'single' \"double\" [brackets] ]]"}});
    customers.Add({{0, 2},
                   {1, "Bob"},
                   {2, Value::Null()},
                   {3, Value::Null()},
                   {4, Value::Null()},
                   {5, false},
                   {6, Value::Null()}});
    customers.Add({{0, 5},
                   {1, "Chloé"},
                   {2, Value::Null()},
                   {3, "FR"},
                   {4, Value::Date("1899-12-30 00:00:00")},
                   {5, true},
                   {6, ""}});
    customers.Add({{0, 8},
                   {1, "#"},
                   {2, "d@example.org"},
                   {3, "US"},
                   {4, Value::Date("9999-12-31 23:59:59")},
                   {5, false},
                   {6, "line one\r\nline two\ttab"}});
    customers.Close();
  }
  catalog->SetColumnProperty("Customers", "CustomerID", "Seed", Value(20));

  {
    RowWriter products(*connection, "Products");
    Bytes all = AllByteValues();
    products.Add({{0, 1},
                  {1, "AB-00001"},
                  {2, Value::Decimal("1234.5678")},
                  {3, 1.5},
                  {4, 3.141592653589793},
                  {5, -32768},
                  {6, 255},
                  {7, 9007199254740993LL},
                  {8, Value::Decimal("-12345678901234.5678")},
                  {9, "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
                  {10, all},
                  {11, Bytes{0, 1, 2, 0x81, 0x8D, 0xFF}},
                  {12, Bytes(all.begin(), all.begin() + 16)},
                  {13, false}});
    products.Add({{0, 2},
                  {1, "CD-2"},
                  {2, Value::Null()},
                  {3, Value::Null()},
                  {4, Value::Null()},
                  {5, Value::Null()},
                  {6, Value::Null()},
                  {7, Value::Null()},
                  {8, Value::Null()},
                  {9, Value::Null()},
                  {10, Value::Null()},
                  {11, Value::Null()},
                  {12, Value::Null()},
                  {13, true}});
    products.Add({{0, 3},
                  {1, "EF-3"},
                  {2, Value::Decimal("-0.0001")},
                  {3, -2.5e-8},
                  {4, 1e300},
                  {5, 32767},
                  {6, 0},
                  {7, -9223372036854775807LL},
                  {8, Value::Decimal("0.0000")},
                  {10, Bytes{}},
                  {13, false}});
    products.Close();
  }

  {
    RowWriter orders(*connection, "Orders");
    orders.Add(
        {{0, 1}, {1, 1}, {2, Value::Date("2024-03-01 00:00:00")}, {3, "first"}, {4, Value::Decimal("10.5")}});
    orders.Add({{0, 2},
                {1, 1},
                {2, Value::Date("2024-03-02 08:00:00")},
                {3, Value::Null()},
                {4, Value::Decimal("0")}});
    orders.Add({{0, 3}, {1, 5}, {2, Value::Null()}, {3, "[!CORRUPTED][EOF]"}, {4, Value::Null()}});
    orders.Close();
    RowWriter details(*connection, "Order Details");
    details.Add({{0, 1}, {1, 1}, {2, 2}});
    details.Add({{0, 1}, {1, 2}, {2, 1}});
    details.Add({{0, 3}, {1, 3}, {2, 7}});
    details.Close();
  }

  {
    Key customer;
    customer.name = "CustomersOrders";
    customer.type = adKeyForeign;
    customer.relatedTable = "Customers";
    customer.deleteRule = adRICascade;
    customer.updateRule = adRINone;
    Column customerColumn;
    customerColumn.name = "CustomerID";
    customerColumn.relatedColumn = "CustomerID";
    customer.columns.push_back(customerColumn);
    catalog->AppendKey("Orders", customer);

    Key order = customer;
    order.name = "OrdersOrder Details";
    order.relatedTable = "Orders";
    order.deleteRule = adRICascade;
    order.updateRule = adRICascade;
    order.columns[0].name = order.columns[0].relatedColumn = "OrderID";
    catalog->AppendKey("Order Details", order);

    Key product = customer;
    product.name = "ProductsOrder Details";
    product.relatedTable = "Products";
    product.deleteRule = adRINone;
    product.columns[0].name = product.columns[0].relatedColumn = "ProductID";
    catalog->AppendKey("Order Details", product);
  }

  {
    RowWriter params(*connection, "VelaParams");
    params.Add({{0, "AllowNewConnection"}, {1, "0"}});
    params.Add({{0, "Version"}, {1, "7"}});
    params.Close();
  }

  connection->Execute(
      "CREATE VIEW [CustomerOrders] AS SELECT [Customers].[Name], [Orders].[OrderID] FROM [Customers] "
      "INNER JOIN [Orders] ON [Orders].[CustomerID] = [Customers].[CustomerID]");

  {
    RowWriter measurements(*connection, "Measurements");
    Bytes blob(32);
    for (std::int64_t i = 1; i <= rows; ++i) {
      for (std::size_t b = 0; b < blob.size(); ++b)
        blob[b] = static_cast<std::uint8_t>((i * 31 + b * 7) & 0xFF);
      std::int64_t day = i % 28 + 1, month = i % 12 + 1, second = i % 60;
      measurements.rows().AddNew();
      measurements.rows().SetValue(1, Value("sensor-" + std::to_string(i % 1000)));
      measurements.rows().SetValue(2, Value(static_cast<double>(i) / 7.0));
      measurements.rows().SetValue(3, Value::Decimal(std::to_string(i % 100000) + "." + TwoDigits(i % 100)));
      measurements.rows().SetValue(
          4, Value::Date("2023-" + TwoDigits(month) + "-" + TwoDigits(day) + " 12:30:" + TwoDigits(second)));
      measurements.rows().SetValue(5, Value(i % 3 == 0));
      if (i % 10 != 0) measurements.rows().SetValue(6, Value(blob));
      if (i % 5 == 0)
        measurements.rows().SetValue(7, Value("reading number " + std::to_string(i) + " — ok ✓"));
      measurements.rows().Update();
    }
    measurements.Close();
  }
  connection->Close();
}

}  // namespace vela::cli
