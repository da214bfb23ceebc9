// Small helpers for tests of the data-access layer: readable values in failure messages, the error an
// action raises, every row of a query, catalog values built in one line.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/Failure.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::data {

// Failure messages show a value's kind and text rather than its bytes.
inline void PrintTo(const Value& value, std::ostream* os) {
  static const char* kKinds[] = {"Empty", "Null",   "Boolean", "Integer", "Double",
                                 "Text",  "Binary", "Date",    "Decimal"};
  *os << kKinds[static_cast<int>(value.GetKind())] << "(";
  if (value.GetKind() == Value::Kind::Binary)
    *os << value.AsBytes().size() << " bytes";
  else if (!value.IsNullOrEmpty())
    *os << value.AsText().substr(0, 80);
  *os << ")";
}

}  // namespace vela::data

namespace vela::data::testing {

using RowList = std::vector<std::vector<Value>>;

using vela::testing::Failure;

// Every row of a query through the streaming cursor.
inline RowList Rows(Connection& connection, const std::string& sql) {
  auto rs = connection.OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
  RowList rows;
  for (; !rs->Eof(); rs->MoveNext()) {
    std::vector<Value> row;
    for (std::size_t i = 0; i < rs->FieldCount(); ++i) row.push_back(rs->GetValue(i));
    rows.push_back(std::move(row));
  }
  return rows;
}

inline Column Col(std::string name, int type, std::int64_t size = 0, std::vector<Property> properties = {}) {
  Column c;
  c.name = std::move(name);
  c.type = type;
  c.definedSize = size;
  c.properties = Properties(std::move(properties));
  return c;
}

// A key or index column: the name, and for a foreign key the related column.
inline Column KeyColumn(std::string name, std::string relatedColumn = "") {
  Column c;
  c.name = std::move(name);
  c.relatedColumn = std::move(relatedColumn);
  return c;
}

}  // namespace vela::data::testing
