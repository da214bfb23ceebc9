// Opening, creating, dropping and replacing database files, and reading files other programs wrote
// (password-protected files: PasswordTest.cpp).
#include <sqlite3.h>

#include <cmath>
#include <fstream>

#include "SqliteFixture.h"

namespace vela::data::testing {
namespace {

class SqliteConnectionTest : public SqliteTest {};

TEST_F(SqliteConnectionTest, OpenFailuresNameTheFileAndTheProvider) {
  Error missing = Failure([&] { OpenConnection(Cs(File("absent.mdb"))); });
  EXPECT_EQ(missing.Number(), kFileNotFound);
  EXPECT_NE(missing.Description().find("absent.mdb"), std::string::npos);
  EXPECT_NE(missing.Source().find("Microsoft.Jet.OLEDB.4.0"), std::string::npos);

  { std::ofstream(File("junk.mdb")) << "this is no database, not even close to one"; }
  EXPECT_EQ(Failure([&] { OpenConnection(Cs(File("junk.mdb"))); }).Number(), kAuthenticationFailed);

  NewDatabase("a.mdb");
  EXPECT_EQ(Failure([&] { CreateDatabase(Cs(File("a.mdb"))); }).Number(), kPathAccess);

  // Another program holding the file exclusively.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(File("a.mdb").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
            SQLITE_OK);
  Error locked = Failure([&] { OpenConnection(Cs(File("a.mdb"))); });
  sqlite3_close(other);
  EXPECT_EQ(locked.Number(), kPathAccess);
  EXPECT_NE(locked.Description().find("a.mdb"), std::string::npos);
}

// The names of the files in the test's folder, joined.
std::string FileNames(const std::filesystem::path& folder) {
  std::string names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names += entry.path().string() + "\n";
  return names;
}

TEST_F(SqliteConnectionTest, AQuoteInThePathLeavesThePasswordInItsOwnItem) {
  // As a user types it: the quote belongs to the file name and nothing else.
  const std::string typed = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + File("a\"b.mdb").string() +
                            ";Jet OLEDB:Database Password=s3cret";
  CreateDatabase(typed);
  OpenConnection(typed)->Close();
  EXPECT_TRUE(std::filesystem::exists(File("a\"b.mdb")));
  EXPECT_EQ(FileNames(folder_.path()).find("s3cret"), std::string::npos);
  EXPECT_EQ(Failure([&] { OpenConnection(Cs(File("a\"b.mdb"))); }).Number(), kAuthenticationFailed);
}

TEST_F(SqliteConnectionTest, APathWithQuotesAndSeparatorsRoundTripsAndHidesThePassword) {
  const std::string password = "s3cret\";\"pw";
  const std::string name = "we\"ird;Jet OLEDB:Database Password=x;\" name.mdb";
  auto db = NewDatabase(name, password);
  db->Execute("CREATE TABLE [T] ([A] INT)");
  db->Close();
  EXPECT_TRUE(std::filesystem::exists(File(name)));
  EXPECT_EQ(FileNames(folder_.path()).find("s3cret"), std::string::npos);
  EXPECT_EQ(Failure([&] { OpenConnection(Cs(File(name), "x")); }).Number(), kAuthenticationFailed);
  EXPECT_EQ(RemovePasswords(Cs(File(name), password)).find("s3cret"), std::string::npos);

  Error missing = Failure([&] { OpenConnection(Cs(File("absent\";x.mdb"), password)); });
  EXPECT_EQ(missing.Number(), kFileNotFound);
  EXPECT_NE(missing.Description().find("absent\";x.mdb"), std::string::npos) << missing.Description();
  EXPECT_EQ(missing.Description().find("s3cret"), std::string::npos) << missing.Description();
}

TEST_F(SqliteConnectionTest, DroppingOrReplacingAFileTakesTheFilesBesideItAlong) {
  const std::string sides[] = {"-journal", "-wal", "-shm"};
  auto leaveSideFiles = [&](const std::string& name) {
    for (const std::string& side : sides) std::ofstream(File(name + side)) << "left by a crash";
  };
  NewDatabase("old.mdb")->Close();
  leaveSideFiles("old.mdb");
  DropDatabase(Cs(File("old.mdb")));
  EXPECT_FALSE(std::filesystem::exists(File("old.mdb")));
  for (const std::string& side : sides) EXPECT_FALSE(std::filesystem::exists(File("old.mdb" + side))) << side;

  auto source = NewDatabase("source.mdb");
  source->Execute("CREATE TABLE [t] ([n] INTEGER)");
  source->Execute("INSERT INTO [t] VALUES (7)");
  source->SnapshotTo(File("copy"));
  NewDatabase("target.mdb")->Close();
  leaveSideFiles("target.mdb");
  ASSERT_TRUE(PlaceDirectCopy(File("copy"), Cs(File("target.mdb"))));
  for (const std::string& side : sides)
    EXPECT_FALSE(std::filesystem::exists(File("target.mdb" + side))) << side;
  EXPECT_EQ(Rows(*OpenConnection(Cs(File("target.mdb"))), "SELECT [n] FROM [t]"), (RowList{{Value(7)}}));
  EXPECT_FALSE(PlaceDirectCopy(File("no such copy"), Cs(File("target.mdb"))));
}

TEST_F(SqliteConnectionTest, ValuesStoredByAnotherProgramReadAsTheirDeclaredType) {
  ASSERT_EQ(
      vela::testing::Exec(
          File("other.db").string(),
          "CREATE TABLE v (d DATETIME, price DECIMAL(10,2), g GUID, b BOOLEAN, x, t VARCHAR(20), r REAL);"
          "INSERT INTO v VALUES ('2024-01-02', 12.5, x'33221100554477668899AABBCCDDEEFF', 'yes', 'text', "
          "7, 1e300);"
          "INSERT INTO v VALUES (1700000000, '0012.50', '6f9619ff-8b86-d011-b42d-00c04fc964ff', 0, 42, "
          "'a', 2);"
          "INSERT INTO v VALUES (2460000.5, 1e20, NULL, 'maybe', x'00', NULL, 'not a number');"),
      "");
  auto db = OpenConnection(Cs(File("other.db")));
  auto rs = db->OpenRecordset("SELECT * FROM v", adOpenForwardOnly, adLockReadOnly, adUseServer);
  std::vector<int> types;
  for (std::size_t i = 0; i < rs->FieldCount(); ++i) types.push_back(rs->Field(i).type);
  EXPECT_EQ(types, (std::vector<int>{adDate, adNumeric, adGUID, adBoolean, adVariant, adVarWChar, adDouble}));
  auto rows = Rows(*db, "SELECT * FROM v");
  EXPECT_EQ(rows[0][0], Value::Date("2024-01-02 00:00:00"));
  EXPECT_EQ(rows[1][0], Value::Date("2023-11-14 22:13:20"));  // seconds since 1970
  EXPECT_EQ(rows[2][0], Value::Date("2023-02-25 00:00:00"));  // a Julian day number
  EXPECT_EQ(rows[0][1], Value::Decimal("12.5"));
  EXPECT_EQ(rows[1][1], Value::Decimal("12.5"));
  EXPECT_EQ(rows[2][1], Value::Decimal("100000000000000000000"));
  EXPECT_EQ(rows[0][2], Value("{00112233-4455-6677-8899-AABBCCDDEEFF}"));
  EXPECT_EQ(rows[1][2], Value("{6F9619FF-8B86-D011-B42D-00C04FC964FF}"));
  EXPECT_EQ(rows[0][3], Value(true));
  EXPECT_EQ(rows[1][3], Value(false));
  EXPECT_EQ(rows[2][3], Value("maybe"));  // kept as it is rather than guessed
  EXPECT_EQ(rows[0][4], Value("text"));   // a column without declared type: each value in its class
  EXPECT_EQ(rows[1][4], Value(42));
  EXPECT_EQ(rows[2][4], Value(Bytes{0}));
  EXPECT_EQ(rows[0][5], Value("7"));
  EXPECT_EQ(rows[0][6], Value(1e300));
  EXPECT_EQ(rows[2][6], Value("not a number"));
}

TEST_F(SqliteConnectionTest, ValuesInFormsTheirTypeLacksAreAlsoGivenAsHeld) {
  ASSERT_EQ(
      vela::testing::Exec(File("other.db").string(),
                          "CREATE TABLE v (d TIMESTAMP, n NUMERIC(10,2), i INTEGER, t VARCHAR(9), b BOOLEAN);"
                          "INSERT INTO v VALUES (1706932800, 1.98, 5000000000, x'00ff', 7);"
                          "INSERT INTO v VALUES ('2024-02-03T04:05:06Z', 'n/a', 3.5, 'plain', 'yes');"
                          "INSERT INTO v VALUES ('2024-02-03 04:05:06', 100, 12, '12', 1);"
                          "INSERT INTO v VALUES (2460343.5, 1e999, 'twelve', NULL, 0);"),
      "");
  auto db = OpenConnection(Cs(File("other.db")));
  std::vector<std::vector<Value>> held;
  std::vector<std::vector<Value>> values;
  {
    auto rs = db->OpenRecordset("SELECT * FROM v", adOpenForwardOnly, adLockReadOnly, adUseServer);
    for (; !rs->Eof(); rs->MoveNext()) {
      held.emplace_back();
      values.emplace_back();
      for (std::size_t i = 0; i < rs->FieldCount(); ++i) {
        held.back().push_back(rs->GetStoredValue(i));
        values.back().push_back(rs->GetValue(i));
      }
    }
  }
  const Value none;
  // Read as the field's type all the same; held as stored only where that type has no such form.
  EXPECT_EQ(values[0][0], Value::Date("2024-02-03 04:00:00"));
  EXPECT_EQ(held[0], (std::vector<Value>{Value(1706932800), none, Value(5000000000LL), Value(Bytes{0, 0xFF}),
                                         Value(7)}));
  EXPECT_EQ(values[1][0], Value::Date("2024-02-03 04:05:06"));
  EXPECT_EQ(held[1], (std::vector<Value>{Value("2024-02-03T04:05:06Z"), Value("n/a"), Value(3.5), none,
                                         Value("yes")}));
  EXPECT_EQ(held[2], (std::vector<Value>(5, none)));
  EXPECT_EQ(values[2][1], Value::Decimal("100"));
  EXPECT_EQ(held[3], (std::vector<Value>{Value(2460343.5), Value(HUGE_VAL), Value("twelve"), none, none}));
}

}  // namespace
}  // namespace vela::data::testing
