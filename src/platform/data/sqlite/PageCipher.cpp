#include "platform/data/sqlite/PageCipher.h"

#include <sodium.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "platform/data/sqlite/SqliteApi.h"
#include "velabackup/Error.h"

namespace vela::data::sqlite {
namespace {

constexpr char kVfsName[] = "vela-page-cipher";
constexpr char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
constexpr std::size_t kNonceSize = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t kTagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
static_assert(kNonceSize + kTagSize == kCipherReserve, "the reserved bytes hold the nonce and the tag");
constexpr std::size_t kSealed = kCipherPageSize - kCipherReserve;  // bytes of a page that carry data

void EnsureSodium() {
  static const int status = sodium_init();
  if (status < 0) throw Error(kGeneralFailure, kSource, "The cryptographic library could not be initialised");
}

// The additional data that binds a sealed page to its place: the page number, or 0 with a journal mark.
void AdditionalData(std::uint32_t pageNumber, bool journal, unsigned char ad[5]) {
  ad[0] = static_cast<unsigned char>(pageNumber >> 24);
  ad[1] = static_cast<unsigned char>(pageNumber >> 16);
  ad[2] = static_cast<unsigned char>(pageNumber >> 8);
  ad[3] = static_cast<unsigned char>(pageNumber);
  ad[4] = journal ? 'J' : 'D';
}

// Seals one plain page into `out` (which may be `plain`).
void SealPage(const CipherKey& key, const unsigned char* plain, unsigned char* out, std::uint32_t pageNumber,
              bool journal) {
  std::size_t start = (!journal && pageNumber == 1) ? sizeof kMagic : 0;
  unsigned char* nonce = out + kSealed;
  unsigned char* tag = nonce + kNonceSize;
  unsigned char ad[5];
  AdditionalData(journal ? 0 : pageNumber, journal, ad);
  randombytes_buf(nonce, kNonceSize);
  crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
      out + start, tag, nullptr, plain + start, kSealed - start, ad, sizeof ad, nullptr, nonce, key.Key());
  if (start) std::memcpy(out, key.GetSalt().data(), sizeof kMagic);
}

// Opens a sealed page in place; false when the key or the page is wrong.
bool OpenPage(const CipherKey& key, unsigned char* page, std::uint32_t pageNumber, bool journal) {
  std::size_t start = (!journal && pageNumber == 1) ? sizeof kMagic : 0;
  unsigned char nonce[kNonceSize];
  unsigned char tag[kTagSize];
  std::memcpy(nonce, page + kSealed, kNonceSize);
  std::memcpy(tag, page + kSealed + kNonceSize, kTagSize);
  unsigned char ad[5];
  AdditionalData(journal ? 0 : pageNumber, journal, ad);
  if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
          page + start, nullptr, page + start, kSealed - start, tag, ad, sizeof ad, nonce, key.Key()) != 0)
    return false;
  if (start) std::memcpy(page, kMagic, sizeof kMagic);
  // The engine never uses the reserved bytes; zeros keep the journal checksums stable.
  std::memset(page + kSealed, 0, kCipherReserve);
  return true;
}

// ---- key registry -------------------------------------------------------------------------------------

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<std::string, std::shared_ptr<const CipherKey>>& Registry() {
  static std::map<std::string, std::shared_ptr<const CipherKey>> registry;
  return registry;
}

std::shared_ptr<const CipherKey> LookUp(const char* token) {
  if (token == nullptr) return nullptr;
  std::lock_guard lock(RegistryMutex());
  auto it = Registry().find(token);
  return it == Registry().end() ? nullptr : it->second;
}

// ---- the VFS --------------------------------------------------------------------------------------------

enum class Kind { Database, Journal, PassThrough };

struct FileState {
  std::shared_ptr<const CipherKey> key;
  Kind kind;
  std::vector<unsigned char> scratch = std::vector<unsigned char>(kCipherPageSize);
};

// The engine allocates szOsFile bytes (8-byte aligned) per file: this header, then the real file.
struct CipherFile {
  sqlite3_file base;
  FileState* state;
  sqlite3_file* Real() {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(this) + sizeof(CipherFile));
  }
};
static_assert(sizeof(CipherFile) % 8 == 0, "the real file that follows must stay 8-byte aligned");

sqlite3_vfs* g_root = nullptr;

CipherFile* Self(sqlite3_file* f) {
  return reinterpret_cast<CipherFile*>(f);
}

int Close(sqlite3_file* f) {
  CipherFile* self = Self(f);
  int rc = self->Real()->pMethods ? self->Real()->pMethods->xClose(self->Real()) : SQLITE_OK;
  delete self->state;
  self->state = nullptr;
  return rc;
}

// Reads and opens page `pageNumber` of the database into `out`; SQLITE_IOERR_SHORT_READ past the end.
int ReadPage(CipherFile* self, std::uint32_t pageNumber, unsigned char* out) {
  sqlite3_file* real = self->Real();
  int rc = real->pMethods->xRead(real, out, kCipherPageSize,
                                 static_cast<sqlite3_int64>(pageNumber - 1) * kCipherPageSize);
  if (rc != SQLITE_OK) return rc;
  if (!OpenPage(*self->state->key, out, pageNumber, false))
    return pageNumber == 1 ? SQLITE_NOTADB : SQLITE_IOERR_DATA;
  return SQLITE_OK;
}

int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) noexcept {
  CipherFile* self = Self(f);
  FileState& state = *self->state;
  sqlite3_file* real = self->Real();
  auto* out = static_cast<unsigned char*>(buffer);
  if (state.kind == Kind::PassThrough) return real->pMethods->xRead(real, buffer, amount, offset);
  if (state.kind == Kind::Journal) {
    int rc = real->pMethods->xRead(real, buffer, amount, offset);
    if (rc != SQLITE_OK || amount != kCipherPageSize) return rc;
    return OpenPage(*state.key, out, 0, true) ? SQLITE_OK : SQLITE_IOERR_DATA;
  }
  if (amount == kCipherPageSize && offset % kCipherPageSize == 0)
    return ReadPage(self, static_cast<std::uint32_t>(offset / kCipherPageSize) + 1, out);
  // A piece of a page (the engine reads the header of page 1 this way).
  while (amount > 0) {
    auto pageNumber = static_cast<std::uint32_t>(offset / kCipherPageSize) + 1;
    auto within = static_cast<int>(offset % kCipherPageSize);
    int take = std::min(amount, kCipherPageSize - within);
    int rc = ReadPage(self, pageNumber, state.scratch.data());
    if (rc == SQLITE_IOERR_SHORT_READ) {
      std::memset(out, 0, static_cast<std::size_t>(amount));
      return rc;
    }
    if (rc != SQLITE_OK) return rc;
    std::memcpy(out, state.scratch.data() + within, static_cast<std::size_t>(take));
    sodium_memzero(state.scratch.data(), state.scratch.size());
    out += take;
    offset += take;
    amount -= take;
  }
  return SQLITE_OK;
}

int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) noexcept {
  CipherFile* self = Self(f);
  FileState& state = *self->state;
  sqlite3_file* real = self->Real();
  if (state.kind == Kind::PassThrough || (state.kind == Kind::Journal && amount != kCipherPageSize))
    return real->pMethods->xWrite(real, buffer, amount, offset);
  if (state.kind == Kind::Database && (amount != kCipherPageSize || offset % kCipherPageSize != 0))
    return SQLITE_IOERR_WRITE;  // the engine writes whole pages; anything else would bypass the cipher
  bool journal = state.kind == Kind::Journal;
  auto pageNumber = journal ? 0u : static_cast<std::uint32_t>(offset / kCipherPageSize) + 1;
  SealPage(*state.key, static_cast<const unsigned char*>(buffer), state.scratch.data(), pageNumber, journal);
  return real->pMethods->xWrite(real, state.scratch.data(), amount, offset);
}

int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Self(f)->Real()->pMethods->xTruncate(Self(f)->Real(), size);
}
int Sync(sqlite3_file* f, int flags) {
  return Self(f)->Real()->pMethods->xSync(Self(f)->Real(), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Self(f)->Real()->pMethods->xFileSize(Self(f)->Real(), size);
}
int Lock(sqlite3_file* f, int level) {
  return Self(f)->Real()->pMethods->xLock(Self(f)->Real(), level);
}
int Unlock(sqlite3_file* f, int level) {
  return Self(f)->Real()->pMethods->xUnlock(Self(f)->Real(), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Self(f)->Real()->pMethods->xCheckReservedLock(Self(f)->Real(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Self(f)->Real()->pMethods->xFileControl(Self(f)->Real(), op, arg);
}
// A small sector keeps the journal's headers apart from its page images (a header never spans a page).
int SectorSize(sqlite3_file*) {
  return 512;
}
int DeviceCharacteristics(sqlite3_file* f) {
  return Self(f)->Real()->pMethods->xDeviceCharacteristics(Self(f)->Real()) & ~SQLITE_IOCAP_BATCH_ATOMIC;
}

// Version 1: no shared memory (so no write-ahead log) and no memory mapping, which would bypass Read.
const sqlite3_io_methods kMethods = {1,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) noexcept {
  CipherFile* self = Self(file);
  self->base.pMethods = nullptr;
  self->state = nullptr;
  Kind kind;
  if (flags & SQLITE_OPEN_MAIN_DB)
    kind = Kind::Database;
  else if (flags & SQLITE_OPEN_MAIN_JOURNAL)
    kind = Kind::Journal;
  else if (flags & SQLITE_OPEN_SUPER_JOURNAL)
    kind = Kind::PassThrough;  // holds file names only
  else
    return SQLITE_CANTOPEN;  // temporary files and logs would hold plain pages
  if (name == nullptr) return SQLITE_CANTOPEN;
  sqlite3_filename database = kind == Kind::Database ? name : sqlite3_filename_database(name);
  std::shared_ptr<const CipherKey> key = LookUp(sqlite3_uri_parameter(database, "vela_key"));
  if (!key && kind != Kind::PassThrough) return SQLITE_CANTOPEN;
  try {
    self->state = new FileState{std::move(key), kind};
  } catch (...) {
    return SQLITE_NOMEM;
  }
  int rc = g_root->xOpen(g_root, name, self->Real(), flags, outFlags);
  if (rc != SQLITE_OK) {
    delete self->state;
    self->state = nullptr;
    return rc;
  }
  self->base.pMethods = &kMethods;
  return SQLITE_OK;
}

sqlite3_vfs* RegisterVfs() {
  static sqlite3_vfs vfs;
  static std::once_flag once;
  std::call_once(once, [] {
    EnsureSodium();
    g_root = sqlite3_vfs_find(nullptr);
    vfs = *g_root;
    vfs.pNext = nullptr;
    vfs.zName = kVfsName;
    vfs.szOsFile = static_cast<int>(sizeof(CipherFile)) + g_root->szOsFile;
    vfs.xOpen = Open;
    sqlite3_vfs_register(&vfs, 0);
  });
  return &vfs;
}

}  // namespace

std::shared_ptr<const CipherKey> CipherKey::Derive(std::string_view password, const Salt& salt) {
  EnsureSodium();
  std::shared_ptr<CipherKey> key(new CipherKey());
  key->salt_ = salt;
  key->key_ = static_cast<std::uint8_t*>(sodium_malloc(crypto_aead_xchacha20poly1305_ietf_KEYBYTES));
  if (key->key_ == nullptr) throw Error(kOutOfMemory, kSource, "Out of memory for the database key");
  if (crypto_pwhash(key->key_, crypto_aead_xchacha20poly1305_ietf_KEYBYTES, password.data(), password.size(),
                    salt.data(), crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                    crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw Error(kOutOfMemory, kSource, "Out of memory while deriving the database key");
  return key;
}

Salt CipherKey::NewSalt() {
  EnsureSodium();
  Salt salt;
  randombytes_buf(salt.data(), salt.size());
  return salt;
}

CipherKey::~CipherKey() {
  if (key_ != nullptr) sodium_free(key_);
}

const char* CipherVfsName() {
  return RegisterVfs()->zName;
}

CipherRegistration::CipherRegistration(std::shared_ptr<const CipherKey> key) {
  RegisterVfs();
  unsigned char raw[16];
  randombytes_buf(raw, sizeof raw);
  char hex[sizeof raw * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, raw, sizeof raw);
  token_ = hex;
  std::lock_guard lock(RegistryMutex());
  Registry()[token_] = std::move(key);
}

CipherRegistration::~CipherRegistration() {
  std::lock_guard lock(RegistryMutex());
  Registry().erase(token_);
}

std::string CipherRegistration::Uri(const std::filesystem::path& path) const {
  std::string absolute = std::filesystem::absolute(path).string();
  std::string uri = "file:";
  static const char* kHex = "0123456789ABCDEF";
  for (unsigned char c : absolute) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri + "?vela_key=" + token_;
}

FileKind InspectFile(const std::filesystem::path& path, Salt* salt) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return FileKind::Missing;
  std::ifstream in(path, std::ios::binary);
  char head[sizeof kMagic] = {};
  in.read(head, sizeof head);
  if (in.gcount() == 0) return FileKind::Empty;
  if (in.gcount() == sizeof head && std::memcmp(head, kMagic, sizeof head) == 0) return FileKind::Plain;
  if (salt) std::memcpy(salt->data(), head, salt->size());
  return FileKind::Protected;
}

bool KeyOpensFile(const std::filesystem::path& path, const CipherKey& key) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> page(kCipherPageSize);
  in.read(reinterpret_cast<char*>(page.data()), kCipherPageSize);
  if (in.gcount() != kCipherPageSize) return false;
  bool ok = OpenPage(key, page.data(), 1, false);
  sodium_memzero(page.data(), page.size());
  return ok;
}

}  // namespace vela::data::sqlite
