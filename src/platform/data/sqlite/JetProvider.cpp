#include "platform/data/sqlite/JetProvider.h"

#include "platform/data/Providers.h"
#include "platform/data/sqlite/EngineSql.h"
#include "platform/data/sqlite/JetConnection.h"
#include "platform/data/sqlite/Protection.h"
#include "platform/text/Strings.h"
#include "platform/utils/FileDescriptor.h"
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
  void AppendKey(std::string_view tableName, const Key& key) override { Schema().AppendKey(tableName, key); }
  void SetColumnProperty(std::string_view tableName, std::string_view columnName, std::string_view property,
                         const Value& value) override {
    Schema().SetColumnProperty(tableName, columnName, property, value);
  }
  void Refresh() override { Schema().Invalidate(); }
  Properties NewColumnProperties() const override { return connection_.Schema().NewColumnProperties(); }
  std::vector<EngineObject> ListEngineObjects() override { return Schema().ListEngineObjects(); }
  void ApplyEngineObject(const EngineObject& object) override { Schema().ApplyEngineObject(object); }

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

void DropFile(std::string_view connectionString) {
  std::filesystem::path path = DataSource(connectionString);
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec)
    throw Error(kPathAccess, kSourceFileProvider, "Cannot remove " + path.string() + ": " + ec.message());
  // A journal left beside a new file of the same name would be rolled back into it.
  RemoveSideFiles(path);
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
    return true;
  }
  std::filesystem::remove(path, ec);
  RemoveSideFiles(path);
  try {
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
  std::filesystem::path path = DataSource(connectionString);
  if (path.empty())
    throw Error(kInvalidArgument, kSourceFileProvider, "The connection string names no file (Data Source)");
  std::filesystem::path aside =
      path.parent_path() / ("." + path.filename().string() + ".restoring-" + RandomTag());
  return utils::SetKeyValue(connectionString, "Data Source", aside.string(), ";");
}

// The file built aside takes the target's name in one step: until then the target is whole, after it the
// new file is. The target's journal and write-ahead log belong to the file replaced and go first.
void PutFileInPlace(std::string_view aside, std::string_view connectionString) {
  std::filesystem::path from = DataSource(aside);
  std::filesystem::path to = DataSource(connectionString);
  if (from.empty() || to.empty())
    throw Error(kInvalidArgument, kSourceFileProvider, "The connection string names no file (Data Source)");
  RemoveSideFiles(from);
  RemoveSideFiles(to);
  std::error_code ec = utils::Rename(from.c_str(), to.c_str());
  if (ec)
    throw Error(kPathAccess, kSourceFileProvider,
                "Cannot put " + from.string() + " in place of " + to.string() + ": " + ec.message());
}

bool IsJetObjectName(std::string_view name) {
  return text::StartsWithNoCase(name, "MSys") || text::StartsWithNoCase(name, "sqlite_");
}

}  // namespace

ProviderEntry JetProviderEntry() {
  ProviderEntry entry;
  entry.name = kProviderName;
  entry.engine = dpAccess;
  entry.passwordKeys = {kPasswordKey, "Password", "Pwd"};
  entry.open = &JetConnection::Open;
  entry.create = &JetConnection::Create;
  entry.drop = &DropFile;
  entry.placeCopy = &PlaceCopy;
  entry.aside = &AsideFile;
  entry.putInPlace = &PutFileInPlace;
  entry.isSystemObjectName = &IsJetObjectName;
  entry.directCopyHeaderBytes = kCopyHeaderBytes;
  entry.checkDirectCopy = &CheckCopyHeader;
  entry.checkEngineObject = &CheckEngineSql;
  return entry;
}

}  // namespace vela::data::sqlite
