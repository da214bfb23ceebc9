// The backup document reader: what a save writes reads back whole, and a hostile document fails with the
// table, the element and the attribute named.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "backupfile/BackupDocument.h"
#include "support/Failure.h"
#include "support/TempFolder.h"
#include "velabackup/Error.h"

namespace vela::backupfile {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

class BackupDocumentTest : public ::testing::Test {
 protected:
  BackupDocument Read(const std::string& xml) {
    std::string path = folder_ / "document";
    std::ofstream(path) << xml;
    return ReadBackupDocument(xml::Document::Load(path));
  }
  Error Failure(const std::string& xml) {
    return vela::testing::Failure([&] { Read(xml); });
  }
  static std::string Table(const std::string& columns, const std::string& rest = "") {
    return "<Database><Tables><Table Name=\"Orders\" FileName=\"{F}\"><Columns>" + columns + "</Columns>" +
           rest + "</Table></Tables></Database>";
  }
  vela::testing::TempFolder folder_;
};

TEST_F(BackupDocumentTest, ASavedDocumentReadsBackWhole) {
  BackupDocument document = Read(
      "<Database ConnectionString=\"Provider=x\" decimalseparator=\",\" ThousandSeparator=\".\">"
      "<Tables><Table Name=\"Orders\" FileName=\"{F}\"><Columns>"
      "<Column Name=\"Id\" DataType=\"3\" Flags=\"90\" Nullable=\"0\" Autoincrement=\"-1\"/>"
      "<Column Name=\"Price\" DataType=\"131\" Precision=\"18\" NumericScale=\"4\" Nullable=\"True\" "
      "DefaultValue=\"0\" Default=\"0\"/></Columns>"
      "<Indexes><Index Name=\"PK\" Clustered=\"False\" Unique=\"True\" PK=\"True\" IndexNulls=\"0\">"
      "<Columns><Column Name=\"Id\"/></Columns></Index></Indexes>"
      "<Keys><Key Name=\"FK\" DeleteRule=\"1\" UpdateRule=\"0\" Type=\"2\" RelatedTable=\"Customers\">"
      "<Columns><Column Name=\"Id\" RelatedColumn=\"CustomerId\"/></Columns></Key>"
      "<Key Name=\"untyped\"/></Keys></Table>"
      "<View Name=\"Late orders\"/></Tables></Database>");
  EXPECT_EQ(document.decimalSeparator, ",");
  EXPECT_EQ(document.thousandSeparator, ".");
  EXPECT_FALSE(document.monetaryDecimalSeparator);
  ASSERT_EQ(document.groups.size(), 1u);
  ASSERT_EQ(document.groups[0].size(), 2u);
  const TableEntry& table = document.groups[0][0];
  EXPECT_TRUE(table.IsTable());
  EXPECT_FALSE(document.groups[0][1].IsTable());
  EXPECT_EQ(document.groups[0][1].name, "Late orders");
  EXPECT_EQ(table.fileName, "{F}");
  ASSERT_EQ(table.columns.size(), 2u);
  EXPECT_TRUE(table.columns[0].autoincrement.Require());
  EXPECT_FALSE(table.columns[0].defineSize.has_value());
  const ColumnEntry* price = table.FindColumn("PRICE");
  ASSERT_NE(price, nullptr);
  EXPECT_EQ(price->dataType, 131);
  EXPECT_EQ(price->precision.Require(), 18);
  EXPECT_EQ(price->numericScale.Require(), 4);
  EXPECT_TRUE(price->nullable.Require());
  EXPECT_EQ(price->defaultExpression, "0");
  ASSERT_EQ(table.indexes.size(), 1u);
  EXPECT_TRUE(table.indexes[0].primaryKey.Require());
  EXPECT_EQ(table.indexes[0].columns, std::vector<std::string>{"Id"});
  ASSERT_EQ(table.keys.size(), 2u);
  EXPECT_EQ(table.keys[0].type, 2);
  EXPECT_EQ(table.keys[0].deleteRule.Require(), 1);
  EXPECT_EQ(table.keys[0].columns[0].relatedColumn, "CustomerId");
  EXPECT_FALSE(table.keys[1].type);
}

// The writer gives each attribute in the form older readers know: Nullable as -1 / 0, Clustered, Unique and
// PK as words, Autoincrement as -1 / 0 from file databases and as a word from servers.
TEST_F(BackupDocumentTest, AWrittenDocumentKeepsItsFormAndReadsBack) {
  BackupDocument document;
  document.connectionString = "Provider=x";
  document.decimalSeparator = ",";
  TableEntry& table = document.groups.emplace_back().emplace_back();
  table.element = doc::kTable;
  table.name = "Orders";
  table.fileName = "{F}";
  ColumnEntry& id = table.columns.emplace_back();
  id.name = "Id";
  id.dataType = 3;
  id.flags = 90;
  id.precision.value = 10;
  id.nullable.value = false;
  id.autoincrement.value = true;
  ColumnEntry& note = table.columns.emplace_back();
  note.name = "Note";
  note.dataType = 202;
  note.description = "a <note>";
  note.nullable.value = true;
  note.defaultValue = "\"x\"";
  IndexEntry& index = table.indexes.emplace_back();
  index.name = "PK";
  index.unique.value = index.primaryKey.value = true;
  index.indexNulls.value = 1;
  index.columns = {"Id"};
  KeyEntry& key = table.keys.emplace_back();
  key.name = "FK";
  key.type = 2;
  key.deleteRule.value = 1;
  key.relatedTable = "Customers";
  key.columns.push_back({"Id", "CustomerId"});
  document.engineObjects = {
      "Microsoft.Jet.OLEDB.4.0", {{"view", "V", "", "", "CREATE VIEW V AS SELECT 1"}}, {}};

  auto written = [&](DataProvider source) {
    const std::string path = folder_ / ("written" + std::to_string(source));
    WriteBackupDocument(document, source, path);
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string file = written(dpAccess);
  EXPECT_THAT(
      file,
      HasSubstr("<Database ConnectionString=\"Provider=x\" DecimalSeparator=\",\"><Tables>"
                "<Table Name=\"Orders\" FileName=\"{F}\"><Columns>"
                "<Column Name=\"Id\" DataType=\"3\" Precision=\"10\" Flags=\"90\" Nullable=\"0\" "
                "Autoincrement=\"-1\"/><Column Name=\"Note\" Desc=\"a &lt;note>\" DataType=\"202\" "
                "Flags=\"0\" Nullable=\"-1\" DefaultValue=\"&quot;x&quot;\"/></Columns><Indexes>"
                "<Index Name=\"PK\" Clustered=\"False\" Unique=\"True\" PK=\"True\" IndexNulls=\"1\">"));
  EXPECT_THAT(written(dpSQLServer), HasSubstr("Nullable=\"0\" Autoincrement=\"True\"/>"));

  BackupDocument back = Read(file);
  ASSERT_EQ(back.groups.size(), 1u);
  const TableEntry& read = back.groups[0][0];
  EXPECT_EQ(read.fileName, "{F}");
  EXPECT_TRUE(read.columns[0].autoincrement.Require());
  EXPECT_FALSE(read.columns[0].nullable.Require());
  EXPECT_EQ(read.columns[1].defaultValue, "\"x\"");
  EXPECT_EQ(read.keys[0].columns[0].relatedColumn, "CustomerId");
  ASSERT_TRUE(back.engineObjects);
  EXPECT_EQ(back.engineObjects->objects[0].sql, "CREATE VIEW V AS SELECT 1");
}

// RESTRICT and a unique constraint travel as marks an older reader passes over: it reads NO ACTION and a
// unique index, the nearest it knows.
TEST_F(BackupDocumentTest, RestrictAndConstraintsAreMarksOlderReadersPassOver) {
  BackupDocument document;
  TableEntry& table = document.groups.emplace_back().emplace_back();
  table.element = doc::kTable;
  table.name = "Lines";
  IndexEntry& index = table.indexes.emplace_back();
  index.name = "Lines_code_key";
  index.unique.value = true;
  index.constraint = true;
  index.columns = {"code"};
  KeyEntry& key = table.keys.emplace_back();
  key.name = "Lines_order_fk";
  key.type = 2;
  key.deleteRule.value = data::adRIRestrict;
  key.updateRule.value = data::adRICascade;
  key.relatedTable = "Orders";
  const std::string path = folder_ / "restrict";
  WriteBackupDocument(document, dpSQLServer, path);
  std::ifstream in(path);
  const std::string file(std::istreambuf_iterator<char>(in), {});
  EXPECT_THAT(file, HasSubstr("IndexNulls=\"0\" Constraint=\"True\">"));
  EXPECT_THAT(file, HasSubstr("DeleteRule=\"0\" UpdateRule=\"1\" DeleteRestrict=\"True\""));
  EXPECT_THAT(file, Not(HasSubstr("UpdateRestrict")));

  const TableEntry read = Read(file).groups[0][0];
  EXPECT_TRUE(read.indexes[0].constraint);
  EXPECT_EQ(read.keys[0].deleteRule.Require(), data::adRIRestrict);
  EXPECT_EQ(read.keys[0].updateRule.Require(), data::adRICascade);
}

// A name matches its column exactly first, and one column that differs only in letter case after that.
TEST_F(BackupDocumentTest, AColumnIsFoundByItsExactNameFirst) {
  const TableEntry one = Read(Table("<Column Name=\"ID\" DataType=\"3\"/>")).groups[0][0];
  ASSERT_NE(one.FindColumn("id"), nullptr);
  EXPECT_EQ(one.FindColumn("id")->name, "ID");
  const TableEntry two =
      Read(Table("<Column Name=\"ID\" DataType=\"3\"/><Column Name=\"id\" DataType=\"202\"/>")).groups[0][0];
  ASSERT_NE(two.FindColumn("id"), nullptr);
  EXPECT_EQ(two.FindColumn("id")->dataType, 202);
  EXPECT_EQ(two.FindColumn("ID")->dataType, 3);
  EXPECT_EQ(two.FindColumn("Id"), nullptr);
  EXPECT_EQ(two.FindColumn("name"), nullptr);
}

TEST_F(BackupDocumentTest, AMalformedValueNamesTableElementAndAttribute) {
  struct Case {
    std::string xml, element, attribute;
  } cases[] = {
      {Table("<Column Name=\"Price\" DataType=\"131\" Precision=\"eighteen\"/>"), "column \"Price\"",
       "Precision"},
      {Table("<Column Name=\"Price\" DataType=\"money\"/>"), "column \"Price\"", "DataType"},
      {Table("<Column Name=\"Price\"/>"), "column \"Price\"", "DataType"},
      {Table("<Column Name=\"Price\" DataType=\"5\" Nullable=\"maybe\"/>"), "column \"Price\"", "Nullable"},
      {Table("<Column Name=\"Price\" DataType=\"5\" DefineSize=\"99999999999999999999\"/>"),
       "column \"Price\"", "DefineSize"},
      {Table("", "<Indexes><Index Name=\"PK\" Unique=\"yes\"/></Indexes>"), "index \"PK\"", "Unique"},
      {Table("", "<Keys><Key Name=\"FK\" Type=\"foreign\"/></Keys>"), "key \"FK\"", "Type"},
  };
  for (const Case& c : cases) {
    Error error = Failure(c.xml);
    EXPECT_EQ(error.Number(), kTypeMismatch) << c.xml;
    EXPECT_THAT(error.Description(),
                AllOf(HasSubstr("table \"Orders\""), HasSubstr(c.element), HasSubstr(c.attribute)))
        << c.xml;
  }
}

TEST_F(BackupDocumentTest, AnAttributeAStepNeedsIsRequiredByName) {
  BackupDocument document = Read(Table("<Column Name=\"Price\" DataType=\"5\"/>"));
  const ColumnEntry& column = document.groups[0][0].columns[0];
  EXPECT_FALSE(column.nullable.ValueOr(false));
  try {
    column.nullable.Require();
    FAIL() << "an absent attribute was required without a failure";
  } catch (const Error& error) {
    EXPECT_EQ(error.Number(), kTypeMismatch);
    EXPECT_THAT(error.Description(),
                AllOf(HasSubstr("column \"Price\""), HasSubstr("no attribute Nullable")));
  }
}

}  // namespace
}  // namespace vela::backupfile
