// What the data-access layer shares across providers: name lookups and the choice of provider.
#include "platform/data/DatabaseManagement.h"
#include "platform/data/Providers.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::data {

bool NamesEqual(std::string_view a, std::string_view b) {
  return text::EqualsNoCase(a, b);
}

std::size_t Recordset::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < FieldCount(); ++i)
    if (NamesEqual(Field(i).name, name)) return i;
  throw Error(
      kItemNotFound, kSourceData,
      "Item cannot be found in the collection corresponding to the requested name: " + std::string(name));
}

const Value& Recordset::GetStoredValue(std::size_t) const {
  static const Value kNone;
  return kNone;
}

const Property* Properties::Find(std::string_view name) const {
  for (const Property& p : items_)
    if (NamesEqual(p.name, name)) return &p;
  return nullptr;
}

const Value& Properties::operator[](std::string_view name) const {
  if (const Property* p = Find(name)) return p->value;
  throw Error(kItemNotFound, kSourceData, "Property not found: " + std::string(name));
}

Value& Properties::operator[](std::string_view name) {
  return const_cast<Value&>(static_cast<const Properties&>(*this)[name]);
}

void Properties::Set(std::string_view name, Value value) {
  if (const Property* p = Find(name)) {
    const_cast<Property*>(p)->value = std::move(value);
    return;
  }
  items_.push_back(Property{std::string(name), std::move(value)});
}

void Catalog::ApplyEngineObject(const EngineObject& object) {
  throw Error(kNotSupported, kSourceData, "This provider cannot make the " + object.kind + " " + object.name);
}

void Catalog::ApplyEngineSetting(const EngineSetting& setting) {
  throw Error(kNotSupported, kSourceData, "This provider keeps no setting " + setting.name);
}

void Catalog::ApplyEngineState(const EngineState& state) {
  throw Error(kNotSupported, kSourceData, "This provider keeps no " + state.kind + " of " + state.name);
}

void Catalog::RemoveForRestore(const std::vector<std::string>&, const std::vector<std::string>&) {
  throw Error(kNotSupported, kSourceData, "This provider cannot replace part of a database");
}

void Connection::BeginTrans() {
  throw Error(kNotSupported, kSourceData, "This provider keeps no transaction around changes of its objects");
}

void Connection::CommitTrans() {
  BeginTrans();
}

namespace {

const ProviderEntry* FindProvider(std::string_view providerName) {
  for (const ProviderEntry& entry : RegisteredProviders())
    if (entry.name == providerName) return &entry;
  return nullptr;
}

const ProviderEntry& ProviderFor(std::string_view connectionString) {
  std::string provider = utils::KeyValue(connectionString, "Provider", ";");
  if (const ProviderEntry* entry = FindProvider(provider)) return *entry;
  throw Error(kComponentError, kSourceData,
              provider.empty() ? std::string("No provider named in the connection string")
                               : "Provider cannot be found: " + provider);
}

template <class Function>
const Function& Offered(const Function& function, const ProviderEntry& entry, std::string_view what) {
  if (!function)
    throw Error(kNotSupported, kSourceData, "The provider " + entry.name + " cannot " + std::string(what));
  return function;
}

bool LooksLikePassword(std::string_view key) {
  const std::string lower = text::ToLower(key);
  for (const char* part : {"password", "passwd", "pwd"})
    if (lower.find(part) != std::string::npos) return true;
  return false;
}

bool IsKnownKey(const ProviderEntry& entry, std::string_view key) {
  for (const std::string& known : entry.knownKeys)
    if (text::EqualsNoCase(known, key)) return true;
  return false;
}

ConnectionKeys CheckKeys(const ProviderEntry& entry, std::string_view connectionString) {
  ConnectionKeys keys;
  keys.known = entry.knownKeys;
  for (const auto& [key, value] : utils::KeyValues(connectionString, ";")) {
    if (IsKnownKey(entry, key)) continue;
    // A password the provider would not apply would leave the database unprotected without a word.
    if (LooksLikePassword(key) && !value.empty()) {
      std::string own = "none";
      for (const std::string& known : entry.knownKeys)
        if (LooksLikePassword(known)) {
          own = known;
          break;
        }
      throw Error(kInvalidArgument, kSourceData,
                  "The connection string holds a password under the key " + key + ", which the provider " +
                      entry.name + " does not read; its password key is " + own);
    }
    keys.unread.push_back(key);
  }
  return keys;
}

}  // namespace

ConnectionKeys CheckConnectionKeys(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return CheckKeys(entry, connectionString);
}

std::unique_ptr<Connection> OpenConnection(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  CheckKeys(entry, connectionString);
  if (!entry.open) throw Error(kComponentError, kSourceData, "Provider cannot be found: " + entry.name);
  return entry.open(connectionString);
}

void CreateDatabase(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  Offered(entry.create, entry, "create a database")(connectionString);
}

void DropDatabase(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  Offered(entry.drop, entry, "remove a database")(connectionString);
}

bool PlaceDirectCopy(const std::filesystem::path& copy, std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return Offered(entry.placeCopy, entry, "put a direct copy in place")(copy, connectionString);
}

std::string AsideConnectionString(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return Offered(entry.aside, entry, "build a database aside")(connectionString);
}

void PutDatabaseInPlace(std::string_view aside, std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  Offered(entry.putInPlace, entry, "put a database in place of another")(aside, connectionString);
}

std::string MaintenanceConnectionString(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return Offered(entry.maintenance, entry, "reach a maintenance database")(connectionString);
}

bool IsSystemObjectName(std::string_view providerName, std::string_view name) {
  const ProviderEntry* entry = FindProvider(providerName);
  return entry != nullptr && entry->isSystemObjectName && entry->isSystemObjectName(name);
}

std::string RemovePasswords(std::string_view connectionString) {
  std::string text(connectionString);
  for (const ProviderEntry& entry : RegisteredProviders())
    for (const std::string& key : entry.passwordKeys) text = utils::RemoveKey(text, key, ";");
  return text;
}

std::optional<std::string> ConnectionStringFromShortForm(std::string_view text) {
  for (const ProviderEntry& entry : RegisteredProviders())
    if (entry.fromShortForm)
      if (std::optional<std::string> connectionString = entry.fromShortForm(text)) return connectionString;
  return std::nullopt;
}

bool IsLocalSocketFolder(std::string_view server) {
  for (const ProviderEntry& entry : RegisteredProviders())
    if (entry.isLocalSocketFolder && entry.isLocalSocketFolder(server)) return true;
  return false;
}

namespace {

const ProviderEntry* ProviderOfEngine(DataProvider engine) {
  for (const ProviderEntry& entry : RegisteredProviders())
    if (entry.engine == engine) return &entry;
  return nullptr;
}

std::string SizeFault(const ColumnSizes& column, const ColumnLimits& limits) {
  auto number = [](std::int64_t value) { return std::to_string(value); };
  const std::pair<const char*, std::optional<std::int64_t>> sizes[] = {
      {"size", column.size}, {"precision", column.precision}, {"scale", column.scale}};
  for (const auto& [name, value] : sizes)
    if (value && *value < 0) return std::string(name) + " " + number(*value) + " (no size is below 0)";
  const int type = column.type;
  if (type == adDecimal || type == adNumeric || type == adVarNumeric) {
    if (column.precision && (*column.precision < 1 || *column.precision > limits.precision))
      return "precision " + number(*column.precision) + " (this engine holds 1 to " +
             number(limits.precision) + " digits)";
    const std::int64_t precision = column.precision.value_or(limits.precision);
    if (column.scale && *column.scale > precision)
      return "scale " + number(*column.scale) + " with precision " + number(precision) +
             " (the scale lies between 0 and the precision)";
  }
  if (!column.size || IsLongType(type) || type == adBSTR) return {};
  if (IsTextType(type) && limits.textLength > 0 && *column.size > limits.textLength)
    return "length " + number(*column.size) + " (this engine holds at most " + number(limits.textLength) +
           " characters)";
  if (IsBinaryType(type) && limits.binaryLength > 0 && *column.size > limits.binaryLength)
    return "length " + number(*column.size) + " (this engine holds at most " + number(limits.binaryLength) +
           " bytes)";
  return {};
}

}  // namespace

std::string ColumnSizeFault(DataProvider engine, const ColumnSizes& column) {
  const ProviderEntry* entry = ProviderOfEngine(engine);
  if (entry == nullptr)
    throw Error(kNotSupported, kSourceData, "No provider of this build serves the engine");
  return SizeFault(column, entry->columnLimits);
}

std::string ColumnSizeFaultEverywhere(const ColumnSizes& column) {
  std::string fault;
  for (const ProviderEntry& entry : RegisteredProviders()) {
    fault = SizeFault(column, entry.columnLimits);
    if (fault.empty()) return fault;
  }
  return fault;
}

std::size_t DirectCopyHeaderBytes(DataProvider engine) {
  const ProviderEntry* entry = ProviderOfEngine(engine);
  return entry != nullptr && entry->checkDirectCopy ? entry->directCopyHeaderBytes : 0;
}

DirectCopyCheck CheckDirectCopy(DataProvider engine, std::string_view start, std::uint64_t size) {
  const ProviderEntry* entry = ProviderOfEngine(engine);
  if (entry == nullptr)
    throw Error(kNotSupported, kSourceData, "No provider of this build serves the engine of the copy");
  return Offered(entry->checkDirectCopy, *entry, "check a direct copy")(start, size);
}

std::vector<CodeObject> ListDirectCopyCode(DataProvider engine, const std::filesystem::path& copy) {
  const ProviderEntry* entry = ProviderOfEngine(engine);
  if (entry == nullptr)
    throw Error(kNotSupported, kSourceData, "No provider of this build serves the engine of the copy");
  return Offered(entry->listCopyCode, *entry, "list the code of a direct copy")(copy);
}

DirectCopyCheck CheckDirectCopyPages(DataProvider engine, const std::filesystem::path& copy,
                                     std::string_view password) {
  const ProviderEntry* entry = ProviderOfEngine(engine);
  if (entry == nullptr || !entry->checkCopyPages) return {};
  return entry->checkCopyPages(copy, password);
}

bool IsProtectedDatabase(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return entry.isProtected && entry.isProtected(connectionString);
}

DatabaseRights ReadDatabaseRights(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return entry.rights ? entry.rights(connectionString) : DatabaseRights{};
}

std::vector<std::string> RemoveLeftovers(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
  return entry.removeLeftovers ? entry.removeLeftovers(connectionString) : std::vector<std::string>{};
}

std::string CheckEngineObject(std::string_view providerName, const EngineObject& object) {
  const ProviderEntry* entry = FindProvider(providerName);
  if (entry == nullptr) return "no provider of this build is called " + std::string(providerName);
  if (!entry->checkEngineObject) return "the provider " + entry->name + " makes no engine objects";
  return entry->checkEngineObject(object);
}

std::optional<std::string> TableWithoutKeysTo(std::string_view providerName, const EngineObject& table,
                                              const std::function<bool(std::string_view name)>& leftOut) {
  const ProviderEntry* entry = FindProvider(providerName);
  if (entry == nullptr || !entry->withoutKeysTo) return std::nullopt;
  return entry->withoutKeysTo(table, leftOut);
}

DataProvider ProviderEngine(std::string_view providerName) {
  const ProviderEntry* entry = FindProvider(providerName);
  return entry != nullptr ? entry->engine : dpUnknown;
}

std::unique_ptr<DatabaseManagement> CreateManagementObject(std::string_view progId) {
  for (const ProviderEntry& entry : RegisteredProviders())
    if (entry.management && entry.managementProgId == progId) return entry.management();
  return nullptr;
}

}  // namespace vela::data
