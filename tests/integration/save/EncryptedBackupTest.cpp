// Backups under a password: a text backup of a protected file database is encrypted with the database's
// password unless another is given, reads back only with it (a missing or wrong one refused as such, never
// as damage), and restores into a protected file; a backup of a plain database stays in clear unless a
// password is asked for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/zip/ArchiveReader.h"
#include "support/DataChecks.h"
#include "support/HostRun.h"
#include "support/TempFolder.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::Failure;
using testing::FileDatabase;
using testing::ReadFile;
using testing::TempFolder;

constexpr const char* kSecret = "Ledger entry 4711 of the vault";

std::string Protected(const std::string& connection, const std::string& password) {
  return password.empty() ? connection : connection + ";Jet OLEDB:Database Password=" + password;
}

std::string Utf16(const std::string& ascii) {
  std::string wide;
  for (char c : ascii) wide += {c, '\0'};
  return wide;
}

class EncryptedBackup : public ::testing::Test {
 protected:
  // A database holding kSecret, protected by `password` unless it is empty.
  std::string MakeSource(const std::string& password) {
    const std::string source = Protected(FileDatabase(folder / "source.db"), password);
    data::CreateDatabase(source);
    auto db = data::OpenConnection(source);
    db->Execute("CREATE TABLE [Vault] ([Id] INTEGER, [Entry] VARCHAR(80))");
    db->Execute(std::string("INSERT INTO [Vault] VALUES (1, '") + kSecret + "')");
    db->Close();
    return source;
  }

  // Saves in the uncompressed mode, where whatever is not encrypted lies in the file as it is.
  void Save(const std::string& source, const std::string& archivePassword = {}) {
    auto connection = data::OpenConnection(source);
    CBackup backup;
    backup.SetLanguageResources(LanguageResources::English());
    backup.SetBackupMode(bmUncompressedTextFile);
    backup.SetArchivePassword(archivePassword);
    ASSERT_TRUE(backup.Save(*connection, archive));
  }

  bool Restore(const std::string& target, const std::string& dbPassword,
               const std::string& archivePassword = {}) {
    CBackup backup;
    backup.SetLanguageResources(LanguageResources::English());
    backup.SetArchivePassword(archivePassword);
    return backup.Restore(target, archive, false, {}, dbPassword);
  }

  // The restored row, read with `password`; the file refuses to open without it.
  void ExpectRestoredUnder(const std::string& target, const std::string& password) {
    if (!password.empty()) {
      EXPECT_THROW(data::OpenConnection(target)->Execute("SELECT * FROM [Vault]"), Error);
    }
    auto db = data::OpenConnection(Protected(target, password));
    data::testing::RowList rows = data::testing::Rows(*db, "SELECT [Entry] FROM [Vault]");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].AsText(), kSecret);
  }

  void ExpectInClear(bool clear) {
    const std::string raw = ReadFile(archive);
    EXPECT_EQ(raw.find(Utf16(kSecret)) != std::string::npos, clear);
    EXPECT_EQ(raw.find("Vault") != std::string::npos, clear) << "the document names the table";
    EXPECT_EQ(zip::ArchiveReader(archive).Encrypted(), !clear);
  }

  TempFolder folder;
  std::string archive = folder / "backup.vbk";
};

TEST_F(EncryptedBackup, AProtectedDatabaseIsSavedUnderItsPasswordAndRestoredProtected) {
  const std::string source = MakeSource("Ox8 Treasure");
  Save(source);
  ExpectInClear(false);
  if (std::system("command -v unzip >/dev/null 2>&1") == 0) {
    testing::Result listed = testing::RunHost(folder, "unzip -p " + testing::ShellQuoted(archive) + " #", {});
    EXPECT_EQ(listed.out.find(Utf16(kSecret)), std::string::npos);
  }

  // Without the password: the look says what the file is, the check and the restore refuse it as locked.
  const BackupInfo locked = InspectBackup(archive);
  EXPECT_TRUE(locked.encrypted && locked.locked);
  EXPECT_EQ(locked.members.size(), 4u);
  EXPECT_TRUE(locked.tables.empty());
  EXPECT_EQ(Failure([&] { VerifyBackup(archive); }).Number(), kArchivePassword);
  EXPECT_EQ(Failure([&] { VerifyBackup(archive, {}, {}, "wrong"); }).Number(), kArchivePassword);
  EXPECT_EQ(Failure([&] { InspectBackup(archive, "wrong"); }).Number(), kArchivePassword);
  const std::string target = FileDatabase(folder / "target.db");
  for (const char* password : {"", "wrong"}) {
    const Error refused = Failure([&] { Restore(target, password); });
    EXPECT_EQ(refused.Number(), kArchivePassword) << refused.Description();
    EXPECT_EQ(refused.Description().find("damaged"), std::string::npos) << refused.Description();
    EXPECT_FALSE(std::filesystem::exists(folder / "target.db"));
  }

  // With it.
  const BackupInfo info = InspectBackup(archive, "Ox8 Treasure");
  EXPECT_TRUE(info.encrypted && !info.locked);
  ASSERT_EQ(info.tables.size(), 1u);
  EXPECT_EQ(info.tables[0].headerCount, 1u);
  EXPECT_TRUE(VerifyBackup(archive, {}, {}, "Ox8 Treasure").Sound());
  ASSERT_TRUE(Restore(target, "Ox8 Treasure"));
  ExpectRestoredUnder(target, "Ox8 Treasure");
  // Another password for the new file: the backup is opened by the one given for it.
  ASSERT_TRUE(Restore(target, "New key", "Ox8 Treasure"));
  ExpectRestoredUnder(target, "New key");
}

TEST_F(EncryptedBackup, AGivenArchivePasswordEncryptsAnyBackupAndProtectsTheRestoredFile) {
  const std::string source = MakeSource("Ox8 Treasure");
  Save(source, "Archive key");
  ExpectInClear(false);
  EXPECT_EQ(Failure([&] { InspectBackup(archive, "Ox8 Treasure"); }).Number(), kArchivePassword);
  const std::string target = FileDatabase(folder / "target.db");
  ASSERT_TRUE(Restore(target, {}, "Archive key"));
  ExpectRestoredUnder(target, "Archive key");

  // A plain database stays in clear, unless a password is asked for.
  std::filesystem::remove(folder / "source.db");
  const std::string plain = MakeSource({});
  Save(plain);
  ExpectInClear(true);
  EXPECT_FALSE(InspectBackup(archive).encrypted);
  Save(plain, "Archive key");
  ExpectInClear(false);
  ASSERT_TRUE(Restore(target, "Db key", "Archive key"));
  ExpectRestoredUnder(target, "Db key");
}

// The host: --archive-password-file on save, inspect, verify and restore; without it, inspect says that the
// file is encrypted and verify refuses it with the password's own error.
TEST_F(EncryptedBackup, TheHostTakesTheArchivePasswordFromAFile) {
  const std::string source = MakeSource({});
  const std::string passwordFile = folder / "archive.pw";
  { std::ofstream(passwordFile) << "Archive key\n"; }
  using testing::Host;
  ASSERT_EQ(
      Host(folder, {"save", "-c", source, "-f", archive, "--archive-password-file", passwordFile, "--quiet"})
          .status,
      0);
  ExpectInClear(false);
  testing::Result inspected = Host(folder, {"inspect", "-f", archive});
  EXPECT_EQ(inspected.status, 0);
  EXPECT_NE(inspected.out.find("Encrypted: yes"), std::string::npos) << inspected.out;
  EXPECT_NE(inspected.out.find("--archive-password-file"), std::string::npos) << inspected.out;
  testing::Result refused = Host(folder, {"verify", "-f", archive});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("0x8007052B"), std::string::npos) << refused.err;
  EXPECT_EQ(Host(folder, {"verify", "-f", archive, "--archive-password-file", passwordFile}).status, 0);
  const std::string target = folder / "target.db";
  ASSERT_EQ(Host(folder,
                 {"restore", "-c", target, "-f", archive, "--archive-password-file", passwordFile, "--quiet"})
                .status,
            0);
  ExpectRestoredUnder(FileDatabase(target), "Archive key");
}

}  // namespace
}  // namespace vela
