#include "platform/data/sqlite/FaultVfs.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/data/sqlite/SqliteApi.h"
#include "platform/utils/FileDescriptor.h"
#include "velabackup/Error.h"

namespace vela::data::sqlite {
namespace {

constexpr const char* kCountedName = "vela-counted";

// A file of the counting file system: ours first, the real file's own state right after it.
struct CountedFile {
  sqlite3_file base;
};

sqlite3_file* Real(sqlite3_file* file) {
  return reinterpret_cast<sqlite3_file*>(reinterpret_cast<CountedFile*>(file) + 1);
}

sqlite3_vfs* RealVfs(sqlite3_vfs* vfs) {
  return static_cast<sqlite3_vfs*>(vfs->pAppData);
}

int Close(sqlite3_file* f) {
  return Real(f)->pMethods->xClose(Real(f));
}
int Read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
  return Real(f)->pMethods->xRead(Real(f), data, amount, offset);
}
int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  if (utils::BeforeWrite()) return SQLITE_FULL;
  return Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (utils::BeforeWrite()) return SQLITE_IOERR_FSYNC;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) {
  return Real(f)->pMethods->xLock(Real(f), level);
}
int Unlock(sqlite3_file* f, int level) {
  return Real(f)->pMethods->xUnlock(Real(f), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) {
  return Real(f)->pMethods->xSectorSize(Real(f));
}
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
  Real(f)->pMethods->xShmBarrier(Real(f));
}
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
  return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
int Fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
  return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
  return Real(f)->pMethods->xUnfetch(Real(f), offset, page);
}

// The methods of a counted file; a real file of an older version leaves the newer ones out.
sqlite3_io_methods MethodsFor(int version) {
  sqlite3_io_methods methods{};
  methods.iVersion = version;
  methods.xClose = Close;
  methods.xRead = Read;
  methods.xWrite = Write;
  methods.xTruncate = Truncate;
  methods.xSync = Sync;
  methods.xFileSize = FileSize;
  methods.xLock = Lock;
  methods.xUnlock = Unlock;
  methods.xCheckReservedLock = CheckReservedLock;
  methods.xFileControl = FileControl;
  methods.xSectorSize = SectorSize;
  methods.xDeviceCharacteristics = DeviceCharacteristics;
  if (version >= 2) {
    methods.xShmMap = ShmMap;
    methods.xShmLock = ShmLock;
    methods.xShmBarrier = ShmBarrier;
    methods.xShmUnmap = ShmUnmap;
  }
  if (version >= 3) {
    methods.xFetch = Fetch;
    methods.xUnfetch = Unfetch;
  }
  return methods;
}

const sqlite3_io_methods kMethods[] = {MethodsFor(1), MethodsFor(2), MethodsFor(3)};

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  sqlite3_file* real = Real(file);
  real->pMethods = nullptr;
  const int rc = RealVfs(vfs)->xOpen(RealVfs(vfs), name, real, flags, outFlags);
  // The engine calls xClose whenever pMethods is set, also after a failed open.
  file->pMethods = real->pMethods ? &kMethods[std::clamp(real->pMethods->iVersion, 1, 3) - 1] : nullptr;
  return rc;
}

int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return RealVfs(vfs)->xDelete(RealVfs(vfs), name, syncDir);
}
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return RealVfs(vfs)->xAccess(RealVfs(vfs), name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return RealVfs(vfs)->xFullPathname(RealVfs(vfs), name, size, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) {
  return RealVfs(vfs)->xDlOpen(RealVfs(vfs), name);
}
void DlError(sqlite3_vfs* vfs, int size, char* out) {
  RealVfs(vfs)->xDlError(RealVfs(vfs), size, out);
}
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return RealVfs(vfs)->xDlSym(RealVfs(vfs), handle, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* handle) {
  RealVfs(vfs)->xDlClose(RealVfs(vfs), handle);
}
int Randomness(sqlite3_vfs* vfs, int size, char* out) {
  return RealVfs(vfs)->xRandomness(RealVfs(vfs), size, out);
}
int Sleep(sqlite3_vfs* vfs, int microseconds) {
  return RealVfs(vfs)->xSleep(RealVfs(vfs), microseconds);
}
int CurrentTime(sqlite3_vfs* vfs, double* out) {
  return RealVfs(vfs)->xCurrentTime(RealVfs(vfs), out);
}
int GetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return RealVfs(vfs)->xGetLastError(RealVfs(vfs), size, out);
}
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return RealVfs(vfs)->xCurrentTimeInt64(RealVfs(vfs), out);
}
int SetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
  return RealVfs(vfs)->xSetSystemCall(RealVfs(vfs), name, call);
}
sqlite3_syscall_ptr GetSystemCall(sqlite3_vfs* vfs, const char* name) {
  return RealVfs(vfs)->xGetSystemCall(RealVfs(vfs), name);
}
const char* NextSystemCall(sqlite3_vfs* vfs, const char* name) {
  return RealVfs(vfs)->xNextSystemCall(RealVfs(vfs), name);
}

// The counting file system with the encryption layer on top, registered once and made the default only
// while a scope lives.
sqlite3_vfs* CountedWithEncryption() {
  if (int rc = sqlite3_initialize(); rc != SQLITE_OK)
    ThrowEngineError(rc, sqlite3_errstr(rc), "the engine's file system");
  // The plain file system below the encryption layer; the asking goes between the two.
  sqlite3_vfs* real = sqlite3_vfs_find("unix");
  if (!real) throw Error(kGeneralFailure, kSource, "The engine has no file system to count writes on.");
  static sqlite3_vfs counted{};
  counted.iVersion = real->iVersion;
  counted.szOsFile = static_cast<int>(sizeof(CountedFile)) + real->szOsFile;
  counted.mxPathname = real->mxPathname;
  counted.zName = kCountedName;
  counted.pAppData = real;
  counted.xOpen = Open;
  counted.xDelete = Delete;
  counted.xAccess = Access;
  counted.xFullPathname = FullPathname;
  counted.xDlOpen = DlOpen;
  counted.xDlError = DlError;
  counted.xDlSym = DlSym;
  counted.xDlClose = DlClose;
  counted.xRandomness = Randomness;
  counted.xSleep = Sleep;
  counted.xCurrentTime = CurrentTime;
  counted.xGetLastError = GetLastError;
  counted.xCurrentTimeInt64 = CurrentTimeInt64;
  counted.xSetSystemCall = SetSystemCall;
  counted.xGetSystemCall = GetSystemCall;
  counted.xNextSystemCall = NextSystemCall;
  if (int rc = sqlite3_vfs_register(&counted, 0); rc != SQLITE_OK)
    ThrowEngineError(rc, sqlite3_errstr(rc), "the engine's file system");
  if (int rc = sqlite3mc_vfs_create(kCountedName, 0); rc != SQLITE_OK)
    ThrowEngineError(rc, sqlite3_errstr(rc), "the engine's file system");
  sqlite3_vfs* layered = sqlite3_vfs_find((std::string("multipleciphers-") + kCountedName).c_str());
  if (!layered) throw Error(kGeneralFailure, kSource, "The engine has no file system to count writes on.");
  return layered;
}

std::mutex scopesLock;
int scopes = 0;
sqlite3_vfs* before = nullptr;

}  // namespace

EngineWritesScope::EngineWritesScope() {
  static sqlite3_vfs* const layered = CountedWithEncryption();
  std::lock_guard lock(scopesLock);
  if (scopes++ == 0) {
    before = sqlite3_vfs_find(nullptr);
    sqlite3_vfs_register(layered, 1);
  }
}

EngineWritesScope::~EngineWritesScope() {
  std::lock_guard lock(scopesLock);
  if (--scopes == 0) sqlite3_vfs_register(before, 1);
}

}  // namespace vela::data::sqlite
