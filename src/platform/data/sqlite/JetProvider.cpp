#include "platform/data/sqlite/JetProvider.h"

#include "platform/data/Providers.h"
#include "platform/data/sqlite/JetConnection.h"
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

bool PlaceCopy(const std::filesystem::path& copy, std::string_view connectionString) {
  std::filesystem::path path = DataSource(connectionString);
  if (path.empty()) return false;
  std::error_code ec;
  if (!std::filesystem::copy_file(copy, path, std::filesystem::copy_options::overwrite_existing, ec))
    return false;
  RemoveSideFiles(path);
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
  return entry;
}

}  // namespace vela::data::sqlite
