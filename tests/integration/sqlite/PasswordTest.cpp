// Password-protected database files: the SQLCipher 4 format, a password never dropped (plain files,
// snapshots, direct copies put in place), recovery from the journal, and files tampered with.
#include <sqlite3.h>

#include <gmock/gmock.h>

#include <cstdint>
#include <fstream>
#include <map>

#include "SqliteFixture.h"

namespace vela::data::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kPassword = "Ox8-Treasure";
constexpr std::size_t kPageSize = 4096;

class SqlitePasswordTest : public SqliteTest {
 protected:
  // A protected database of `rows` rows of text, closed.
  void MakeProtected(const std::string& name, int rows = 400) {
    auto db = NewDatabase(name, kPassword);
    db->Execute("CREATE TABLE [Secrets] ([n] INTEGER PRIMARY KEY, [Text] VARCHAR(200))");
    db->Execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < " +
                std::to_string(rows) +
                ") INSERT INTO [Secrets] SELECT x, 'treasure map ' || x || printf('%.150c', '*') FROM c");
  }

  static void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  }

  // Every row of the file and the engine's own check, through the provider.
  static RowList ReadEverything(const std::filesystem::path& file, const std::string& password = kPassword) {
    auto db = OpenConnection(Cs(file, password));
    RowList rows = Rows(*db, "SELECT [n], [Text] FROM [Secrets] ORDER BY [n]");
    if (Rows(*db, "PRAGMA integrity_check") != RowList{{Value("ok")}})
      throw Error(kBadFileFormat, "test", "integrity check failed");
    return rows;
  }

  // The SQLite engine itself opening the file with the given statements first; the rows it counts, or -1.
  static int RawCount(const std::filesystem::path& file, const std::string& setup) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    int count = -1;
    std::string sql = setup + "SELECT COUNT(*) FROM Secrets";
    sqlite3_exec(
        raw, sql.c_str(),
        [](void* out, int, char** values, char** names) {
          if (std::string(names[0]) == "COUNT(*)") *static_cast<int*>(out) = std::stoi(values[0]);
          return 0;
        },
        &count, nullptr);
    sqlite3_close(raw);
    return count;
  }

  static void ExpectLockedOut(const std::filesystem::path& file) {
    for (const std::string& password : {std::string(), std::string("wrong")}) {
      Error e = Failure([&] { OpenConnection(Cs(file, password)); });
      EXPECT_EQ(e.Number(), kAuthenticationFailed) << password;
      EXPECT_THAT(e.Description(), HasSubstr(file.filename().string()));
      EXPECT_THAT(e.Description(), Not(HasSubstr(kPassword)));
    }
  }
};

TEST_F(SqlitePasswordTest, AProtectedFileIsSqlcipher4AndOpensOnlyWithItsPassword) {
  MakeProtected("p.mdb", 300);
  {
    auto db = OpenConnection(Cs(File("p.mdb"), kPassword));
    EXPECT_THAT(db->ConnectionString(), Not(HasSubstr(kPassword)));
    EXPECT_THAT(db->ConnectionString(), HasSubstr("p.mdb"));
    // A rolled-back change goes through the journal and must leave the pages intact.
    db->Execute("BEGIN");
    db->Execute("UPDATE [Secrets] SET [Text] = 'gone'");
    db->Execute("ROLLBACK");
  }
  std::string bytes = ReadFile(File("p.mdb"));
  EXPECT_GT(bytes.size(), 10 * kPageSize);
  EXPECT_EQ(bytes.size() % kPageSize, 0u);
  for (const char* plain : {"treasure", "Secrets", "SQLite format 3"})
    EXPECT_THAT(bytes, Not(HasSubstr(plain)));
  EXPECT_EQ(ReadEverything(File("p.mdb")).size(), 300u);
  ExpectLockedOut(File("p.mdb"));

  // SQLCipher 4 settings open it; the engine without a key, or with SQLCipher 3's settings, does not.
  const std::string key = "PRAGMA key='" + std::string(kPassword) + "';";
  EXPECT_EQ(RawCount(File("p.mdb"), "PRAGMA cipher='sqlcipher'; PRAGMA legacy=4;" + key), 300);
  // The same settings spelled out, as SQLCipher 4 documents them.
  const std::string v4 =
      "PRAGMA cipher='sqlcipher'; PRAGMA legacy=4; PRAGMA legacy_page_size=4096; PRAGMA fast_kdf_iter=2; "
      "PRAGMA hmac_use=1; PRAGMA hmac_pgno=1; PRAGMA hmac_salt_mask=58; PRAGMA kdf_algorithm=2; "
      "PRAGMA hmac_algorithm=2;";
  EXPECT_EQ(RawCount(File("p.mdb"), v4 + "PRAGMA kdf_iter=256000;" + key), 300);
  EXPECT_EQ(RawCount(File("p.mdb"), v4 + "PRAGMA kdf_iter=64000;" + key), -1);
  EXPECT_EQ(RawCount(File("p.mdb"), "PRAGMA cipher='sqlcipher'; PRAGMA legacy=3;" + key), -1);
  EXPECT_EQ(RawCount(File("p.mdb"), ""), -1);

  // The first 16 bytes are the file's random salt: the same password makes another key for another file.
  MakeProtected("q.mdb", 1);
  EXPECT_NE(ReadFile(File("q.mdb")).substr(0, 16), bytes.substr(0, 16));
}

TEST_F(SqlitePasswordTest, APasswordIsNeverDropped) {
  // A plain file refuses a password, and stays as it was.
  auto plain = NewDatabase("plain.mdb");
  plain->Execute("CREATE TABLE [Secrets] ([n] INTEGER PRIMARY KEY, [Text] VARCHAR(200))");
  plain->Execute("INSERT INTO [Secrets] VALUES (1, 'in the clear')");
  plain->Close();
  std::string before = ReadFile(File("plain.mdb"));
  Error refused = Failure([&] { OpenConnection(Cs(File("plain.mdb"), kPassword)); });
  EXPECT_EQ(refused.Number(), kAuthenticationFailed);
  EXPECT_THAT(refused.Description(), HasSubstr("plain.mdb"));
  EXPECT_THAT(refused.Description(), HasSubstr("not protected"));
  EXPECT_THAT(refused.Description(), Not(HasSubstr(kPassword)));
  EXPECT_EQ(ReadFile(File("plain.mdb")), before);

  // An empty file opened with a password becomes a protected database.
  WriteFile(File("empty.mdb"), "");
  OpenConnection(Cs(File("empty.mdb"), kPassword))
      ->Execute("CREATE TABLE [Secrets] ([n] INTEGER, [Text] TEXT)");
  EXPECT_THAT(ReadFile(File("empty.mdb")), Not(HasSubstr("SQLite format 3")));
  ExpectLockedOut(File("empty.mdb"));

  // A snapshot keeps the protection of its database, with the same password; a plain one stays plain.
  MakeProtected("p.mdb");
  OpenConnection(Cs(File("p.mdb"), kPassword))->SnapshotTo(File("snapshot.mdb"));
  EXPECT_THAT(ReadFile(File("snapshot.mdb")), Not(HasSubstr("treasure")));
  ExpectLockedOut(File("snapshot.mdb"));
  EXPECT_EQ(ReadEverything(File("snapshot.mdb")), ReadEverything(File("p.mdb")));
  OpenConnection(Cs(File("plain.mdb")))->SnapshotTo(File("plain-snapshot.mdb"));
  EXPECT_THAT(ReadFile(File("plain-snapshot.mdb")), HasSubstr("in the clear"));
}

TEST_F(SqlitePasswordTest, ADirectCopyPutInPlaceWithAPasswordIsWrittenEncrypted) {
  auto plain = NewDatabase("plain.mdb");
  plain->Execute("CREATE TABLE [Secrets] ([n] INTEGER PRIMARY KEY, [Text] VARCHAR(200))");
  plain->Execute("INSERT INTO [Secrets] VALUES (1, 'treasure in the clear'), (2, 'more')");
  plain->SnapshotTo(File("copy"));
  std::string copy = ReadFile(File("copy"));

  // A plain copy, with a password: the new file is protected; the copy is left as it was, nothing beside it.
  ASSERT_TRUE(PlaceDirectCopy(File("copy"), Cs(File("target.mdb"), kPassword)));
  EXPECT_THAT(ReadFile(File("target.mdb")), Not(HasSubstr("treasure")));
  EXPECT_THAT(ReadFile(File("target.mdb")), Not(HasSubstr("SQLite format 3")));
  ExpectLockedOut(File("target.mdb"));
  EXPECT_EQ(ReadEverything(File("target.mdb")),
            Rows(*plain, "SELECT [n], [Text] FROM [Secrets] ORDER BY [n]"));
  EXPECT_EQ(ReadFile(File("copy")), copy);
  std::size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(folder_.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 3u);  // plain.mdb, copy, target.mdb

  // A protected copy opens only with its own password; a failure leaves no target behind.
  MakeProtected("p.mdb");
  OpenConnection(Cs(File("p.mdb"), kPassword))->SnapshotTo(File("protected copy"));
  ASSERT_TRUE(PlaceDirectCopy(File("protected copy"), Cs(File("target.mdb"), kPassword)));
  EXPECT_EQ(ReadEverything(File("target.mdb")).size(), 400u);
  Error wrong = Failure([&] { PlaceDirectCopy(File("protected copy"), Cs(File("other.mdb"), "wrong")); });
  EXPECT_EQ(wrong.Number(), kAuthenticationFailed);
  EXPECT_THAT(wrong.Description(), HasSubstr("protected copy"));
  EXPECT_FALSE(std::filesystem::exists(File("other.mdb")));

  // Without a password the copy is put in place byte for byte.
  ASSERT_TRUE(PlaceDirectCopy(File("copy"), Cs(File("as-is.mdb"))));
  EXPECT_EQ(ReadFile(File("as-is.mdb")), copy);
}

TEST_F(SqlitePasswordTest, AProtectedFileLeftMidTransactionIsRolledBackFromItsJournal) {
  auto db = NewDatabase("crash.mdb", "pw");
  db->Execute("CREATE TABLE [t] ([n] INTEGER, [s] VARCHAR(100))");
  db->Execute(
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000) "
      "INSERT INTO [t] SELECT x, 'original ' || x FROM c");
  // A tiny cache makes the engine write changed pages into the file before the commit, as a crash finds it.
  db->Execute("PRAGMA cache_size=5");
  db->Execute("BEGIN");
  db->Execute("UPDATE [t] SET [s] = 'changed but never committed'");
  std::filesystem::copy_file(File("crash.mdb"), File("crashed.mdb"));
  std::filesystem::copy_file(File("crash.mdb-journal"), File("crashed.mdb-journal"));
  std::filesystem::copy_file(File("crash.mdb"), File("torn.mdb"));  // the same file without its journal
  std::filesystem::copy_file(File("crash.mdb"), File("crash.mdb.saved"));
  std::filesystem::copy_file(File("crash.mdb-journal"), File("crash.mdb-journal.saved"));
  db->Execute("ROLLBACK");
  // The premise: uncommitted pages did reach the file.
  auto torn = OpenConnection(Cs(File("torn.mdb"), "pw"));
  EXPECT_GT(Rows(*torn, "SELECT COUNT(*) FROM [t] WHERE [s] LIKE 'changed%'")[0][0].AsInt(), 0);
  EXPECT_THAT(ReadFile(File("crashed.mdb-journal")), Not(HasSubstr("original")));

  auto recovered = OpenConnection(Cs(File("crashed.mdb"), "pw"));
  auto rows = Rows(*recovered, "SELECT COUNT(*), SUM([s] LIKE 'original%') FROM [t]");
  EXPECT_EQ(rows[0][0], Value(3000));
  EXPECT_EQ(rows[0][1], Value(3000));
  EXPECT_EQ(Rows(*recovered, "PRAGMA integrity_check")[0][0], Value("ok"));
  recovered->Close();

  // Two page images swapped in the journal (each with its checksum, which does not cover the page number)
  // are rolled back into the wrong places, where they do not open.
  std::string journal = ReadFile(File("crash.mdb-journal.saved"));
  auto beUint = [&](std::size_t at) {
    return (std::uint32_t(std::uint8_t(journal[at])) << 24) |
           (std::uint32_t(std::uint8_t(journal[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(journal[at + 2])) << 8) | std::uint32_t(std::uint8_t(journal[at + 3]));
  };
  const std::size_t sector = beUint(20), pageSize = beUint(24), record = 4 + pageSize + 4;
  ASSERT_EQ(pageSize, kPageSize);
  ASSERT_GE(journal.size(), sector + 3 * record);
  const std::size_t first = sector + record + 4, second = sector + 2 * record + 4;  // past the page numbers
  std::string image = journal.substr(first, pageSize + 4);
  journal.replace(first, pageSize + 4, journal.substr(second, pageSize + 4));
  journal.replace(second, pageSize + 4, image);
  std::filesystem::copy_file(File("crash.mdb.saved"), File("swapped.mdb"));
  WriteFile(File("swapped.mdb-journal"), journal);
  Error swapped = Failure([&] {
    auto db = OpenConnection(Cs(File("swapped.mdb"), "pw"));
    Rows(*db, "SELECT * FROM [t]");
    Rows(*db, "PRAGMA integrity_check");
  });
  EXPECT_TRUE(swapped.Number() == kBadFileFormat || swapped.Number() == kAuthenticationFailed)
      << swapped.Description();
}

TEST_F(SqlitePasswordTest, TamperedFilesFailToOpenOrToReadAndNeverGiveForgedRows) {
  MakeProtected("original.mdb");
  const std::string bytes = ReadFile(File("original.mdb"));
  ASSERT_GE(bytes.size(), 8 * kPageSize);
  const RowList original = ReadEverything(File("original.mdb"));
  auto page = [&](std::size_t number) { return bytes.substr((number - 1) * kPageSize, kPageSize); };

  std::map<std::string, std::string> tampered;
  tampered["cut into the last page"] = bytes.substr(0, bytes.size() - 1000);
  tampered["cut into a middle page"] = bytes.substr(0, bytes.size() - 3 * kPageSize - 7);
  tampered["cut to one byte past page 1"] = bytes.substr(0, kPageSize + 1);
  for (std::size_t at : {std::size_t{40}, kPageSize + 100, 4 * kPageSize + 2000, bytes.size() - 1}) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
    tampered["byte " + std::to_string(at) + " flipped"] = flipped;
  }
  std::string swapped = bytes;
  swapped.replace(2 * kPageSize, kPageSize, page(4));
  swapped.replace(3 * kPageSize, kPageSize, page(3));
  tampered["pages 3 and 4 swapped"] = swapped;
  std::string replayed = bytes;  // an older image of a page is still bound to its page number
  replayed.replace(4 * kPageSize, kPageSize, page(3));
  tampered["page 3 copied over page 5"] = replayed;

  for (const auto& [what, content] : tampered) {
    WriteFile(File("tampered.mdb"), content);
    try {
      RowList rows = ReadEverything(File("tampered.mdb"));
      ADD_FAILURE() << what << ": read " << rows.size() << " rows"
                    << (rows == original ? " (the original ones)" : " (forged)");
    } catch (const Error& e) {
      EXPECT_TRUE(e.Number() == kBadFileFormat || e.Number() == kAuthenticationFailed)
          << what << ": " << e.Description();
      EXPECT_THAT(e.Description(), Not(HasSubstr(kPassword))) << what;
    }
  }
}

}  // namespace
}  // namespace vela::data::testing
