// The providers the conformance suite runs against, one factory each.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "ProviderConformance.h"

namespace vela::data::testing {
namespace {

std::string FileDatabase(const std::filesystem::path& file) {
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string();
}

const ProviderFactory kFileDatabases = {
    "Microsoft.Jet.OLEDB.4.0",
    [](const std::filesystem::path& scratch, const std::string& name) {
      std::string connectionString = FileDatabase(scratch / (name + ".mdb"));
      CreateDatabase(connectionString);
      return connectionString;
    },
    FileDatabase,
    nullptr,
};

// Server databases live on the PostgreSQL test cluster (scripts/pg_cluster.sh), which libpq finds through
// PGHOST, PGPORT and PGUSER. Each test makes its own databases; they are dropped when the run ends.
bool ServerTestsWanted() {
  const char* wanted = std::getenv("VELA_TEST_PG");
  return wanted != nullptr && std::string(wanted) == "1";
}

std::vector<std::string>& ServerDatabases() {
  static std::vector<std::string> made;
  return made;
}

class DropServerDatabases : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const std::string& connectionString : ServerDatabases()) {
      try {
        DropDatabase(connectionString);
      } catch (const Error& e) {
        ADD_FAILURE() << "Cannot drop the test database (" << connectionString << "): " << e.Description();
      }
    }
    ServerDatabases().clear();
  }
};
const ::testing::Environment* const kDropServerDatabases =
    ::testing::AddGlobalTestEnvironment(new DropServerDatabases);

const ProviderFactory kServerDatabases = {
    "SQLOLEDB.1",
    [](const std::filesystem::path&, const std::string& name) {
      static int counter = 0;
      std::string database =
          "cat_conf_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + name;
      std::string connectionString = "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=" + database;
      try {
        CreateDatabase(connectionString);
      } catch (const Error& e) {
        throw Error(e.Number(), e.Source(),
                    "VELA_TEST_PG=1 but no test database can be made on the PostgreSQL test cluster: " +
                        e.Description());
      }
      ServerDatabases().push_back(connectionString);
      return connectionString;
    },
    nullptr,
    [] {
      return ServerTestsWanted() ? std::string()
                                 : std::string(
                                       "Server provider skipped: set VELA_TEST_PG=1 and the environment "
                                       "printed by `scripts/pg_cluster.sh start`");
    },
};

INSTANTIATE_TEST_SUITE_P(Providers, ProviderConformance, ::testing::Values(kFileDatabases, kServerDatabases),
                         [](const ::testing::TestParamInfo<ProviderFactory>& info) {
                           std::string name = info.param.provider;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace vela::data::testing
