// Save and restore of SQLite files other programs made. Their keys, checks, collations, indexes, views and
// triggers come back through a text backup, and what a target cannot make is named to the host, never
// dropped without a word; every value comes back in the storage class and with the text it was stored
// with, and the host hears of the values that cannot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/BackupFile.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::Answers;
using testing::FileDatabase;
using ::testing::HasSubstr;
using Notices = testing::EventRecorder;
using testing::TempFolder;

// A database of another program saved, and restored, by one CBackup object that keeps the notices.
class WildRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
  }
  void Save() {
    std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }
  void RoundTrip() {
    ASSERT_NO_FATAL_FAILURE(Save());
    ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_, true));
  }
  std::vector<Notices::Message> ConvertedNotices() const {
    std::vector<Notices::Message> found;
    for (const Notices::Message& message : notices_.messages)
      if (message.guid == kConvertedValuesGuid) found.push_back(message);
    return found;
  }
  // Runs a statement on the restored file; the engine's complaint, or "" when it ran.
  std::string Run(const std::string& sql) { return testing::Exec(target_, sql); }

  TempFolder folder_;
  std::string source_ = folder_ / "wild.db", target_ = folder_ / "restored.db",
              archive_ = folder_ / "wild.vbk";
  CBackup backup_;
  Notices notices_;
};

class WildSchema : public WildRoundTrip {
 protected:
  void SetUp() override {
    WildRoundTrip::SetUp();
    testing::MakeWildDatabase(source_);
    Save();
  }
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
  std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source_));
  Table tag = connection->OpenCatalog()->GetTable("Tag");
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
  EXPECT_EQ(notice.guid, kObjectsLeftOutGuid);
  EXPECT_EQ(notice.buttons, 64);
  for (const char* object :
       {"table Customer (COLLATE NOCASE, CHECK, declared types)", "table Invoice (declared types)",
        "table Tag (WITHOUT ROWID)", "index CustomerLowerName on Customer (expressions)",
        "index CustomerAdultEmail on Customer (WHERE)", "view Adults", "trigger CustomerAudit on Customer"})
    EXPECT_THAT(notice.prompt, HasSubstr(object));
  // The tables, rows and keys themselves are restored; only the named objects are missing.
  EXPECT_EQ(Answers(target_, "SELECT count(*) FROM Customer"),
            Answers(source_, "SELECT count(*) FROM Customer"));
  EXPECT_THAT(Run("SELECT * FROM Adults"), HasSubstr("no such table"));
}

class WildValues : public WildRoundTrip, public ::testing::WithParamInterface<BackupModeEnum> {
 protected:
  void SetUp() override {
    WildRoundTrip::SetUp();
    backup_.SetBackupMode(GetParam());
  }
};

TEST_P(WildValues, EveryValueAnswersQueriesAsBefore) {
  testing::MakeWildDatabase(source_);
  RoundTrip();

  int compared = 0;
  for (const std::string& query : testing::WildQueries()) {
    const bool values = query.find("Invoice") != std::string::npos ||
                        query.find("Loose") != std::string::npos || query.find("Joined") != std::string::npos;
    if (!values) continue;
    SCOPED_TRACE(query);
    const std::vector<std::string> expected = testing::Answers(source_, query);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(testing::Answers(target_, query), expected);
    ++compared;
  }
  EXPECT_EQ(compared, 7);
  // Everything was carried as it was stored: nothing to tell.
  EXPECT_THAT(ConvertedNotices(), ::testing::IsEmpty());

  // The provider reads the restored declarations as the types the source had.
  std::unique_ptr<Connection> target = OpenConnection(FileDatabase(target_));
  std::unique_ptr<Catalog> catalog = target->OpenCatalog();
  const Table invoice = catalog->GetTable("Invoice");
  ASSERT_EQ(invoice.columns.size(), 4u);
  EXPECT_EQ(invoice.columns[2].type, adNumeric);
  EXPECT_EQ(invoice.columns[2].precision, 10);
  EXPECT_EQ(invoice.columns[2].numericScale, 2);
  EXPECT_EQ(invoice.columns[3].precision, 18);
  EXPECT_EQ(invoice.columns[3].numericScale, 4);
  EXPECT_EQ(catalog->GetTable("Loose").columns[1].type, adVariant);
  EXPECT_EQ(catalog->GetTable("Customer").columns[4].type, adDate);
}

TEST_P(WildValues, ValuesOnTheEdgesOfTheirClassesComeBackAsStored) {
  // Decimals beyond a double, whole reals, infinities, empty blobs and texts, dates in every form another
  // program writes, 64-bit integers in an INTEGER column, more digits than a Single keeps, and values in
  // columns whose type has no form for them.
  ASSERT_EQ(testing::Exec(source_, R"sql(
    CREATE TABLE Edge (Id INTEGER PRIMARY KEY, Amount DECIMAL(30,10), Price MONEY, Anything, Stamp DATETIME,
                       Flag BOOLEAN, Count INTEGER, Code GUID, Photo BLOB, Note VARCHAR(20), Ratio FLOAT4);
    CREATE TABLE Plain (Id INTEGER PRIMARY KEY, Stamp DATETIME, Amount DECIMAL(10,2));
    INSERT INTO Edge VALUES
      (1, '12345678901234567890.0123456789', 19.99, 9223372036854775807, 2460343.5, 1, 42, x'00112233445566778899AABBCCDDEEFF', x'', 'plain', 0.123456789),
      (2, 1e300, 0, -0.0, '2024-02-03T04:05:06.123Z', 'yes', 3.75, '6f9619ff-8b86-d011-b42d-00c04fc964ff', 'a text', x'FF00', 1e300),
      (3, 'n/a', -12.5, '', 'soon', 5, 'many', 7, 12, 'x', 2.5),
      (4, 1e999, 12345678901234567890, x'', '2024-02-03 04:05:06', -1, x'01', NULL, 3.5, '', 7),
      (5, '-0.000000001', NULL, 1e-300, '2023-11-05 10:00', 0, -9223372036854775808, NULL, NULL, NULL, NULL);
    INSERT INTO Plain VALUES (1, '2024-02-03 04:05:06', 1.5), (2, '2023-11-05 10:00:00.5', 100);
  )sql"),
            "");
  RoundTrip();

  for (const char* query :
       {"SELECT * FROM Edge ORDER BY Id", "SELECT * FROM Plain ORDER BY Id",
        "SELECT Id, typeof(Amount), quote(Amount), typeof(Price), quote(Price), "
        "typeof(Anything), quote(Anything), typeof(Stamp), quote(Stamp), typeof(Flag), "
        "quote(Flag), typeof(Count), quote(Count), typeof(Code), quote(Code), "
        "typeof(Photo), quote(Photo), typeof(Note), quote(Note), typeof(Ratio), quote(Ratio) FROM Edge ORDER "
        "BY Id",
        "SELECT Id FROM Edge ORDER BY Amount, Id", "SELECT sum(Price), max(Anything) FROM Edge"}) {
    SCOPED_TRACE(query);
    EXPECT_EQ(testing::Answers(target_, query), testing::Answers(source_, query));
  }
  EXPECT_THAT(ConvertedNotices(), ::testing::IsEmpty());
}

TEST_P(WildValues, ValuesNoColumnTypeHoldsAreConvertedAndTheHostToldOncePerTable) {
  // "JSON" and "SINGLE" columns of another program have numeric affinity: they keep numbers that a text
  // column and a real column cannot.
  ASSERT_EQ(testing::Exec(source_, R"sql(
    CREATE TABLE Doc (Id INTEGER PRIMARY KEY, Body JSON, Score SINGLE, Title TEXT);
    INSERT INTO Doc VALUES (1, 42, 7, 'a'), (2, '{"a":1}', 2.5, 'b'), (3, 3.5, 8, 'c'), (4, NULL, NULL, NULL);
    CREATE TABLE Fine (Id INTEGER PRIMARY KEY, Body JSON);
    INSERT INTO Fine VALUES (1, 'text only');
  )sql"),
            "");
  RoundTrip();

  const std::vector<Notices::Message> notices = ConvertedNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].buttons, 64);
  EXPECT_THAT(notices[0].prompt, HasSubstr("Table Doc holds 4 value(s) in column(s) Body, Score"));
  // Onto a file the columns are declared as written again, and their affinity turns the values back into
  // the numbers they were.
  const char* query = "SELECT quote(Body), quote(Score), quote(Title) FROM Doc ORDER BY Id";
  EXPECT_EQ(testing::Answers(target_, query), testing::Answers(source_, query));
}

INSTANTIATE_TEST_SUITE_P(TextModes, WildValues,
                         ::testing::Values(bmCompressedTextFile, bmUncompressedTextFile),
                         [](const auto& info) {
                           return info.param == bmCompressedTextFile ? std::string("Compressed")
                                                                     : std::string("Uncompressed");
                         });

}  // namespace
}  // namespace vela
