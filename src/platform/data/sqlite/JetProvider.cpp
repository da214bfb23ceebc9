#include "platform/data/sqlite/JetProvider.h"

#include "platform/data/sqlite/JetConnection.h"
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

ProviderEntry JetProviderEntry() {
  return ProviderEntry{kProviderName, &JetConnection::Open, &JetConnection::Create};
}

}  // namespace vela::data::sqlite
