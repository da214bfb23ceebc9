// A private temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "platform/utils/KeyValue.h"

namespace vela::testing {

class TempFolder {
 public:
  // mkdtemp makes a folder no other test or user can have made or entered (mode 0700).
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "Cannot create a folder " + pattern);
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A path inside the folder as the text the component's calls take; path() / name where a path is wanted.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Every byte of a file; empty when there is none.
inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<path>", the path quoted where it needs to be.
inline std::string FileDatabase(const std::string& path) {
  return "Provider=Microsoft.Jet.OLEDB.4.0;" + utils::FormatKeyValue("Data Source", path);
}

}  // namespace vela::testing
