// What the data-access layer shares across providers: name lookups and the choice of provider.
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
      kItemNotFound, "VelaBackup.Data",
      "Item cannot be found in the collection corresponding to the requested name: " + std::string(name));
}

const Property* Properties::Find(std::string_view name) const {
  for (const Property& p : items_)
    if (NamesEqual(p.name, name)) return &p;
  return nullptr;
}

const Value& Properties::operator[](std::string_view name) const {
  if (const Property* p = Find(name)) return p->value;
  throw Error(kItemNotFound, "VelaBackup.Data", "Property not found: " + std::string(name));
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

namespace {

const ProviderEntry& ProviderFor(std::string_view connectionString) {
  std::string provider = utils::KeyValue(connectionString, "Provider", ";");
  for (const ProviderEntry& entry : RegisteredProviders())
    if (entry.name == provider) return entry;
  throw Error(kComponentError, "VelaBackup.Data",
              provider.empty() ? std::string("No provider named in the connection string")
                               : "Provider cannot be found: " + provider);
}

}  // namespace

std::unique_ptr<Connection> OpenConnection(std::string_view connectionString) {
  return ProviderFor(connectionString).open(connectionString);
}

void CreateDatabase(std::string_view connectionString) {
  ProviderFor(connectionString).create(connectionString);
}

}  // namespace vela::data
