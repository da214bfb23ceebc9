// Everything observable of one database, schema and rows, as text lines that two databases can be compared
// by: tables by name, a table's columns in their order, its indexes, foreign keys and rows each sorted, so
// that engines which list them in other orders still compare equal.
#pragma once

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/data/SqlText.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::testing {

inline std::string DescribeValue(const data::Value& v) {
  return std::to_string(static_cast<int>(v.GetKind())) + ":" +
         (v.GetKind() == data::Value::Kind::Binary ? std::to_string(v.AsBytes().size()) + "b:" + v.AsText()
                                                   : v.AsText());
}

inline std::vector<std::string> Describe(const std::string& connectionString) {
  using namespace data;
  std::vector<std::string> lines;
  std::unique_ptr<Connection> connection = OpenConnection(connectionString);
  std::unique_ptr<Catalog> catalog = connection->OpenCatalog();
  // Tables in the order of their names: engines list them in orders of their own.
  std::vector<Catalog::Entry> entries = catalog->ListTables();
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const Catalog::Entry& entry : entries) {
    if (entry.type != "TABLE") continue;
    Table table = catalog->GetTable(entry.name);
    lines.push_back("table " + table.name);
    for (const Column& c : table.columns) {
      std::string line = "  column " + c.name + " type=" + std::to_string(c.type) +
                         " size=" + std::to_string(c.definedSize) +
                         " precision=" + std::to_string(c.precision) +
                         " scale=" + std::to_string(c.numericScale);
      for (const char* property : {"Autoincrement", "Nullable", "Default"}) {
        if (!c.properties.Has(property)) continue;
        std::string value = c.properties[property].AsText();
        // A Boolean default travels as its value: Yes and -1 are the same default.
        if (c.type == adBoolean && std::string(property) == "Default" && !value.empty())
          value = Value(value.starts_with("=") ? value.substr(1) : value).AsBool() ? "-1" : "0";
        line += std::string(" ") + property + "=" + value;
      }
      lines.push_back(line);
    }
    std::vector<std::string> sorted;
    for (const Index& i : table.indexes) {
      std::string line = "  index " + i.name + " unique=" + std::to_string(i.unique) +
                         " pk=" + std::to_string(i.primaryKey) + " (";
      for (const Column& c : i.columns) line += c.name + ",";
      sorted.push_back(line + ")");
    }
    for (const Key& k : table.keys) {
      if (k.type != adKeyForeign) continue;
      std::string line = "  key " + k.relatedTable + " delete=" + std::to_string(k.deleteRule) +
                         " update=" + std::to_string(k.updateRule) + " (";
      for (const Column& c : k.columns) line += c.name + "->" + c.relatedColumn + ",";
      sorted.push_back(line + ")");
    }
    std::unique_ptr<Recordset> rows = connection->OpenRecordset(
        "SELECT * FROM " + BracketName(table.name), adOpenForwardOnly, adLockReadOnly, adUseServer);
    for (; !rows->Eof(); rows->MoveNext()) {
      std::string line = "  row";
      for (std::size_t i = 0; i < rows->FieldCount(); ++i) line += " | " + DescribeValue(rows->GetValue(i));
      sorted.push_back(line);
    }
    rows->Close();
    std::sort(sorted.begin(), sorted.end());
    lines.insert(lines.end(), sorted.begin(), sorted.end());
  }
  connection->Close();
  return lines;
}

// The lines only one of two descriptions has, each marked "-" (only in the first) or "+" (only in the
// second); empty when they are equal.
inline std::string DescriptionDifference(const std::vector<std::string>& first,
                                         const std::vector<std::string>& second) {
  std::string out;
  std::vector<std::string> a = first, b = second;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  std::vector<std::string> only;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(only));
  for (const std::string& line : only) out += "- " + line + "\n";
  only.clear();
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(only));
  for (const std::string& line : only) out += "+ " + line + "\n";
  if (out.empty() && first != second) out = "the same lines in another order\n";
  return out;
}

}  // namespace vela::testing
