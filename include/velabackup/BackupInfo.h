// Reading a backup file without a database: what it holds (InspectBackup) and whether it is sound
// (VerifyBackup). Both read the archive member by member and never unpack it whole; a table data file is
// read row by row, so memory stays flat whatever the size of the tables.
//
// A backup file is untrusted input: names, counts and sizes here are what the file says, and names may hold
// any character (a host escapes them before they reach a terminal). A file that cannot be opened as a zip
// archive at all, or whose backup document cannot be read, fails with vela::Error; damage found inside a
// readable archive is reported, not thrown.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "velabackup/Enums.h"

namespace vela {

enum class BackupLayout {
  kCurrent,    // the backup document or the mode member is there
  kOlder,      // a zip archive of an older layout: neither is there
  kNotBackup,  // not a zip archive
};

enum class MemberRole {
  kDocument,        // the backup document
  kMode,            // the mode member
  kProvider,        // the provider member
  kTableData,       // the data file of one table (BackupMember::table)
  kNativeCopy,      // the engine's own copy of the database
  kAdditionalFile,  // a file of the host, or anything else
};

struct BackupMember {
  std::string name;
  MemberRole role = MemberRole::kAdditionalFile;
  std::string table;  // kTableData: the table whose rows it holds
  std::uint64_t size = 0;
  std::uint64_t packedSize = 0;
  std::uint16_t method = 0;  // the zip compression method: 0 stored, 8 deflated
};

struct BackupColumn {
  std::string name;
  int dataType = 0;        // the data-access type number (data::DataTypeEnum)
  std::string serverType;  // the server's own type name, when the backup keeps it ("varchar(40)")
  std::optional<std::int64_t> size, precision, scale;  // as the document gives them
  bool nullable = true;
  bool autoincrement = false;
};

struct BackupIndex {
  std::string name;
  std::vector<std::string> columns;
  bool primaryKey = false;
  bool unique = false;
};

struct BackupKey {
  std::string name;
  std::vector<std::string> columns;
  std::string relatedTable;
  std::vector<std::string> relatedColumns;  // beside `columns`, empty items where the backup names none
};

struct BackupTable {
  std::string name;
  std::string schema;    // a server table's schema when it is not the default one
  std::string fileName;  // the data file's member as the document names it
  bool dataPresent = false;
  // False when the backup marks the table as saved without its rows (structure only); backups written
  // before the mark say true, and a missing data file is then all there is to go by.
  bool dataSaved = true;
  std::uint32_t columns = 0;
  std::optional<std::uint32_t> headerCount;  // the row count in the data file's header
  std::vector<BackupColumn> columnList;
  std::vector<BackupIndex> indexes;  // primary keys and unique constraints among them
  std::vector<BackupKey> keys;       // foreign keys
};

// Where and when the backup was made, as its document says (backups written before it was kept lack it).
struct BackupOrigin {
  std::string database;  // the database's name (a file database's file name, without its folder)
  std::string engine;    // the engine and its version: "PostgreSQL 15.10", "SQLite 3.46.1"
  std::string made;      // UTC, ISO 8601: "2026-12-07T19:30:05Z"
  std::string tool;      // the writer and its version: "VelaBackup 0.1.0"
};

struct BackupInfo {
  BackupLayout layout = BackupLayout::kNotBackup;
  std::optional<BackupModeEnum> mode;  // absent when the mode member is missing or holds no known mode
  std::string modeText;                // the mode member's text as stored (trimmed, at most 64 bytes)
  std::optional<DataProvider> provider;
  std::string providerText;
  std::vector<BackupMember> members;
  std::vector<BackupTable> tables;
  bool encrypted = false;  // the members are encrypted (AES): they are read with the backup's password
  bool locked = false;     // encrypted and looked at without the password: only the members are known
  std::optional<BackupOrigin> origin;
};

// What the file holds. Throws vela::Error when it is no readable zip archive, or when its backup document is
// larger than kMaxBackupDocument or no well-formed backup document. An encrypted backup is read with
// `password`; without one it is `locked`, with a wrong one kArchivePassword is thrown.
BackupInfo InspectBackup(const std::string& path, const std::string& password = {});

// An object whose code a restore of the backup would make, and run where the object is built or filled.
struct BackupCode {
  std::string kind;  // "view", "trigger", "index", "table" (a definition the columns cannot say); for a
                     // direct copy of a server database also "function", "procedure", "materialized view"...
  std::string name;
  std::string table;   // the table it belongs to, when the backup says
  std::string detail;  // what it holds, for people, when the backup says ("CHECK")
};

struct BackupCodeList {
  std::vector<BackupCode> objects;
  // Why the backup's code could not be listed (a direct copy of a file database, a copy the engine's
  // tools cannot read); empty when `objects` is all of it.
  std::string unlisted;
};

// The code a backup carries, for a look before it is restored: a text backup's engine objects, or what
// the engine's own tools read from a direct copy. Throws as InspectBackup does; an encrypted backup is read
// with `password`.
BackupCodeList ListBackupCode(const std::string& path, const std::string& password = {});

// The largest backup document read: far beyond any real schema, small enough to hold in memory.
inline constexpr std::uint64_t kMaxBackupDocument = std::uint64_t{64} << 20;

struct VerifyProblem {
  std::string member;     // the archive member, when the problem is one member's
  std::string table;      // the table, when the problem is one table's
  std::uint64_t row = 0;  // the row, counted from 1; 0 when the problem is not one row's
  std::string text;
  // The table's data file is not in the archive although the backup does not mark the table as saved
  // without its rows. A backup written before that mark cannot tell the two apart: the caller names such
  // tables to VerifyBackup.
  bool dataFileMissing = false;
};

struct VerifyReport {
  BackupLayout layout = BackupLayout::kNotBackup;
  std::vector<VerifyProblem> problems;  // the first kMaxVerifyProblems found
  std::uint64_t problemCount = 0;       // all that were found
  std::uint64_t membersChecked = 0;
  std::uint64_t tablesChecked = 0;
  std::uint64_t rowsChecked = 0;
  // What was accepted without proof: a table named as saved without its rows, a native copy that is
  // encrypted and so checked by its CRC-32 only.
  std::vector<std::string> notes;
  // An encrypted direct copy was checked without its password: its pages were not read.
  bool copyPagesUnchecked = false;

  bool Sound() const noexcept { return layout == BackupLayout::kCurrent && problemCount == 0; }
};

inline constexpr std::size_t kMaxVerifyProblems = 1000;

// Called as the check moves on: what is being checked and the percent of the archive's bytes done.
using VerifyProgress = std::function<void(const std::string& item, int percent)>;

// Checks the file without a database: every member's size and CRC-32; for a text backup the document
// against the data files (each table's file is there, its header count is the rows it holds, every field
// index is within the table's columns, every value is well formed for its column's type, no row is marked
// corrupted); for a direct copy of a file database, the SQLite header of the native copy, or for an
// encrypted copy (which has none) a size of whole pages. A file of an older layout, or no zip archive at
// all, gives a report with that layout and one problem.
//
// A table the backup marks as saved without its rows has no data file, and none is looked for. For backups
// written before that mark, `tablesWithoutData` names the tables the save was told not to save the rows of
// (compared without regard to case, as the save compares them): their missing data files are noted, not
// reported as damage.
// An encrypted backup is checked with `password`; without it, or with a wrong one, kArchivePassword is
// thrown: a locked file is no damaged one.
//
// The pages of a direct copy of a file database are checked by the engine (its quick check); an encrypted
// copy is opened with `copyPassword`, and without one its pages are left unchecked (copyPagesUnchecked).
VerifyReport VerifyBackup(const std::string& path, const VerifyProgress& progress = {},
                          const std::vector<std::string>& tablesWithoutData = {},
                          const std::string& password = {}, const std::string& copyPassword = {});

}  // namespace vela
