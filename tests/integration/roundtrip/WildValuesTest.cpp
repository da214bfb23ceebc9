// Save and restore of SQLite files other programs made: every value comes back in the storage class and
// with the text it was stored with, and the host hears of the values that cannot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/EventRecorder.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::FileDatabase;
using ::testing::HasSubstr;
using Notices = testing::EventRecorder;
using testing::TempFolder;

constexpr const char* kConvertedNotice = "{0B794FEA-B32F-4652-8804-3AEE52723951}";

class WildValues : public ::testing::TestWithParam<BackupModeEnum> {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
    backup_.SetBackupMode(GetParam());
  }
  void RoundTrip() {
    {
      std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source_));
      ASSERT_TRUE(backup_.Save(*connection, archive_));
    }
    ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_, true));
  }
  std::vector<Notices::Message> ConvertedNotices() const {
    std::vector<Notices::Message> found;
    for (const Notices::Message& message : notices_.messages)
      if (message.guid == kConvertedNotice) found.push_back(message);
    return found;
  }

  TempFolder folder_;
  std::string source_ = folder_ / "wild.db";
  std::string archive_ = folder_ / "wild.vbk";
  std::string target_ = folder_ / "restored.db";
  CBackup backup_;
  Notices notices_;
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
  EXPECT_EQ(testing::Answers(target_, "SELECT quote(Body), quote(Score), quote(Title) FROM Doc ORDER BY Id"),
            (std::vector<std::string>{
                "text:'42' | text:7.0 | text:'a' | ", "text:'{\"a\":1}' | text:2.5 | text:'b' | ",
                "text:'3.5' | text:8.0 | text:'c' | ", "text:NULL | text:NULL | text:NULL | "}));
}

INSTANTIATE_TEST_SUITE_P(TextModes, WildValues,
                         ::testing::Values(bmCompressedTextFile, bmUncompressedTextFile),
                         [](const auto& info) {
                           return info.param == bmCompressedTextFile ? std::string("Compressed")
                                                                     : std::string("Uncompressed");
                         });

}  // namespace
}  // namespace vela
