// A database another program made keeps its keys, checks, collations, indexes, views and triggers through
// a text backup; what a target cannot make is named to the host, never dropped without a word.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::Answers;
using testing::FileDatabase;
using ::testing::HasSubstr;
using Notices = testing::EventRecorder;
using testing::TempFolder;

constexpr const char* kLeftOutGuid = "{2CD12757-4EFF-40B5-ADCF-99FD8CDD4B46}";

class WildSchema : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
    testing::MakeWildDatabase(source_);
    std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }
  // Runs a statement on the restored file; the engine's complaint, or "" when it ran.
  std::string Run(const std::string& sql) { return testing::Exec(target_, sql); }

  TempFolder folder_;
  std::string source_ = folder_ / "wild.db", target_ = folder_ / "restored.db",
              archive_ = folder_ / "wild.vbk";
  Notices notices_;
  CBackup backup_;
};

TEST_F(WildSchema, EveryObjectComesBackAndDoesWhatItDid) {
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  EXPECT_TRUE(notices_.messages.empty()) << notices_.messages[0].prompt;
  // The same objects, in the engine's own words (a rebuilt table's name comes back quoted).
  const std::string objects =
      "SELECT type, name, tbl_name, replace(sql, '\"', '') FROM sqlite_master WHERE name IN ('Tag', "
      "'Customer', "
      "'CustomerLowerName', 'CustomerAdultEmail', 'Adults', 'CustomerAudit') ORDER BY type, name";
  EXPECT_EQ(Answers(target_, objects), Answers(source_, objects));
  for (const char* query :
       {"SELECT Name FROM Customer WHERE Email = 'BOB@EXAMPLE.COM'",
        "SELECT Name, Weight FROM Tag ORDER BY Name", "SELECT * FROM Adults ORDER BY Name",
        "SELECT Note FROM AuditLog ORDER BY Id",
        "SELECT Name FROM Customer INDEXED BY CustomerLowerName WHERE lower(Name) = 'ada'"})
    EXPECT_EQ(Answers(target_, query), Answers(source_, query)) << query;

  // What each object enforces.
  EXPECT_THAT(Run("INSERT INTO Customer (Name, Age) VALUES ('Minus', -1)"), HasSubstr("CHECK"));
  EXPECT_EQ(Run("INSERT INTO Customer (Name, Email, Age) VALUES ('Kid', 'ADA@example.com', 12)"), "");
  EXPECT_THAT(Run("INSERT INTO Customer (Name, Email, Age) VALUES ('Twin', 'ADA@EXAMPLE.COM', 40)"),
              HasSubstr("UNIQUE"));
  EXPECT_EQ(Answers(target_, "SELECT Note FROM AuditLog WHERE Note LIKE '%Kid'").size(), 1u);
  EXPECT_THAT(Run("SELECT rowid FROM Tag"), HasSubstr("rowid"));
  EXPECT_THAT(Run("INSERT INTO Tag VALUES ('blue', 9)"), HasSubstr("UNIQUE"));
}

TEST_F(WildSchema, TheKeyOfAWithoutRowidTableIsSavedLikeAnyOther) {
  std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(source_));
  data::Table tag = connection->OpenCatalog()->GetTable("Tag");
  ASSERT_EQ(tag.indexes.size(), 1u);
  EXPECT_TRUE(tag.indexes[0].primaryKey);
  ASSERT_EQ(tag.indexes[0].columns.size(), 1u);
  EXPECT_EQ(tag.indexes[0].columns[0].name, "Name");
  EXPECT_THAT(testing::ReadArchive(archive_).at(kDocumentMember),
              HasSubstr("<Index Name=\"PrimaryKey\" Clustered=\"False\" Unique=\"True\" PK=\"True\""));
}

TEST_F(WildSchema, WhatTheTargetCannotMakeIsNamedInOneNotice) {
  // The same backup, its objects now claimed by an engine the file database does not speak.
  testing::Members members = testing::ReadArchive(archive_);
  std::string& document = members.at(kDocumentMember);
  const std::string provider = "Provider=\"Microsoft.Jet.OLEDB.4.0\"";
  ASSERT_NE(document.find(provider), std::string::npos);
  document.replace(document.find(provider), provider.size(), "Provider=\"SQLOLEDB.1\"");
  testing::WriteArchive(archive_, members);

  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
  ASSERT_EQ(notices_.messages.size(), 1u);
  const Notices::Message& notice = notices_.messages[0];
  EXPECT_EQ(notice.guid, kLeftOutGuid);
  EXPECT_EQ(notice.buttons, 64);
  for (const char* object :
       {"table Customer (COLLATE NOCASE, CHECK)", "table Tag (WITHOUT ROWID)",
        "index CustomerLowerName on Customer (expressions)", "index CustomerAdultEmail on Customer (WHERE)",
        "view Adults", "trigger CustomerAudit on Customer"})
    EXPECT_THAT(notice.prompt, HasSubstr(object));
  // The tables, rows and keys themselves are restored; only the named objects are missing.
  EXPECT_EQ(Answers(target_, "SELECT count(*) FROM Customer"),
            Answers(source_, "SELECT count(*) FROM Customer"));
  EXPECT_THAT(Run("SELECT * FROM Adults"), HasSubstr("no such table"));
}

}  // namespace
}  // namespace vela
