// Each test process works in a temporary folder of its own. A restore removes the work folders that
// operations which did not finish left in the temporary folder, and says so; tests that kill a save or a
// restore on purpose would otherwise leave such folders for a test running at the same time to find.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace {

class PrivateTemp : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-tests-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "Cannot create a folder " + pattern);
    folder_ = pattern;
    if (const char* before = ::getenv("TMPDIR")) before_ = before;
    ::setenv("TMPDIR", folder_.c_str(), 1);
  }

  void TearDown() override {
    if (before_)
      ::setenv("TMPDIR", before_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }

 private:
  std::string folder_;
  std::optional<std::string> before_;
};

[[maybe_unused]] const ::testing::Environment* const kPrivateTemp =
    ::testing::AddGlobalTestEnvironment(new PrivateTemp);

}  // namespace
