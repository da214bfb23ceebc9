// Database passwords: a file protected with a password is encrypted by the engine itself, SQLite3
// Multiple Ciphers (third_party/sqlite3mc), in the SQLCipher 4 format (its cipher "sqlcipher", legacy=4):
// AES-256-CBC pages with an HMAC-SHA512 over each page, its page number and a fresh IV; the key is
// PBKDF2-HMAC-SHA512 of the password with the file's random salt (256,000 rounds); page size 4096. A
// protected file opens in SQLCipher 4 tools with the same password, and in nothing without it.
//
// The engine encrypts the database, its rollback journal and write-ahead log; the connections of a
// protected database keep their temporary data in memory, so no plain page reaches the disk.
//
// The key is given right after the engine opens the file and before anything reads it. A password is never
// dropped: a file made with one is encrypted, and a plain file refuses one (see JetConnection.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/data/sqlite/SqliteApi.h"
#include "velabackup/data/Connection.h"

namespace vela::data::sqlite {

// What the first bytes of a file say.
enum class FileKind {
  Missing,
  Empty,       // no byte yet: becomes a database at the first write
  Plain,       // the engine's own header in the clear: not protected
  Protected,   // anything else: a protected database, or no database at all
  Unreadable,  // left for the engine to report
};
FileKind InspectFile(const std::filesystem::path& path);

// The bytes at the start of a database file that CheckCopyHeader reads.
inline constexpr std::size_t kCopyHeaderBytes = 24;
// What the first bytes and the size of a direct copy say of it: the engine's header in the clear; or, for
// a protected file, which starts with random salt, no header at all but a whole number of pages.
DirectCopyCheck CheckCopyHeader(std::string_view start, std::uint64_t size);

// Checks every page of a database file through the engine (its quick check), keyed with `password` when
// the file is encrypted: kDamaged with what the engine found, kOpaque for an encrypted file without a
// password. A password the file does not open with fails with kAuthenticationFailed.
DirectCopyCheck CheckCopyPages(const std::filesystem::path& copy, std::string_view password);

// A path as messages name it.
std::string Quoted(const std::filesystem::path& path);

// Opens the engine on a file, plain or (with a password) keyed; fails with the path named. `create`
// makes the file when it is missing.
DbHandle OpenEngine(const std::filesystem::path& path, std::string_view password, bool create);

// The first read of a file just opened, turning the engine's complaints into messages about the file: with
// a key, a first page that does not open means a wrong password (or a damaged file).
void ProbeFile(sqlite3* db, const std::filesystem::path& path, bool keyed);

// Encrypts the plain database of an open connection in place with the password.
void EncryptInPlace(sqlite3* db, const std::filesystem::path& path, std::string_view password);

// Copies the whole database `from` into the new, empty database `to` through the engine's online backup;
// both are plain, or both keyed. A failure names `what`.
void CopyDatabase(sqlite3* from, sqlite3* to, std::string_view what);

}  // namespace vela::data::sqlite
