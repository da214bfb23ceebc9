#include "platform/data/sqlite/Protection.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace vela::data::sqlite {
namespace {

constexpr char kPlainHeader[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
constexpr int kSqlcipherVersion = 4;
constexpr std::uint64_t kSmallestPage = 512;  // every page size is a multiple of it

// Selects the SQLCipher 4 scheme for the next key or rekey of the connection; the engine forgets these
// settings once a key is applied, so they precede every one.
void SelectScheme(sqlite3* db, const std::filesystem::path& path) {
  if (sqlite3mc_config(db, "cipher", CODEC_TYPE_SQLCIPHER) != CODEC_TYPE_SQLCIPHER ||
      sqlite3mc_config_cipher(db, "sqlcipher", "legacy", kSqlcipherVersion) != kSqlcipherVersion)
    throw Error(kGeneralFailure, kSource, "The engine cannot encrypt the database " + Quoted(path));
}

}  // namespace

std::string Quoted(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

FileKind InspectFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return FileKind::Missing;
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return FileKind::Unreadable;
  char header[sizeof kPlainHeader] = {};
  in.read(header, sizeof header);
  if (in.bad()) return FileKind::Unreadable;
  if (in.gcount() == 0) return FileKind::Empty;
  if (in.gcount() == sizeof header && std::memcmp(header, kPlainHeader, sizeof header) == 0)
    return FileKind::Plain;
  return FileKind::Protected;
}

DirectCopyCheck CheckCopyHeader(std::string_view start, std::uint64_t size) {
  using Verdict = DirectCopyCheck::Verdict;
  const bool plain = start.size() >= sizeof kPlainHeader &&
                     std::memcmp(start.data(), kPlainHeader, sizeof kPlainHeader) == 0;
  // Bytes 21 to 23 of a plain file's header are always 64, 32, 32; an encrypted file starts with random
  // salt and has neither them nor the header text.
  const bool plainLayout = start.size() == kCopyHeaderBytes && start.compare(21, 3, "\x40\x20\x20") == 0;
  // The header names a database file; the archive's checksum vouches for the rest.
  if (plain) return {Verdict::kSound, {}};
  if (!plainLayout && size != 0 && size % kSmallestPage == 0)
    return {Verdict::kOpaque, "the copy of the file database is encrypted (or no SQLite file)"};
  return {Verdict::kDamaged, "the copy of the file database does not start with the SQLite header"};
}

DirectCopyCheck CheckCopyPages(const std::filesystem::path& copy, std::string_view password) {
  using Verdict = DirectCopyCheck::Verdict;
  const bool encrypted = InspectFile(copy) == FileKind::Protected;
  if (encrypted && password.empty())
    return {Verdict::kOpaque,
            "the copy of the file database is encrypted: its pages were not checked without "
            "its password"};
  std::string found;
  try {
    DbHandle db = OpenEngine(copy, encrypted ? password : std::string_view(), false);
    ProbeFile(db.get(), copy, encrypted);
    constexpr int kProblemsShown = 5;
    Statement check(db.get(), "PRAGMA quick_check(" + std::to_string(kProblemsShown) + ")", copy.string());
    // The engine's lines on one line, without its heading ("*** in database main ***").
    while (check.Step()) {
      const std::string text = check.Text(0);
      for (std::size_t start = 0, end; text != "ok" && start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        if (text.compare(start, 3, "***") != 0 && end > start)
          found += (found.empty() ? "" : "; ") + text.substr(start, end - start);
      }
    }
  } catch (const Error& error) {
    if (error.Number() == kAuthenticationFailed) throw;  // a wrong password is no damage
    found = error.Description();
  }
  if (found.empty()) return {};
  return {Verdict::kDamaged, "the copy of the file database is damaged: " + found};
}

DbHandle OpenEngine(const std::filesystem::path& path, std::string_view password, bool create) {
  // A connection belongs to one thread at a time, so the engine need not lock around every call. An
  // absolute path never reads as a "file:" URI.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  std::string name = std::filesystem::absolute(path).string();
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
  DbHandle db(raw);
  if (rc != SQLITE_OK) {
    std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw Error(kPathAccess, kSource, "Could not open the database " + Quoted(path) + ": " + message);
  }
  if (!password.empty()) {
    SelectScheme(db.get(), path);
    rc = sqlite3_key_v2(db.get(), "main", password.data(), static_cast<int>(password.size()));
    if (rc != SQLITE_OK) ThrowEngineError(db.get(), rc, "keying the database " + path.string());
    // Sorts, temporary tables and indexes being built would otherwise spill plain pages into files.
    ExecAll(db.get(), "PRAGMA temp_store=MEMORY");
  }
  sqlite3_extended_result_codes(db.get(), 1);
  // A double-quoted name no column has must fail, not turn into a text: "DELETE ... WHERE [nope] = 'nope'"
  // would otherwise delete every row. Schemas other programs wrote keep their old reading.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  return db;
}

void ProbeFile(sqlite3* db, const std::filesystem::path& path, bool keyed) {
  try {
    ExecAll(db, "SELECT count(*) FROM sqlite_master");
  } catch (const Error& e) {
    if (e.Number() == kBadFileFormat && keyed)
      throw Error(kAuthenticationFailed, kSource,
                  "Not a valid password for the database " + Quoted(path) + " (or the file is damaged).");
    if (e.Number() == kBadFileFormat)
      throw Error(kBadFileFormat, kSource,
                  "Unrecognized database format " + Quoted(path) + " (" + e.Description() + ")");
    if (e.Number() == kPathAccess)
      throw Error(kPathAccess, kSource,
                  "The database " + Quoted(path) + " cannot be used: it is locked or not accessible (" +
                      e.Description() + ")");
    throw;
  }
}

void EncryptInPlace(sqlite3* db, const std::filesystem::path& path, std::string_view password) {
  // The engine encrypts by rewriting the file (a VACUUM), which a write-ahead log would not allow; its
  // scratch copy stays in memory.
  ExecAll(db, "PRAGMA journal_mode=DELETE; PRAGMA temp_store=MEMORY", path.string());
  SelectScheme(db, path);
  int rc = sqlite3_rekey_v2(db, "main", password.data(), static_cast<int>(password.size()));
  if (rc != SQLITE_OK) ThrowEngineError(db, rc, "encrypting the database " + path.string());
  if (InspectFile(path) != FileKind::Protected)
    throw Error(kGeneralFailure, kSource, "The database " + Quoted(path) + " could not be encrypted");
}

void CopyDatabase(sqlite3* from, sqlite3* to, std::string_view what) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (backup == nullptr) ThrowEngineError(to, sqlite3_errcode(to), what);
  int rc;
  while ((rc = sqlite3_backup_step(backup, 1024)) == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    if (rc != SQLITE_OK) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) ThrowEngineError(rc, sqlite3_errstr(rc), what);
  rc = sqlite3_errcode(to);
  if (rc != SQLITE_OK && rc != SQLITE_DONE) ThrowEngineError(to, rc, what);
}

}  // namespace vela::data::sqlite
