// The SQL of an engine object in a backup (a view, a trigger, an index over expressions, a table
// definition) makes that object and nothing else. A backup edited to carry more (other statements, another
// object's name, a temporary object) restores without it: the object is named in the one notice of objects
// left out, nothing else in or beside the target changes, and verify reports the object as damage.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/BackupFile.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::Answers;
using testing::FileDatabase;
using ::testing::HasSubstr;
using Notices = testing::EventRecorder;

constexpr const char* kFileProvider = "Microsoft.Jet.OLEDB.4.0";

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\n':
        out += "&#10;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

class EngineSqlFromBackup : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_.SetLanguageResources(LanguageResources::English());
    backup_.SetEvents(&notices_);
    testing::MakeWildDatabase(source_);
    // A trigger whose body holds a CASE ... END and a text "END;", and a view with a comment after it.
    ASSERT_EQ(testing::Exec(source_, R"sql(
      CREATE TRIGGER CustomerBand AFTER UPDATE OF Age ON Customer WHEN NEW.Age > 0 BEGIN
        INSERT INTO AuditLog (Note) VALUES (CASE WHEN NEW.Age >= 18 THEN 'adult' ELSE 'minor' END);
        INSERT INTO AuditLog (Note) VALUES ('END;');
      END;
      CREATE VIEW Minors AS SELECT Name FROM Customer WHERE Age < 18; -- the young ones
    )sql"),
              "");
    std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }

  // The backup with the SQL of the object `name` replaced, as an attacker would edit it.
  void Forge(const std::string& name, const std::string& sql) {
    testing::Members members = testing::ReadArchive(archive_);
    std::string& document = members.at(kDocumentMember);
    std::size_t object = document.find("Name=\"" + name + "\" ", document.find("<EngineObjects"));
    ASSERT_NE(object, std::string::npos) << name;
    object = document.rfind("<Object", object);
    const std::size_t value = document.find("SQL=\"", object) + 5;
    document.replace(value, document.find('"', value) - value, XmlEscaped(sql));
    testing::WriteArchive(archive_, members);
  }

  // Restores the backup; the notice of objects left out, or "" when there was none.
  std::string Restore() {
    EXPECT_TRUE(backup_.Restore(FileDatabase(target_), archive_));
    std::string leftOut;
    for (const Notices::Message& message : notices_.messages)
      if (message.guid == kObjectsLeftOutGuid) leftOut += message.prompt;
    return leftOut;
  }

  // What verify says of the backup, one line per problem.
  std::string Damage() {
    std::string lines;
    for (const VerifyProblem& problem : VerifyBackup(archive_).problems) lines += problem.text + "\n";
    return lines;
  }

  std::string Run(const std::string& sql) { return testing::Exec(target_, sql); }

  testing::TempFolder folder_;
  std::string source_ = folder_ / "wild.db", target_ = folder_ / "restored.db",
              archive_ = folder_ / "wild.vbk";
  CBackup backup_;
  Notices notices_;
};

TEST_F(EngineSqlFromBackup, EveryObjectOfAnUntouchedBackupComesBackAndVerifyFindsNothing) {
  EXPECT_EQ(Damage(), "");
  EXPECT_EQ(Restore(), "");
  for (const char* query :
       {"SELECT * FROM Minors", "SELECT * FROM Adults ORDER BY Name",
        "SELECT Name FROM Customer INDEXED BY CustomerLowerName WHERE lower(Name) = 'ada'"})
    EXPECT_EQ(Answers(target_, query), Answers(source_, query)) << query;
  ASSERT_EQ(Run("UPDATE Customer SET Age = 20 WHERE Name = 'bob'"), "");
  EXPECT_EQ(Answers(target_, "SELECT Note FROM AuditLog WHERE Note NOT LIKE 'new customer%' ORDER BY Id"),
            (std::vector<std::string>{"text:adult | ", "text:END; | "}));
  EXPECT_THAT(Run("INSERT INTO Customer (Name, Age) VALUES ('Minus', -1)"), HasSubstr("CHECK"));
}

TEST_F(EngineSqlFromBackup, AViewThatCarriesOtherStatementsRunsNoneOfThem) {
  const std::string victim = folder_ / "victim.db", made = folder_ / "made.db";
  ASSERT_EQ(testing::Exec(victim,
                          "CREATE TABLE accounts (id INTEGER PRIMARY KEY, owner TEXT);"
                          "INSERT INTO accounts (owner) VALUES ('ada'), ('bob'), ('cleo');"),
            "");
  const std::string before = testing::ReadFile(victim);
  Forge("Adults", "ATTACH '" + victim + "' AS v; DELETE FROM v.accounts; DETACH v; VACUUM INTO '" + made +
                      "'; DELETE FROM Customer; CREATE VIEW Adults AS SELECT Name, Age FROM Customer");

  EXPECT_THAT(Restore(), HasSubstr("view Adults"));
  EXPECT_EQ(testing::ReadFile(victim), before);
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_EQ(Answers(target_, "SELECT count(*) FROM Customer"), (std::vector<std::string>{"integer:3 | "}));
  EXPECT_THAT(Run("SELECT * FROM Adults"), HasSubstr("no such table"));
  // The other objects are made as usual.
  EXPECT_EQ(Answers(target_, "SELECT * FROM Minors"), Answers(source_, "SELECT * FROM Minors"));
  EXPECT_THAT(Damage(), HasSubstr("view Adults"));
}

TEST_F(EngineSqlFromBackup, SqlThatMakesAnotherObjectOrATemporaryOneIsLeftOut) {
  struct Case {
    const char* name;
    const char* sql;
    const char* named;
    bool damage = true;  // what verify sees without the rows
  };
  // Each the only change to the backup; all but the temporary view were made on main without a word.
  const Case cases[] = {
      {"CustomerLowerName", "CREATE INDEX CustomerLowerName ON Invoice (Total * 2)",
       "index CustomerLowerName on Customer"},
      {"CustomerAudit", "CREATE TRIGGER InvoiceWipe AFTER INSERT ON Customer BEGIN DELETE FROM Invoice; END",
       "trigger CustomerAudit on Customer"},
      {"Customer",
       "CREATE TABLE Elsewhere (CustomerId INTEGER PRIMARY KEY AUTOINCREMENT, Name NVARCHAR(40) NOT NULL, "
       "Email TEXT COLLATE NOCASE, Age INTEGER CHECK (Age >= 0), Joined TIMESTAMP, Seen TEXT)",
       "table Customer"},
      {"Customer",
       "CREATE TABLE Customer (CustomerId INTEGER PRIMARY KEY AUTOINCREMENT, Name NVARCHAR(40) NOT NULL, "
       "Email TEXT COLLATE NOCASE, Age INTEGER CHECK (Age >= 0), Joined TIMESTAMP, Seen TEXT, "
       "Lost INTEGER DEFAULT 1 UNIQUE ON CONFLICT IGNORE)",
       "table Customer", false},
      {"Minors", "CREATE TEMP VIEW Minors AS SELECT Name FROM Customer", "view Minors"},
      {"CustomerBand",
       "CREATE TRIGGER CustomerBand AFTER INSERT ON Customer BEGIN SELECT 1; END; DELETE FROM Invoice",
       "trigger CustomerBand on Customer"},
  };
  const testing::Members original = testing::ReadArchive(archive_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WriteArchive(archive_, original);
    Forge(c.name, c.sql);
    notices_.messages.clear();
    EXPECT_THAT(Restore(), HasSubstr(c.named));
    EXPECT_EQ(Answers(target_, "SELECT count(*) FROM Invoice"), (std::vector<std::string>{"integer:5 | "}));
    EXPECT_EQ(Answers(target_, "SELECT count(*) FROM Customer"), (std::vector<std::string>{"integer:3 | "}));
    EXPECT_EQ(Answers(target_, "SELECT name FROM sqlite_master WHERE name IN ('Elsewhere', 'InvoiceWipe')"),
              std::vector<std::string>{});
    if (c.damage) {
      EXPECT_THAT(Damage(), HasSubstr(c.named));
    }
  }
}

TEST(EngineObjectCheck, NamesWhatAnObjectsSqlMayNotDo) {
  using data::CheckEngineObject;
  using data::EngineObject;
  const std::vector<EngineObject> sound = {
      {"view", "V", "", "", "CREATE VIEW \"V\" AS SELECT 1 /* ; */"},
      {"view", "C", "", "",
       "CREATE VIEW C (n) AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3) "
       "SELECT sum(x) OVER () FROM c"},
      {"table", "T", "T", "CHECK", "CREATE TABLE T (a CHECK (a > 0));"},
      {"table", "S", "S", "",
       "CREATE TABLE \"S\" (a INTEGER PRIMARY KEY AUTOINCREMENT, b TEXT UNIQUE, c INTEGER AS (a * 2) STORED, "
       "FOREIGN KEY (b) REFERENCES U (x)) STRICT"},
      {"table", "W", "W", "", "CREATE TABLE W (k TEXT PRIMARY KEY, v) WITHOUT ROWID"},
      {"table", "F", "F", "", "CREATE VIRTUAL TABLE F USING fts5(a, b, tokenize = 'porter')"},
      {"table", "F", "F", "", "CREATE VIRTUAL TABLE \"F\" USING fts4(a)"},
      {"table", "R", "R", "", "CREATE VIRTUAL TABLE R USING rtree(id, x0, x1)"},
      {"index", "I", "T", "", "CREATE UNIQUE INDEX I ON T (lower(a))"},
      {"trigger", "G", "V", "",
       "CREATE TRIGGER G INSTEAD OF UPDATE OF a ON V FOR EACH ROW BEGIN "
       "SELECT CASE WHEN NEW.a < 0 THEN RAISE(ABORT, 'no') END; END"},
  };
  for (const EngineObject& object : sound)
    EXPECT_EQ(CheckEngineObject(kFileProvider, object), "") << object.sql;
  std::vector<EngineObject> refused;
  for (const char* view : {"CREATE VIEW V AS SELECT 1; SELECT 2", "CREATE VIEW main.V AS SELECT 1",
                           "CREATE VIEW IF NOT EXISTS V AS SELECT 1", "CREATE VIEW V AS SELECT 'unterminated",
                           "CREATE TABLE V (a)", ""})
    refused.push_back({"view", "V", "", "", view});
  refused.insert(
      refused.end(),
      {
          {"table", "T", "T", "", "CREATE TABLE T AS SELECT 1"},
          {"table", "T", "T", "", "CREATE VIRTUAL TABLE T USING fts5vocab(main, F, row)"},
          {"table", "T", "T", "", "CREATE VIRTUAL TABLE T USING dbstat"},
          {"table", "T", "T", "", "CREATE VIRTUAL TABLE temp.T USING fts5(a)"},
          {"table", "T", "T", "", "CREATE VIRTUAL TABLE IF NOT EXISTS T USING fts5(a)"},
          {"table", "T", "T", "", "CREATE VIRTUAL TABLE U USING fts5(a)"},
          {"table", "T", "T", "", "CREATE VIRTUAL TABLE T USING fts5(a); DROP TABLE T_data"},
          {"index", "I", "T", "", "CREATE INDEX I ON T (a) WHERE (SELECT 1); VACUUM"},
          {"trigger", "G", "T", "", "CREATE TRIGGER G AFTER INSERT ON T BEGIN SELECT 1; END; END;"},
          {"trigger", "G", "T", "", "CREATE TEMP TRIGGER G AFTER INSERT ON T BEGIN SELECT 1; END"},
          {"sequence", "S", "", "", "CREATE SEQUENCE S"},
      });
  for (const EngineObject& object : refused)
    EXPECT_NE(CheckEngineObject(kFileProvider, object), "") << object.sql;
  // The server reads the file engine's trigger, whose body holds statements of its own, as more than one.
  EXPECT_THAT(CheckEngineObject("SQLOLEDB.1", {"trigger", "G", "T", "",
                                               "CREATE TRIGGER G AFTER INSERT ON T "
                                               "BEGIN SELECT 1; END"}),
              ::testing::HasSubstr("more than one statement"));
}

}  // namespace
}  // namespace vela
