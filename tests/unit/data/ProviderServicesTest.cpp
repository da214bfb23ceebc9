// What the host and the component ask the providers instead of knowing the engines: the short form of a
// connection, the folder of the local sockets, the check of a direct copy, the keys of a connection string
// and the sizes of a column each engine makes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/Failure.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela::data {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using vela::testing::Failure;
using Verdict = DirectCopyCheck::Verdict;

TEST(ProviderServices, OnlyTheServerUrlIsAShortFormAndItSaysNoMoreThanAConnectionString) {
  EXPECT_FALSE(ConnectionStringFromShortForm("/data/shop.db"));
  EXPECT_FALSE(ConnectionStringFromShortForm("Provider=SQLOLEDB.1;Data Source=srv"));
  std::optional<std::string> url =
      ConnectionStringFromShortForm("postgres://al%40ice:pw@db.example:5433/sh%20op");
  ASSERT_TRUE(url);
  EXPECT_EQ(
      *url,
      "Provider=SQLOLEDB.1;Data Source=db.example,5433;Initial Catalog=sh op;UserID=al@ice;Password=pw");
  Error refused = Failure([] { ConnectionStringFromShortForm("postgresql://srv/shop?sslmode=require"); });
  EXPECT_EQ(refused.Number(), kInvalidArgument);
  EXPECT_THAT(refused.Description(), HasSubstr("\"sslmode\""));
}

TEST(ProviderServices, ASocketFolderIsAPathAndNoName) {
  EXPECT_TRUE(IsLocalSocketFolder("/run/postgresql"));
  EXPECT_TRUE(IsLocalSocketFolder("/tmp/sockets,5433"));
  EXPECT_FALSE(IsLocalSocketFolder("host/path"));
  EXPECT_FALSE(IsLocalSocketFolder("(local)"));
}

TEST(ProviderServices, ADirectCopyIsSoundOpaqueOrDamagedByItsFirstBytes) {
  const std::size_t wanted = DirectCopyHeaderBytes(dpAccess);
  ASSERT_GT(wanted, 16u);
  std::string plain("SQLite format 3\0", 16);
  plain.append("\x10\x00\x01\x01\x00\x40\x20\x20", 8);
  plain.resize(wanted);
  EXPECT_EQ(CheckDirectCopy(dpAccess, plain, 8192).verdict, Verdict::kSound);
  // Random salt where the header was: only whole pages can be vouched for, by the archive's checksum.
  const std::string salt(wanted, '\x5a');
  EXPECT_EQ(CheckDirectCopy(dpAccess, salt, 8192).verdict, Verdict::kOpaque);
  EXPECT_EQ(CheckDirectCopy(dpAccess, salt, 8000).verdict, Verdict::kDamaged);
  // The layout of a plain header without its text is a damaged plain file, not an encrypted one.
  std::string layout = plain;
  layout[0] = 'X';
  EXPECT_EQ(CheckDirectCopy(dpAccess, layout, 8192).verdict, Verdict::kDamaged);
  EXPECT_EQ(CheckDirectCopy(dpAccess, "SQLite", 6).verdict, Verdict::kDamaged);

  // The server's copy has no check of its own.
  EXPECT_EQ(DirectCopyHeaderBytes(dpSQLServer), 0u);
  EXPECT_EQ(Failure([] { CheckDirectCopy(dpSQLServer, "", 0); }).Number(), kNotSupported);
}

// A password under a key the provider would not apply is refused; other unread keys come back by name.
TEST(ProviderServices, KeysAProviderDoesNotReadAreNamedAndPasswordsThereRefused) {
  const std::string file = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/nowhere/shop.db";
  const std::string server = "Provider=SQLOLEDB.1;Data Source=(local)";
  for (const std::string& refused :
       {file + ";Password=secret", file + ";pwd=secret", file + ";Jet OLEDB:New Database Password=secret",
        server + ";Initial Catalog=shop;Jet OLEDB:Database Password=secret"}) {
    SCOPED_TRACE(refused);
    for (auto call : {+[](const std::string& text) { CheckConnectionKeys(text); },
                      +[](const std::string& text) { OpenConnection(text); }}) {
      Error error = Failure([&] { call(refused); });
      EXPECT_EQ(error.Number(), kInvalidArgument);
      EXPECT_THAT(error.Description(), HasSubstr(refused.starts_with(file) ? "Jet OLEDB:Database Password"
                                                                           : "password key is Password"));
      EXPECT_THAT(error.Description(), Not(HasSubstr("secret")));
    }
  }
  ConnectionKeys usual = CheckConnectionKeys(
      file + ";Jet OLEDB:Database Password=x;Persist Security Info=False;User ID=Admin;Password=");
  EXPECT_THAT(usual.unread, ElementsAre("Password"));  // empty: no password is lost
  EXPECT_THAT(usual.known, Contains("Data Source"));
  ConnectionKeys misspelt =
      CheckConnectionKeys(server + ";Initial Catalg=shop;User ID=al;Pwd=x;Persist Security Info=True");
  EXPECT_THAT(misspelt.unread, ElementsAre("Initial Catalg"));
  EXPECT_THAT(misspelt.known, Contains("Initial Catalog"));
  EXPECT_EQ(Failure([] { CheckConnectionKeys("Provider=Nobody;Password=x"); }).Number(), kComponentError);
}

// Impossible sizes are refused everywhere, sizes beyond an engine's limits by that engine.
TEST(ProviderServices, AColumnIsMadeOnlyWithSizesItsEngineHolds) {
  auto fault = [](DataProvider engine, int type, std::optional<std::int64_t> size,
                  std::optional<std::int64_t> precision, std::optional<std::int64_t> scale) {
    return ColumnSizeFault(engine, {type, size, precision, scale});
  };
  for (DataProvider engine : {dpAccess, dpSQLServer}) {
    EXPECT_EQ(fault(engine, adNumeric, std::nullopt, 18, 4), "");
    EXPECT_EQ(fault(engine, adVarWChar, 255, std::nullopt, std::nullopt), "");
    EXPECT_EQ(fault(engine, adInteger, std::nullopt, 10, 0), "");
    EXPECT_THAT(fault(engine, adNumeric, std::nullopt, 1000, 1001),
                HasSubstr("scale 1001 with precision 1000"));
    EXPECT_THAT(fault(engine, adDecimal, std::nullopt, 0, 0), HasSubstr("precision 0"));
    EXPECT_THAT(fault(engine, adVarChar, -1, std::nullopt, std::nullopt), HasSubstr("size -1"));
    EXPECT_THAT(fault(engine, adInteger, std::nullopt, 10, -2), HasSubstr("scale -2"));
  }
  EXPECT_EQ(fault(dpSQLServer, adNumeric, std::nullopt, 1000, 300), "");
  EXPECT_THAT(fault(dpSQLServer, adNumeric, std::nullopt, 1001, 0), HasSubstr("1 to 1000 digits"));
  EXPECT_EQ(fault(dpAccess, adNumeric, std::nullopt, 5000, 300), "");
  EXPECT_THAT(fault(dpSQLServer, adVarChar, 10485761, std::nullopt, std::nullopt), HasSubstr("10485760"));
  EXPECT_EQ(fault(dpSQLServer, adVarBinary, 20000000, std::nullopt, std::nullopt), "");  // a bytea
  EXPECT_EQ(fault(dpSQLServer, adLongVarWChar, 1073741823, std::nullopt, std::nullopt), "");
  EXPECT_EQ(fault(dpAccess, adVarWChar, 10485761, std::nullopt, std::nullopt), "");

  // What no engine makes.
  EXPECT_EQ(ColumnSizeFaultEverywhere({adNumeric, std::nullopt, 5000, 300}), "");
  EXPECT_THAT(ColumnSizeFaultEverywhere({adNumeric, std::nullopt, 3000000000, 0}), HasSubstr("precision"));
  EXPECT_THAT(ColumnSizeFaultEverywhere({adNumeric, std::nullopt, 10, 11}), HasSubstr("scale 11"));
}

}  // namespace
}  // namespace vela::data
