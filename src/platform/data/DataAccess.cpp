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

}  // namespace

std::unique_ptr<Connection> OpenConnection(std::string_view connectionString) {
  const ProviderEntry& entry = ProviderFor(connectionString);
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

}  // namespace

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

std::string CheckEngineObject(std::string_view providerName, const EngineObject& object) {
  const ProviderEntry* entry = FindProvider(providerName);
  if (entry == nullptr) return "no provider of this build is called " + std::string(providerName);
  if (!entry->checkEngineObject) return "the provider " + entry->name + " makes no engine objects";
  return entry->checkEngineObject(object);
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
