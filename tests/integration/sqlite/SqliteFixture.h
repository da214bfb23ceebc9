// Shared setup of the file-database provider tests: a temporary folder per test (removed afterwards) and
// small builders for catalog values and row reads.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela::data {

// Failure messages show a value's kind and text rather than its bytes.
inline void PrintTo(const Value& value, std::ostream* os) {
  static const char* kKinds[] = {"Empty", "Null",   "Boolean", "Integer", "Double",
                                 "Text",  "Binary", "Date",    "Decimal"};
  *os << kKinds[static_cast<int>(value.GetKind())] << "(" << value.AsText() << ")";
}

}  // namespace vela::data

namespace vela::data::testing {

class SqliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-sqlite-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path File(const std::string& name) const { return dir_ / name; }

  static std::string Cs(const std::filesystem::path& file, const std::string& password = "") {
    std::string cs = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string();
    if (!password.empty()) cs += ";Jet OLEDB:Database Password=" + password;
    return cs;
  }

  std::unique_ptr<Connection> NewDatabase(const std::string& name = "db.mdb",
                                          const std::string& password = "") {
    CreateDatabase(Cs(File(name), password));
    return OpenConnection(Cs(File(name), password));
  }

  static Column Col(std::string name, int type, std::int64_t size = 0,
                    std::vector<Property> properties = {}) {
    Column c;
    c.name = std::move(name);
    c.type = type;
    c.definedSize = size;
    c.properties = Properties(std::move(properties));
    return c;
  }

  // Every row of a query through the streaming cursor.
  static std::vector<std::vector<Value>> Rows(Connection& connection, const std::string& sql) {
    auto rs = connection.OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
    std::vector<std::vector<Value>> rows;
    for (; !rs->Eof(); rs->MoveNext()) {
      std::vector<Value> row;
      for (std::size_t i = 0; i < rs->FieldCount(); ++i) row.push_back(rs->GetValue(i));
      rows.push_back(std::move(row));
    }
    return rows;
  }

  static std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path dir_;
};

// Runs `action` and returns the vela::Error it raised (failing the test when it raised none).
template <class Action>
Error Failure(Action&& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was raised";
  return Error(0, "", "");
}

}  // namespace vela::data::testing
