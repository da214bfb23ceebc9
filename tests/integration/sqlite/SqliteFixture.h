// Shared setup of the file-database provider's own tests: a temporary folder per test and connection
// strings for files in it. What every provider does is checked in ../conformance; these tests keep what is
// particular to file databases and to the Jet manner of this provider.
#pragma once

#include <filesystem>
#include <string>

#include "platform/utils/KeyValue.h"
#include "support/DataChecks.h"
#include "support/SqliteFiles.h"
#include "support/TempFolder.h"

namespace vela::data::testing {

using vela::testing::ReadFile;

class SqliteTest : public ::testing::Test {
 protected:
  std::filesystem::path File(const std::string& name) const { return folder_.path() / name; }

  static std::string Cs(const std::filesystem::path& file, const std::string& password = "") {
    std::string cs = vela::testing::FileDatabase(file.string());
    if (!password.empty()) cs = utils::SetKeyValue(cs, "Jet OLEDB:Database Password", password, ";");
    return cs;
  }

  std::unique_ptr<Connection> NewDatabase(const std::string& name = "db.mdb",
                                          const std::string& password = "") {
    CreateDatabase(Cs(File(name), password));
    return OpenConnection(Cs(File(name), password));
  }

  vela::testing::TempFolder folder_;
};

}  // namespace vela::data::testing
