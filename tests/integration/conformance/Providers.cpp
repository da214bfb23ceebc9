// The providers the conformance suite runs against, one factory each.
#include <cctype>

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
};

INSTANTIATE_TEST_SUITE_P(Providers, ProviderConformance, ::testing::Values(kFileDatabases),
                         [](const ::testing::TestParamInfo<ProviderFactory>& info) {
                           std::string name = info.param.provider;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace vela::data::testing
