// The backup document reader: what a save writes reads back whole, and a hostile document fails with the
// table, the element and the attribute named.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "backup/BackupDocument.h"
#include "support/Failure.h"
#include "support/TempFolder.h"
#include "velabackup/Error.h"

namespace vela::backup {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

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
}  // namespace vela::backup
