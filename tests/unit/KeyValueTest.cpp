#include <gtest/gtest.h>

#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela::utils {

TEST(KeyValue, FindsKeysInEveryForm) {
  const char* cs = " Provider = Microsoft.Jet.OLEDB.4.0 ;data source=\"C:\\a;b.mdb\";  Password=x\"\"y";
  EXPECT_EQ(KeyValue(cs, "Provider", ";"), "Microsoft.Jet.OLEDB.4.0");
  EXPECT_EQ(KeyValue(cs, "Data Source", ";"), "C:\\a;b.mdb");
  EXPECT_EQ(KeyValue(cs, "PASSWORD", ";"), "x\"\"y");
  EXPECT_EQ(KeyValue(cs, "Initial Catalog", ";"), "");
  EXPECT_EQ(KeyValue("Password=\"a\"\"b\"", "Password", ";"), "a\"b");
}

TEST(KeyValue, MalformedTextGivesEmptyValues) {
  for (const char* bad : {"", ";;;", "=", "Provider", "\"Provider=x", "Provider==;", "=x;=y"}) {
    EXPECT_NO_THROW(KeyValue(bad, "Provider", ";")) << bad;
  }
  EXPECT_EQ(KeyValue("Provider", "Provider", ";"), "");
  EXPECT_EQ(KeyValue("Provider==;", "Provider", ";"), "=");
}

TEST(KeyValue, RemoveKeyDropsTheWholeItem) {
  EXPECT_EQ(RemoveKey("Provider=P;Password=secret;UserID=u", "password", ";"), "Provider=P;UserID=u");
  EXPECT_EQ(RemoveKey("Provider=P;Password=\"s;e\"", "Password", ";"), "Provider=P");
  EXPECT_EQ(RemoveKey("Provider=P", "Password", ";"), "Provider=P");
}

// Taking items out must not let a quote further on close a value left open before them: the text inside
// another value would then read as items, a second password among them.
TEST(KeyValue, RemovingAnItemDoesNotBringAnotherOutOfAValue) {
  const std::string cs = "E=\"x;Password=one;Password=\"y\"z;B=\";Password=two;C=\"";
  ASSERT_EQ(KeyValue(cs, "Password", ";"), "one");
  ASSERT_EQ(KeyValue(cs, "B", ";"), ";Password=two;C=");
  const std::string removed = RemoveKey(cs, "Password", ";");
  EXPECT_EQ(KeyValue(removed, "Password", ";"), "");
  EXPECT_EQ(KeyValue(removed, "E", ";"), "\"x");
  EXPECT_EQ(KeyValue(removed, "B", ";"), ";Password=two;C=");
}

TEST(KeyValue, FormattedItemsReadBackUnchanged) {
  for (const char* value : {"plain", "semi;colon", "quo\"te", " padded ", ""}) {
    std::string text = "Provider=P;" + FormatKeyValue("Jet OLEDB:Database Password", value) + ";x=y";
    EXPECT_EQ(KeyValue(text, "Jet OLEDB:Database Password", ";"), value) << text;
  }
}

TEST(KeyValue, AQuoteInsideAValueIsAnOrdinaryCharacter) {
  // A path with a quote in it must not hide the items after it inside its own value.
  const char* cs =
      "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/home/a\"b.db;Jet OLEDB:Database Password=s3cret";
  EXPECT_EQ(KeyValue(cs, "Data Source", ";"), "/home/a\"b.db");
  EXPECT_EQ(KeyValue(cs, "Jet OLEDB:Database Password", ";"), "s3cret");
  EXPECT_EQ(RemoveKey(cs, "Jet OLEDB:Database Password", ";"),
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/home/a\"b.db");
}

TEST(KeyValue, AQuotedValueThatDoesNotCloseCleanlyEndsAtTheSeparator) {
  // Never closed, or closed with more text after it: read as written, up to the next separator.
  EXPECT_EQ(KeyValue("Data Source=\"a.db;Password=s3cret", "Data Source", ";"), "\"a.db");
  EXPECT_EQ(KeyValue("Data Source=\"a.db;Password=s3cret", "Password", ";"), "s3cret");
  EXPECT_EQ(KeyValue("Data Source=\"a;b\"c;Password=s3cret", "Data Source", ";"), "\"a");
  EXPECT_EQ(KeyValue("Data Source=\"a;b\"c;Password=s3cret", "Password", ";"), "s3cret");
  // Blanks may stand around a quoted value.
  EXPECT_EQ(KeyValue("Data Source =  \" a;b \"  ;Password=p", "Data Source", ";"), " a;b ");
}

TEST(KeyValue, EveryValueSurvivesSetThenRead) {
  const std::string values[] = {"a\"b;c",   "\"",          "\"\"",       ";",      "\";\"", " \"lead",
                                "trail\" ", "x=y;z=\"w\"", "\"quoted\"", "\t tab", ""};
  for (const std::string& path : values) {
    std::string cs = SetKeyValue("Provider=Microsoft.Jet.OLEDB.4.0", "Data Source", path, ";");
    cs = SetKeyValue(cs, "Jet OLEDB:Database Password", "s3cret", ";");
    EXPECT_EQ(KeyValue(cs, "Data Source", ";"), path) << cs;
    EXPECT_EQ(KeyValue(cs, "Jet OLEDB:Database Password", ";"), "s3cret") << cs;
    EXPECT_EQ(RemoveKey(cs, "Jet OLEDB:Database Password", ";").find("s3cret"), std::string::npos) << cs;
    // Replacing a value in place keeps the others.
    cs = SetKeyValue(cs, "Data Source", "other.db", ";");
    EXPECT_EQ(KeyValue(cs, "Data Source", ";"), "other.db") << cs;
    EXPECT_EQ(KeyValue(cs, "Jet OLEDB:Database Password", ";"), "s3cret") << cs;
  }
}

TEST(KeyValue, ASetValueIsNotSwallowedByAQuoteLeftOpenBeforeIt) {
  // "Extended=" opens a quote it never closes; the quoted value set after it must not close that quote.
  const std::string cs = "Provider=x;Extended=\" p0";
  for (const char* value : {";quota", "a\"", "\";\"", "plain"}) {
    std::string set = SetKeyValue(cs, "UserID", value, ";");
    EXPECT_EQ(KeyValue(set, "UserID", ";"), value) << set;
    EXPECT_EQ(KeyValue(set, "Extended", ";"), "\" p0") << set;
    EXPECT_EQ(KeyValue(set, "Provider", ";"), "x") << set;
    // The same when the value replaces an item after the open quote.
    set = SetKeyValue(cs + ";UserID=old", "UserID", value, ";");
    EXPECT_EQ(KeyValue(set, "UserID", ";"), value) << set;
    EXPECT_EQ(KeyValue(set, "Extended", ";"), "\" p0") << set;
  }
}

TEST(KeyValue, StringsWithoutQuotesReadAsTheyAlwaysDid) {
  const char* cs =
      "Provider=SQLOLEDB.1; Data Source = db.example.com,5433 ;Initial Catalog=shop;;UserID=app;";
  EXPECT_EQ(KeyValue(cs, "Data Source", ";"), "db.example.com,5433");
  EXPECT_EQ(KeyValue(cs, "Initial Catalog", ";"), "shop");
  EXPECT_EQ(KeyValue(cs, "UserID", ";"), "app");
  EXPECT_EQ(SetKeyValue(cs, "Password", "p", ";"), std::string(cs) + "Password=p");
}

}  // namespace vela::utils

namespace vela::data {

TEST(ConnectionStrings, EveryProvidersPasswordKeyIsRemoved) {
  EXPECT_EQ(RemovePasswords("Provider=SQLOLEDB.1;Data Source=h;Pwd=a;UserID=u;Password=\"b;c\""),
            "Provider=SQLOLEDB.1;Data Source=h;UserID=u");
  EXPECT_EQ(RemovePasswords("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;Jet OLEDB:Database Password=s"),
            "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x");
}

TEST(ConnectionStrings, TheMaintenanceDatabaseReplacesOnlyTheCatalogItem) {
  // The catalog's name also stands inside another item: only the catalog item changes.
  EXPECT_EQ(MaintenanceConnectionString(
                "Provider=SQLOLEDB.1;Data Source=shop;Initial Catalog = shop ;UserID=shop;Password=\"x;y\""),
            "Provider=SQLOLEDB.1;Data Source=shop;Initial Catalog=Master;UserID=shop;Password=\"x;y\"");
  EXPECT_THROW(MaintenanceConnectionString("Provider=SQLOLEDB.1;Data Source=h"), Error);
  EXPECT_THROW(MaintenanceConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x"), Error);
}

TEST(ConnectionStrings, EachProviderKnowsItsEngineAndItsOwnObjects) {
  EXPECT_EQ(ProviderEngine("Microsoft.Jet.OLEDB.4.0"), dpAccess);
  EXPECT_EQ(ProviderEngine("SQLOLEDB.1"), dpSQLServer);
  EXPECT_EQ(ProviderEngine("sqloledb.1"), dpUnknown);
  EXPECT_TRUE(IsSystemObjectName("Microsoft.Jet.OLEDB.4.0", "MSysObjects"));
  EXPECT_TRUE(IsSystemObjectName("Microsoft.Jet.OLEDB.4.0", "sqlite_autoindex_t_1"));
  EXPECT_FALSE(IsSystemObjectName("Microsoft.Jet.OLEDB.4.0", "system_log"));
  EXPECT_FALSE(IsSystemObjectName("SQLOLEDB.1", "MSysObjects"));
}

}  // namespace vela::data
