#include <gtest/gtest.h>

#include "platform/utils/KeyValue.h"

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

}  // namespace vela::utils

namespace vela::utils {

TEST(KeyValue, FormattedItemsReadBackUnchanged) {
  for (const char* value : {"plain", "semi;colon", "quo\"te", " padded ", ""}) {
    std::string text = "Provider=P;" + FormatKeyValue("Jet OLEDB:Database Password", value) + ";x=y";
    EXPECT_EQ(KeyValue(text, "Jet OLEDB:Database Password", ";"), value) << text;
  }
}

}  // namespace vela::utils
