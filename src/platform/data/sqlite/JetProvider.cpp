#include "platform/data/sqlite/JetProvider.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/data/Providers.h"
#include "platform/data/sqlite/EngineSql.h"
#include "platform/data/sqlite/JetConnection.h"
#include "platform/data/sqlite/JetStatements.h"
#include "platform/data/sqlite/JetTypes.h"
#include "platform/data/sqlite/Protection.h"
#include "platform/text/Strings.h"
#include "platform/utils/FileDescriptor.h"
#include "platform/utils/FolderLock.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/data/Catalog.h"

namespace vela::data::sqlite {
namespace {

// The catalog is a view of the connection's schema; it holds nothing of its own.
class JetCatalog final : public Catalog {
 public:
  explicit JetCatalog(JetConnection& connection) : connection_(connection) {}

  std::vector<Entry> ListTables() override { return Schema().ListTables(); }
  Table GetTable(std::string_view name) override { return Schema().GetTable(name); }
  void AppendTable(const Table& table) override { Schema().AppendTable(table); }
  void AppendTableInSchema(const Table& table, std::string_view schema) override {
    Schema().AppendTableInSchema(table, schema);
  }
  void AppendKey(std::string_view tableName, const Key& key) override { Schema().AppendKey(tableName, key); }
  void SetColumnProperty(std::string_view tableName, std::string_view columnName, std::string_view property,
                         const Value& value) override {
    Schema().SetColumnProperty(tableName, columnName, property, value);
  }
  void Refresh() override { Schema().Invalidate(); }
  Properties NewColumnProperties() const override { return connection_.Schema().NewColumnProperties(); }
  std::vector<EngineObject> ListEngineObjects() override { return Schema().ListEngineObjects(); }
  void ApplyEngineObject(const EngineObject& object) override { Schema().ApplyEngineObject(object); }
  std::vector<EngineSetting> ListEngineSettings() override { return Schema().ListEngineSettings(); }
  void ApplyEngineSetting(const EngineSetting& setting) override { Schema().ApplyEngineSetting(setting); }
  // A file database has no schemas and no owners: only tables are made room for.
  void RemoveForRestore(const std::vector<std::string>& tables,
                        const std::vector<std::string>& schemas) override {
    if (tables.empty()) Catalog::RemoveForRestore(tables, schemas);
    Schema().DropTables(tables);
  }

 private:
  JetSchema& Schema() {
    connection_.CommitBatch();
    return connection_.Schema();
  }
  JetConnection& connection_;
};

}  // namespace

std::unique_ptr<Catalog> JetConnection::OpenCatalog() {
  Db();  // a closed connection has no catalog
  return std::make_unique<JetCatalog>(*this);
}

namespace {

// The files the engine keeps beside a database file while it works on it.
constexpr const char* kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

void RemoveSideFiles(const std::filesystem::path& path) {
  for (const char* suffix : kSideFileSuffixes) {
    std::filesystem::path side = path;
    side += suffix;
    std::error_code ec;
    std::filesystem::remove(side, ec);
    if (ec)
      throw Error(kPathAccess, kSourceFileProvider, "Cannot remove " + side.string() + ": " + ec.message());
  }
}

std::filesystem::path DataSource(std::string_view connectionString) {
  return utils::KeyValue(connectionString, "Data Source", ";");
}

// The files built aside that this process is building, each marked as a restore's own while it lives.
class AsideMarks {
 public:
  void Mark(const std::filesystem::path& aside) {
    utils::UseMark mark(aside.string());
    std::lock_guard<std::mutex> guard(mutex_);
    marks_[aside.string()] = std::move(mark);
  }
  void Release(const std::filesystem::path& aside) {
    std::lock_guard<std::mutex> guard(mutex_);
    marks_.erase(aside.string());
  }
  bool Holds(const std::filesystem::path& aside) {
    std::lock_guard<std::mutex> guard(mutex_);
    return marks_.contains(aside.string());
  }

 private:
  std::mutex mutex_;
  std::map<std::string, utils::UseMark> marks_;
};

AsideMarks& Marks() {
  static AsideMarks marks;
  return marks;
}

constexpr const char* kAsideInfix = ".restoring-";

void DropFile(std::string_view connectionString) {
  std::filesystem::path path = DataSource(connectionString);
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec)
    throw Error(kPathAccess, kSourceFileProvider, "Cannot remove " + path.string() + ": " + ec.message());
  // A journal left beside a new file of the same name would be rolled back into it.
  RemoveSideFiles(path);
  Marks().Release(path);
}

// The files built aside for this target by restores that were killed: "." NAME ".restoring-" TAG with its
// journal, write-ahead log and shared memory, whose mark is there and held by nobody. A file of that name
// without a mark stays.
std::vector<std::string> RemoveAsideLeftovers(std::string_view connectionString) {
  namespace fs = std::filesystem;
  const fs::path target = utils::ThroughLinks(DataSource(connectionString));
  if (target.empty()) return {};
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string prefix = "." + target.filename().string() + kAsideInfix;
  const std::string mark = utils::UseMark::kSuffix;
  std::vector<fs::path> asides;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // The tag RandomTag gives: eight hexadecimal digits.
    if (name.size() == prefix.size() + 8 + mark.size() && name.starts_with(prefix) && name.ends_with(mark) &&
        name.find_first_not_of("0123456789abcdefABCDEF", prefix.size()) == prefix.size() + 8)
      asides.push_back(folder / name.substr(0, name.size() - mark.size()));
  }
  std::vector<std::string> removed;
  for (const fs::path& aside : asides) {
    utils::FileDescriptor held;
    if (!utils::UseMark::TakeOverAbandoned(aside.string() + mark, held)) continue;
    bool whole = true;
    auto removeFile = [&](const fs::path& file) {
      if (!fs::is_regular_file(fs::symlink_status(file, ec))) return;
      if (fs::remove(file, ec))
        removed.push_back(file.string());
      else
        whole = false;
    };
    removeFile(aside);
    for (const char* suffix : kSideFileSuffixes) removeFile(fs::path(aside) += suffix);
    if (whole) fs::remove(aside.string() + mark, ec);  // else the mark stays for the next time
  }
  return removed;
}

// A copy put in place with a password becomes a protected file, never a plain one. A plain copy is
// encrypted first, in a file beside it (where the copy lies in the clear already), so that no plain page
// reaches the target's folder; a protected copy must open with the password. The engine then copies the
// encrypted database page by page into the new keyed file.
void WriteProtectedCopy(const std::filesystem::path& copy, const std::filesystem::path& path,
                        std::string_view password) {
  std::filesystem::path source = copy;
  std::filesystem::path encrypted;
  struct Remover {
    std::filesystem::path& file;
    ~Remover() {
      std::error_code ec;
      if (!file.empty()) std::filesystem::remove(file, ec);
    }
  } remover{encrypted};
  if (InspectFile(copy) != FileKind::Protected) {
    encrypted = copy.parent_path() / ("." + copy.filename().string() + ".protecting-" + RandomTag());
    std::error_code ec;
    if (!std::filesystem::copy_file(copy, encrypted, ec))
      throw Error(kPathAccess, kSourceFileProvider,
                  "Cannot copy " + copy.string() + " to " + encrypted.string() + ": " + ec.message());
    DbHandle plain = OpenEngine(encrypted, {}, false);
    ProbeFile(plain.get(), copy, false);
    EncryptInPlace(plain.get(), encrypted, password);
    source = encrypted;
  }
  DbHandle from = OpenEngine(source, password, false);
  ProbeFile(from.get(), copy, true);
  DbHandle to = OpenEngine(path, password, true);
  CopyDatabase(from.get(), to.get(), "copy of " + copy.string() + " to " + path.string());
  to.reset();
  if (InspectFile(path) != FileKind::Protected)
    throw Error(kGeneralFailure, kSourceFileProvider,
                "The database " + Quoted(path) + " could not be encrypted");
}

// The archive's checksums vouch for the bytes the save packed, not for the pages in them: a damaged copy
// never takes a target's place.
void CheckPlacedCopy(const std::filesystem::path& file, std::string_view password) {
  DirectCopyCheck check = CheckCopyPages(file, password);
  if (check.verdict == DirectCopyCheck::Verdict::kOpaque)
    throw Error(
        kAuthenticationFailed, kSourceFileProvider,
        "The direct copy in the backup is protected with a password: give its password to restore it");
  if (check.verdict == DirectCopyCheck::Verdict::kDamaged)
    throw Error(kBadFileFormat, kSourceFileProvider,
                "The direct copy in the backup is damaged and was not put in place (" + check.why + ")");
}

// A copy put in place as it is is checked there; one that is encrypted on its way in is checked before,
// with the password, so that its damage is told as such and not as a failing copy.
bool PlaceCopy(const std::filesystem::path& copy, std::string_view connectionString) {
  std::filesystem::path path = DataSource(connectionString);
  if (path.empty()) return false;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(copy, ec)) return false;
  std::string password = utils::KeyValue(connectionString, kPasswordKey, ";");
  if (password.empty()) {
    if (!std::filesystem::copy_file(copy, path, std::filesystem::copy_options::overwrite_existing, ec))
      return false;
    RemoveSideFiles(path);
  } else {
    CheckPlacedCopy(copy, password);
    std::filesystem::remove(path, ec);
    RemoveSideFiles(path);
  }
  try {
    if (password.empty())
      CheckPlacedCopy(path, password);
    else
      WriteProtectedCopy(copy, path, password);
  } catch (...) {
    std::filesystem::remove(path, ec);
    RemoveSideFiles(path);
    throw;
  }
  return true;
}

// A new file beside the target, hidden, in the same folder so that it can be renamed over the target.
std::string AsideFile(std::string_view connectionString) {
  std::filesystem::path path = utils::ThroughLinks(DataSource(connectionString));
  if (path.empty())
    throw Error(kInvalidArgument, kSourceFileProvider, "The connection string names no file (Data Source)");
  std::filesystem::path aside =
      path.parent_path() / ("." + path.filename().string() + kAsideInfix + RandomTag());
  Marks().Mark(aside);
  return utils::SetKeyValue(connectionString, "Data Source", aside.string(), ";");
}

// The file that replaces another takes its mode, and its owner and group where this process may set them.
// Each is a write of the file's attributes, which the operation's FileWrites are asked about first.
void KeepAttributes(const std::filesystem::path& from, const std::filesystem::path& to) {
  struct stat target {};
  if (::stat(to.c_str(), &target) != 0) return;  // a new file
  std::error_code error = utils::BeforeWrite();
  if (!error && ::chown(from.c_str(), target.st_uid, target.st_gid) != 0 && errno != EPERM)
    error.assign(errno, std::generic_category());
  if (!error) error = utils::BeforeWrite();
  if (!error && ::chmod(from.c_str(), target.st_mode & 07777) != 0)
    error.assign(errno, std::generic_category());
  if (error)
    throw Error(
        kPathAccess, kSourceFileProvider,
        "Cannot give " + from.string() + " the owner and mode of " + to.string() + ": " + error.message());
}

void SyncFile(const std::filesystem::path& file) {
  std::error_code error = utils::BeforeWrite();
  if (!error) {
    utils::FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.IsOpen() || ::fsync(fd.Get()) != 0) error.assign(errno, std::generic_category());
  }
  if (error)
    throw Error(kPathAccess, kSourceFileProvider, "Cannot write " + file.string() + ": " + error.message());
}

// The file built aside takes the target's name in one step: until then the target is whole, after it the
// new file is. The target's journal and write-ahead log belong to the file replaced and go first.
void PutFileInPlace(std::string_view aside, std::string_view connectionString) {
  std::filesystem::path from = DataSource(aside);
  std::filesystem::path to = utils::ThroughLinks(DataSource(connectionString));
  if (from.empty() || to.empty())
    throw Error(kInvalidArgument, kSourceFileProvider, "The connection string names no file (Data Source)");
  RemoveSideFiles(from);
  RemoveSideFiles(to);
  KeepAttributes(from, to);
  // The file was built without syncs (JetConnection::Open): all of it reaches the disk before it takes
  // the target's name.
  SyncFile(from);
  std::error_code ec = utils::Rename(from.c_str(), to.c_str());
  if (ec)
    throw Error(kPathAccess, kSourceFileProvider,
                "Cannot put " + from.string() + " in place of " + to.string() + ": " + ec.message());
  Marks().Release(from);
}

// A file may be made by whoever may write its folder, and is the user's.
DatabaseRights FileRights(std::string_view connectionString) {
  const FileKind kind = InspectFile(utils::ThroughLinks(DataSource(connectionString)));
  return {kind != FileKind::Missing, true, true};
}

bool IsProtectedFile(std::string_view connectionString) {
  return InspectFile(utils::ThroughLinks(DataSource(connectionString))) == FileKind::Protected;
}

bool IsJetObjectName(std::string_view name) {
  return text::StartsWithNoCase(name, "MSys") || text::StartsWithNoCase(name, "sqlite_");
}

}  // namespace

bool IsBuiltAside(const std::filesystem::path& path) {
  return Marks().Holds(path);
}

ProviderEntry JetProviderEntry() {
  ProviderEntry entry;
  entry.name = kProviderName;
  entry.engine = dpAccess;
  entry.passwordKeys = {kPasswordKey, "Password", "Pwd"};
  entry.knownKeys = {"Provider", "Data Source", kPasswordKey, "Persist Security Info", "User ID"};
  entry.columnLimits = {kLargestDeclaredSize, kLargestDeclaredSize, kLargestDeclaredSize};
  entry.open = &JetConnection::Open;
  entry.create = &JetConnection::Create;
  entry.drop = &DropFile;
  entry.placeCopy = &PlaceCopy;
  entry.aside = &AsideFile;
  entry.putInPlace = &PutFileInPlace;
  entry.isSystemObjectName = &IsJetObjectName;
  entry.directCopyHeaderBytes = kCopyHeaderBytes;
  entry.checkDirectCopy = &CheckCopyHeader;
  entry.checkCopyPages = &CheckCopyPages;
  entry.isProtected = &IsProtectedFile;
  entry.rights = &FileRights;
  entry.removeLeftovers = &RemoveAsideLeftovers;
  entry.checkEngineObject = &CheckEngineSql;
  entry.withoutKeysTo = [](const EngineObject& table, const std::function<bool(std::string_view)>& leftOut) {
    return WithoutKeysTo(table.sql, leftOut);
  };
  return entry;
}

}  // namespace vela::data::sqlite
