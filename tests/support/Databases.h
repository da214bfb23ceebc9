// Small file databases for tests, made through the catalog like any host would.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/data/SqlText.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::testing {

struct ColumnSpec {
  std::string name;
  int type = data::adVarWChar;
  std::int64_t size = 0;
  bool autoincrement = false;
};

inline void MakeTable(data::Catalog& catalog, const std::string& name,
                      std::initializer_list<ColumnSpec> specs) {
  data::Table table;
  table.name = name;
  for (const ColumnSpec& spec : specs) {
    data::Column column;
    column.name = spec.name;
    column.type = spec.type;
    column.definedSize = spec.size;
    column.properties = catalog.NewColumnProperties();
    column.properties.Set("Autoincrement", spec.autoincrement);
    column.properties.Set("Nullable", !spec.autoincrement);
    table.columns.push_back(std::move(column));
  }
  catalog.AppendTable(table);
}

// Adds one row: a value per column, Null for NULL.
inline void AddRow(data::Connection& connection, const std::string& table, std::vector<data::Value> values) {
  auto rows = connection.OpenRecordset("SELECT * FROM " + data::BracketName(table), data::adOpenDynamic,
                                       data::adLockOptimistic, data::adUseServer);
  rows->AddNew();
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!values[i].IsNull()) rows->SetValue(i, values[i]);
  rows->Update();
  rows->Close();
}

inline std::unique_ptr<data::Connection> NewFileDatabase(const std::string& path) {
  std::string cs = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
  data::CreateDatabase(cs);
  return data::OpenConnection(cs);
}

}  // namespace vela::testing
