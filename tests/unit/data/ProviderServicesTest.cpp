// What the host and the component ask the providers instead of knowing the engines: the short form of a
// connection, the folder of the local sockets, and the check of a direct copy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/Failure.h"
#include "velabackup/Error.h"
#include "velabackup/data/Connection.h"

namespace vela::data {
namespace {

using ::testing::HasSubstr;
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

}  // namespace
}  // namespace vela::data
