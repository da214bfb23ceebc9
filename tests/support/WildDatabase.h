// A SQLite database made the way other programs make them, not through the file-database provider:
// dynamic types in an untyped column, NUMERIC and DECIMAL values, integer and ISO-8601 timestamps, a
// WITHOUT ROWID table with a text key, CHECK, COLLATE NOCASE, an expression index, a unique partial index,
// a view and a trigger. The round-trip tests restore a text backup of it and ask both files the same
// queries (Answers), which must agree.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "support/SqliteFiles.h"

namespace vela::testing {

inline constexpr const char* kWildSchema = R"sql(
CREATE TABLE Customer (
  CustomerId INTEGER PRIMARY KEY AUTOINCREMENT,
  Name NVARCHAR(40) NOT NULL,
  Email TEXT COLLATE NOCASE,
  Age INTEGER CHECK (Age >= 0),
  Joined TIMESTAMP,
  Seen TEXT);
CREATE TABLE Invoice (
  InvoiceId INTEGER PRIMARY KEY,
  CustomerId INTEGER NOT NULL REFERENCES Customer (CustomerId),
  Total NUMERIC(10,2) NOT NULL,
  Exact DECIMAL(18,4));
CREATE TABLE Loose (Id INTEGER PRIMARY KEY, Anything);
CREATE TABLE Tag (Name TEXT PRIMARY KEY, Weight INTEGER NOT NULL) WITHOUT ROWID;
CREATE INDEX CustomerLowerName ON Customer (lower(Name));
CREATE UNIQUE INDEX CustomerAdultEmail ON Customer (Email) WHERE Age >= 18;
CREATE VIEW Adults AS SELECT Name, Age FROM Customer WHERE Age >= 18;
CREATE TABLE AuditLog (Id INTEGER PRIMARY KEY, Note TEXT);
CREATE TRIGGER CustomerAudit AFTER INSERT ON Customer BEGIN
  INSERT INTO AuditLog (Note) VALUES ('new customer ' || NEW.Name);
END;
INSERT INTO Customer (Name, Email, Age, Joined, Seen) VALUES
  ('Ada', 'ada@example.com', 36, 1706932800, '2024-02-03T04:05:06.123Z'),
  ('bob', 'Bob@Example.com', 17, '2023-11-05 10:00:00', '2023-11-05T10:00:00Z'),
  ('Cleo', NULL, 52, 1700000000, NULL);
INSERT INTO Invoice VALUES
  (1, 1, 1.98, '12345678901234.1234'), (2, 1, 25.86, 0.5), (3, 2, 9.91, NULL), (4, 3, 13.86, '-0.0001'),
  (5, 2, 0.99, 100);
INSERT INTO Loose VALUES (1, 42), (2, 3.25), (3, 'text'), (4, x'00ff'), (5, NULL), (6, '42'), (7, -7);
INSERT INTO Tag VALUES ('blue', 3), ('Red', 1), ('green', 2);
)sql";

// The queries whose answers a text round trip must keep: aggregates, ordering, comparisons with numbers,
// the storage class of every value, and what each constraint and object does.
inline const std::vector<std::string>& WildQueries() {
  static const std::vector<std::string> queries = {
      "SELECT max(Total), min(Total), sum(Total) FROM Invoice",
      "SELECT InvoiceId FROM Invoice ORDER BY Total",
      "SELECT InvoiceId FROM Invoice WHERE Total > 10 ORDER BY 1",
      "SELECT InvoiceId, typeof(Total), Total, typeof(Exact), Exact FROM Invoice ORDER BY 1",
      "SELECT Id, typeof(Anything), quote(Anything) FROM Loose ORDER BY 1",
      "SELECT Id FROM Loose WHERE Anything = 42 ORDER BY 1",
      "SELECT CustomerId, typeof(Joined), Joined, typeof(Seen), Seen FROM Customer ORDER BY 1",
      "SELECT Name FROM Customer WHERE Email = 'BOB@EXAMPLE.COM'",
      "SELECT Name FROM Tag ORDER BY Name",
      "SELECT Name, Weight FROM Tag WHERE Name = 'blue'",
  };
  return queries;
}

// Every row of a query, each value as its storage class and text ("integer:42", "null:").
inline std::vector<std::string> Answers(const std::string& path, const std::string& query) {
  sqlite3* raw = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(raw);
    ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), query.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    rows.push_back(std::string("error: ") + sqlite3_errmsg(db.get()));
    return rows;
  }
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      static const char* kClasses[] = {"", "integer", "real", "text", "blob", "null"};
      const unsigned char* text = sqlite3_column_text(stmt, i);
      row += std::string(kClasses[sqlite3_column_type(stmt, i)]) + ":" +
             (text ? reinterpret_cast<const char*>(text) : "") + " | ";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  return rows;
}

// Makes the database at `path` with the sqlite3 library alone.
inline void MakeWildDatabase(const std::string& path) {
  ASSERT_EQ(Exec(path, kWildSchema), "");
}

}  // namespace vela::testing
