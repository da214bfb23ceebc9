// The provider conformance suite: what the backup component relies on from a provider of vela::data,
// checked the same way for every provider. A provider takes part through one ProviderFactory, listed in
// Providers.cpp; the tests know nothing else of it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/DataChecks.h"
#include "support/TempFolder.h"

namespace vela::data::testing {

struct ProviderFactory {
  std::string provider;  // the provider's name, as Connection::Provider() reports it
  // Makes a new, empty database and returns its connection string. `scratch` is a folder of the running
  // test's own, removed after it; `name` tells apart the databases of one test.
  std::string (*newDatabase)(const std::filesystem::path& scratch, const std::string& name);
  // The connection string that opens the copy Connection::SnapshotTo wrote to `file`; nullptr for a
  // provider whose connections take no snapshots.
  std::string (*openSnapshot)(const std::filesystem::path& file);
  // Why the provider's engine is not at hand in this run (the tests are then skipped, saying so); empty
  // when it is. nullptr for a provider that needs nothing beyond the library.
  std::string (*unavailable)() = nullptr;
};

inline void PrintTo(const ProviderFactory& factory, std::ostream* os) {
  *os << factory.provider;
}

class ProviderConformance : public ::testing::TestWithParam<ProviderFactory> {
 protected:
  void SetUp() override {
    if (GetParam().unavailable != nullptr)
      if (std::string reason = GetParam().unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    connectionString_ = NewDatabase("db");
    db_ = OpenConnection(connectionString_);
    catalog_ = db_->OpenCatalog();
  }

  std::string NewDatabase(const std::string& name) { return GetParam().newDatabase(scratch_.path(), name); }

  // A column as the restore makes one: the provider's properties for a new column, some of them set.
  Column NewColumn(std::string name, int type, std::int64_t size = 0, std::vector<Property> set = {}) const {
    Column c = Col(std::move(name), type, size);
    c.properties = catalog_->NewColumnProperties();
    for (Property& p : set) c.properties.Set(p.name, std::move(p.value));
    return c;
  }

  void MakeTable(std::string name, std::vector<Column> columns, std::vector<Index> indexes = {},
                 std::vector<Key> keys = {}) {
    catalog_->AppendTable(
        Table{std::move(name), "TABLE", std::move(columns), std::move(indexes), std::move(keys)});
  }

  vela::testing::TempFolder scratch_;
  std::string connectionString_;
  std::unique_ptr<Connection> db_;
  std::unique_ptr<Catalog> catalog_;
};

}  // namespace vela::data::testing
