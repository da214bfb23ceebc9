// A SQLite file as applications make theirs, with plain SQL through the engine's own library: declared
// types of their choosing, UTC defaults, generated columns, STRICT and WITHOUT ROWID tables, AUTOINCREMENT,
// full-text and r-tree virtual tables, a view, a trigger, partial and expression indexes, foreign keys with
// actions, the header's user_version and application_id. A text backup restored onto a file gives back the
// same schema entries, columns, settings and sequence, no more free pages than a few, and the same answers
// to the application's queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Archives.h"
#include "support/EventRecorder.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "support/WildDatabase.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/CBackup.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using testing::Answers;
using testing::FileDatabase;

constexpr const char* kNotesApplication = R"sql(
PRAGMA user_version = 12;
PRAGMA application_id = 1313821765;
CREATE TABLE authors (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name VARCHAR(20) NOT NULL COLLATE NOCASE UNIQUE,
  born DATE,
  active BOOLEAN NOT NULL DEFAULT 1,
  created_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE TABLE notes (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  author_id INTEGER REFERENCES authors(id) ON DELETE CASCADE ON UPDATE SET NULL,
  title TEXT NOT NULL,
  body TEXT,
  meta JSON,
  price NUMERIC(8,2),
  tax NUMERIC(8,2) GENERATED ALWAYS AS (round(price * 0.2, 2)) STORED,
  title_len INTEGER AS (length(title)) VIRTUAL,
  created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP
);
CREATE TABLE tags (note_id INTEGER NOT NULL REFERENCES notes(id) ON DELETE CASCADE, tag TEXT NOT NULL,
  PRIMARY KEY (note_id, tag)) WITHOUT ROWID;
CREATE TABLE events (id INTEGER PRIMARY KEY, kind TEXT NOT NULL, at INTEGER NOT NULL, data ANY,
  author_id INTEGER REFERENCES authors(id) ON DELETE SET NULL) STRICT;
CREATE TABLE plain(id INTEGER PRIMARY KEY, label TEXT);
CREATE VIRTUAL TABLE search USING fts5(title, body, tokenize = 'porter');
CREATE VIRTUAL TABLE archive USING fts4(content);
CREATE VIRTUAL TABLE places USING rtree(id, min_x, max_x, min_y, max_y);
CREATE VIEW priced AS SELECT n.id, n.title, a.name, n.tax FROM notes n JOIN authors a ON a.id = n.author_id
  WHERE n.price > 1;
CREATE TRIGGER notes_indexed AFTER INSERT ON notes BEGIN
  INSERT INTO search(rowid, title, body) VALUES (new.id, new.title, new.body);
END;
CREATE INDEX notes_priced ON notes(price) WHERE price IS NOT NULL;
CREATE INDEX authors_lower ON authors(lower(name));
CREATE INDEX events_kind ON events(kind, at);
INSERT INTO authors(name, born, active, created_at) VALUES ('Ada', '1815-12-10', 1, '2024-01-01 10:00:00'),
  ('bob', NULL, 0, '2024-02-01 11:00:00'), ('Cleo', '1990-05-05', 1, '2024-03-01 12:00:00');
DELETE FROM authors WHERE name = 'Cleo';
INSERT INTO notes(author_id, title, body, meta, price, created_at) VALUES
  (1, 'Engines', 'the analytical engine weaves algebraic patterns', '{"k":1}', 12.5, '2024-01-02 10:00:00'),
  (2, 'Dogs', 'the lazy dog sleeps', NULL, 0.5, '2024-02-02 11:00:00'),
  (1, 'Looms', 'patterns woven like a jacquard loom', '[1,2]', 3, '2024-01-03 10:00:00'),
  (2, 'Running', 'dogs running in the park', NULL, NULL, '2024-02-03 09:00:00');
DELETE FROM notes WHERE id = 2;
INSERT INTO tags VALUES (1, 'math'), (1, 'history'), (3, 'craft');
INSERT INTO events VALUES (1, 'login', 1700000000000, 'x', 1), (2, 'logout', 1700000000500, 42, 2);
INSERT INTO plain VALUES (1, 'one'), (5, 'five');
INSERT INTO archive(docid, content) VALUES (7, 'alpha beta gamma'), (9, 'beta delta');
INSERT INTO places VALUES (1, 0, 10, 0, 10), (2, 5, 15, 5, 15);
)sql";

// A backup of a file, its notices recorded.
struct RecordedBackup {
  RecordedBackup() {
    backup.SetLanguageResources(LanguageResources::English());
    backup.SetEvents(&notices);
  }
  bool Save(const std::string& file, const std::string& archive) {
    std::unique_ptr<data::Connection> connection = data::OpenConnection(FileDatabase(file));
    return backup.Save(*connection, archive);
  }
  // The notice of what a restore left out.
  std::string LeftOut() const {
    std::string lines;
    for (const auto& message : notices.messages)
      if (message.guid == kObjectsLeftOutGuid) lines += message.prompt + "\n";
    return lines;
  }

  testing::EventRecorder notices;
  CBackup backup;
};

class SqliteApplicationFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testing::Exec(source_, kNotesApplication), "");
    ASSERT_TRUE(recorded_.Save(source_, archive_));
  }

  void ExpectAlike(const std::string& query) {
    EXPECT_EQ(Answers(target_, query), Answers(source_, query)) << query;
  }
  std::int64_t Number(const std::string& path, const char* query) {
    return std::stoll(Answers(path, query).at(0).substr(std::string("integer:").size()));
  }

  testing::TempFolder folder_;
  std::string source_ = folder_ / "notes.db", target_ = folder_ / "restored.db",
              archive_ = folder_ / "notes.vbk";
  RecordedBackup recorded_;
};

TEST_F(SqliteApplicationFile, VirtualTablesTravelAsTheirRowsNotAsTheTablesTheirModulesKeep) {
  std::vector<std::string> tables;
  for (const BackupTable& table : InspectBackup(archive_).tables) tables.push_back(table.name);
  for (const char* table : {"search", "archive", "places"})
    EXPECT_NE(std::find(tables.begin(), tables.end(), table), tables.end()) << table;
  for (const char* shadow : {"search_data", "search_idx", "search_content", "search_docsize", "search_config",
                             "archive_content", "archive_segdir", "places_node"})
    EXPECT_EQ(std::find(tables.begin(), tables.end(), shadow), tables.end()) << shadow;
  std::string problems;
  for (const VerifyProblem& problem : VerifyBackup(archive_).problems) problems += problem.text + "\n";
  EXPECT_EQ(problems, "");
}

TEST_F(SqliteApplicationFile, AFileToFileRestoreGivesBackTheFileAsTheApplicationMadeIt) {
  ASSERT_TRUE(recorded_.backup.Restore(FileDatabase(target_), archive_));
  EXPECT_EQ(recorded_.LeftOut(), "");
  // The schema as written, every entry: tables, virtual tables and their modules' own, indexes, the view,
  // the trigger; no table of this provider's beside them.
  ExpectAlike("SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY type, name");
  for (const char* table : {"authors", "notes", "tags", "events", "plain", "search", "archive", "places"})
    ExpectAlike(std::string("SELECT * FROM pragma_table_xinfo('") + table + "')");
  ExpectAlike("PRAGMA user_version");
  ExpectAlike("PRAGMA application_id");
  ExpectAlike("SELECT name, seq FROM sqlite_sequence ORDER BY name");
  EXPECT_LE(Number(target_, "PRAGMA freelist_count"), Number(source_, "PRAGMA freelist_count") + 4);
  EXPECT_EQ(Answers(target_, "PRAGMA integrity_check"), (std::vector<std::string>{"text:ok | "}));
  EXPECT_EQ(Answers(target_, "PRAGMA foreign_key_check"), std::vector<std::string>{});

  // The application's own queries.
  for (const char* query : {
           "SELECT * FROM authors ORDER BY id",
           "SELECT id, author_id, title, meta, price, typeof(price), tax, title_len, created_at FROM notes",
           "SELECT * FROM tags ORDER BY note_id, tag",
           "SELECT id, kind, at, typeof(data), data FROM events ORDER BY id",
           "SELECT * FROM priced ORDER BY id",
           "SELECT name FROM authors WHERE name = 'ADA'",
           "SELECT rowid, title FROM search WHERE search MATCH 'pattern' ORDER BY rank",
           "SELECT rowid, highlight(search, 1, '[', ']') FROM search WHERE search MATCH 'run*' ORDER BY "
           "rowid",
           "SELECT docid, content FROM archive WHERE archive MATCH 'beta' ORDER BY docid",
           "SELECT id FROM places WHERE min_x <= 7 AND max_x >= 7 ORDER BY id",
           "SELECT * FROM plain ORDER BY id",
       })
    ExpectAlike(query);

  // New rows behave alike: the sequence goes on past the deleted ids, the generated columns compute, the
  // trigger fills the full-text table, the default is the engine's time in UTC, the keys act.
  for (const std::string& path : {source_, target_}) {
    ASSERT_EQ(testing::Exec(path,
                            "PRAGMA foreign_keys = ON;"
                            "INSERT INTO authors(name) VALUES ('Dora');"
                            "INSERT INTO notes(author_id, title, body, price) VALUES (4, 'Patterns', "
                            "'a pattern of patterns', 10);"
                            "DELETE FROM authors WHERE name = 'bob';"),
              "")
        << path;
  }
  ExpectAlike("SELECT id, name FROM authors ORDER BY id");
  ExpectAlike("SELECT id, author_id, tax, title_len FROM notes ORDER BY id");
  ExpectAlike("SELECT * FROM events ORDER BY id");
  ExpectAlike("SELECT rowid FROM search WHERE search MATCH 'pattern' ORDER BY rowid");
  EXPECT_EQ(Answers(target_,
                    "SELECT abs(strftime('%s', created_at) - strftime('%s', 'now')) < 120 FROM authors "
                    "WHERE name = 'Dora'"),
            (std::vector<std::string>{"integer:1 | "}));
  EXPECT_NE(testing::Exec(target_, "INSERT INTO events VALUES (3, 'x', 'soon', NULL, NULL)"), "");
}

// A statement that drops rows on conflict would keep fewer rows than the backup holds: the table is made by
// the catalog with every row instead, and its statement named among what was left out.
TEST(SqliteAsWritten, AStatementThatWouldDropRowsGivesWayToTheCatalog) {
  testing::TempFolder folder;
  const std::string source = folder / "dup.db", target = folder / "restored.db", archive = folder / "dup.vbk";
  ASSERT_EQ(testing::Exec(source,
                          "CREATE TABLE kinds (id INTEGER PRIMARY KEY, kind TEXT);"
                          "INSERT INTO kinds VALUES (1, 'a'), (2, 'a'), (3, 'b');"),
            "");
  RecordedBackup recorded;
  ASSERT_TRUE(recorded.Save(source, archive));
  testing::Members members = testing::ReadArchive(archive);
  for (auto& [name, content] : members) {  // the statement in the document
    const std::string from = "kind TEXT)";
    if (std::size_t at = content.find(from);
        at != std::string::npos && content.find("CREATE TABLE kinds") < at)
      content.replace(at, from.size(), "kind TEXT UNIQUE ON CONFLICT IGNORE)");
  }
  testing::WriteArchive(archive, members);
  ASSERT_TRUE(recorded.backup.Restore(FileDatabase(target), archive));
  EXPECT_EQ(Answers(target, "SELECT * FROM kinds ORDER BY id"),
            Answers(source, "SELECT * FROM kinds ORDER BY id"));
  EXPECT_NE(recorded.LeftOut().find("table kinds"), std::string::npos) << recorded.LeftOut();
}

// Into the server, a virtual table's rows come as an ordinary table's, its row id a column of them, and the
// notice names what the server does not keep of it.
TEST(SqliteVirtualTables, AcrossEnginesTheRowsComeAndTheVirtualTableIsNamed) {
  VELA_REQUIRE_SERVER();
  testing::TempFolder folder;
  testing::ServerDatabaseGuard databases;
  const std::string source = folder / "fts.db", archive = folder / "fts.vbk";
  const std::string target = databases.Add("vela_fts");
  ASSERT_EQ(testing::Exec(source,
                          "CREATE VIRTUAL TABLE search USING fts5(title, body);"
                          "INSERT INTO search(rowid, title, body) VALUES (10, 'one', 'first text'), "
                          "(20, 'two', 'second text');"),
            "");
  RecordedBackup recorded;
  ASSERT_TRUE(recorded.Save(source, archive));
  ASSERT_TRUE(recorded.backup.Restore(target, archive));
  EXPECT_EQ(
      testing::Scalar(target, "SELECT string_agg(rowid || ':' || title, ',' ORDER BY rowid) FROM search")
          .AsText(),
      "10:one,20:two");
  EXPECT_EQ(
      testing::Scalar(target, "SELECT count(*) FROM pg_tables WHERE tablename LIKE 'search\\_%'").AsInt(), 0);
  EXPECT_NE(recorded.LeftOut().find("table search (VIRTUAL USING fts5)"), std::string::npos)
      << recorded.LeftOut();
}

}  // namespace
}  // namespace vela
