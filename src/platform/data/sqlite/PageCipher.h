// Database passwords: a file protected with a password is encrypted page by page, so neither its
// content nor its schema can be read from the file, and it does not open without the password.
//
// File format of a protected database (page size fixed at 4096 bytes, 40 bytes reserved per page, which
// the engine leaves unused):
//
//   page 1:  salt[16] | ciphertext of plain bytes 16..4055 | nonce[24] | tag[16]
//   page n:  ciphertext of plain bytes 0..4055            | nonce[24] | tag[16]
//
// The cipher is XChaCha20-Poly1305 (libsodium); the key is Argon2id of the password with the salt; every
// write of a page draws a fresh random nonce; the page number is authenticated with it, so pages cannot
// be swapped. Bytes 0..15 of page 1 are the engine's fixed magic text in the clear, so the salt takes
// their place. The rollback journal holds page images too: each one is sealed the same way (with a
// journal marker instead of the page number); the journal's own headers carry no user data. Temporary
// files and write-ahead logs are refused for protected databases (the connection keeps temporary data in
// memory), so no plain page ever reaches the disk.
//
// The VFS finds a file's key through a token in the file's URI ("vela_key=..."); the key itself never
// appears in a string.
//
// Why not SQLCipher: Debian's package (3.4.1) is a whole SQLite of its own, core 3.15.2 from 2016, with no
// security update recorded since 2017. Its sqlite3_* symbols are the same as the system library's, so a
// process can link only one of them: every database, protected or not, would run on that old core. A VFS
// over the system's maintained SQLite 3.40 keeps one engine and confines the encryption to this file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vela::data::sqlite {

inline constexpr int kCipherPageSize = 4096;
inline constexpr int kCipherReserve = 40;

using Salt = std::array<std::uint8_t, 16>;

class CipherKey {
 public:
  // Derives the key from the password (slow on purpose: Argon2id, interactive limits).
  static std::shared_ptr<const CipherKey> Derive(std::string_view password, const Salt& salt);
  static Salt NewSalt();

  CipherKey(const CipherKey&) = delete;
  CipherKey& operator=(const CipherKey&) = delete;
  ~CipherKey();

  const Salt& GetSalt() const noexcept { return salt_; }
  const std::uint8_t* Key() const noexcept { return key_; }

 private:
  CipherKey() = default;
  Salt salt_{};
  std::uint8_t* key_ = nullptr;  // in guarded memory, wiped when freed
};

// The name of the encrypting VFS, registered with the engine on first use.
const char* CipherVfsName();

// Makes a key known to the VFS for as long as this object lives.
class CipherRegistration {
 public:
  explicit CipherRegistration(std::shared_ptr<const CipherKey> key);
  ~CipherRegistration();
  CipherRegistration(const CipherRegistration&) = delete;
  CipherRegistration& operator=(const CipherRegistration&) = delete;

  // A "file:" URI for the path that carries this registration's token.
  std::string Uri(const std::filesystem::path& path) const;

 private:
  std::string token_;
};

// What the first bytes of a file say.
enum class FileKind { Missing, Empty, Plain, Protected };
FileKind InspectFile(const std::filesystem::path& path, Salt* salt);

// True when the key opens page 1 of the protected file.
bool KeyOpensFile(const std::filesystem::path& path, const CipherKey& key);

}  // namespace vela::data::sqlite
