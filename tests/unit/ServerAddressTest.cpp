// Reading server connection strings, without a server.
#include <gtest/gtest.h>

#include "platform/data/postgres/ServerAddress.h"

namespace vela::data::postgres {
namespace {

TEST(ServerAddressTest, DataSourceFormsAndKeys) {
  ServerAddress remote = ReadServerAddress(
      "Provider=SQLOLEDB.1;Data Source=db.example.org, 6543;Initial Catalog=MASTER;User "
      "ID=app;Password=\"a;b\"");
  EXPECT_EQ(remote.host, "db.example.org");
  EXPECT_EQ(remote.port, "6543");
  EXPECT_EQ(remote.database, "postgres");
  EXPECT_EQ(remote.user, "app");
  EXPECT_EQ(remote.password, "a;b");
  EXPECT_EQ(remote.ServerName(), "db.example.org:6543");

  ServerAddress local = ReadServerAddress("Data Source=(LOCAL)\\5433;Initial Catalog=shop;UserID=u");
  EXPECT_EQ(local.host, "");
  EXPECT_EQ(local.port, "5433");
  EXPECT_EQ(local.database, "shop");
  EXPECT_EQ(local.user, "u");
  EXPECT_EQ(ReadServerAddress("Data Source=Local\\SQLEXPRESS").port, "");

  // Every value reaches libpq as given, however it is punctuated; nothing is parsed as conninfo.
  ConnectParameters parameters(ReadServerAddress("Data Source=h;Initial Catalog=x' host=evil;Password=p w'"));
  EXPECT_STREQ(parameters.Find("dbname"), "x' host=evil");
  EXPECT_STREQ(parameters.Find("host"), "h");
  EXPECT_STREQ(parameters.Find("password"), "p w'");
  EXPECT_EQ(parameters.Find("port"), nullptr);
}

}  // namespace
}  // namespace vela::data::postgres
