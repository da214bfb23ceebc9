// What the fuzz targets share: private scratch folders, and writing an input where a reader wants a file.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace vela::fuzz {

// A folder made with mkdtemp (mode 0700), removed with everything in it when the object goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "Cannot create a folder " + pattern);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The folder of the whole run, for files rewritten at every input; removed at exit.
inline const std::filesystem::path& RunFolder() {
  static ScratchFolder folder;
  return folder.path();
}

// Writes the bytes as the whole file (replacing it); aborts when it cannot, which is no finding.
inline void WriteFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) ::abort();
  if (size != 0 && std::fwrite(data, 1, size, file) != size) ::abort();
  if (std::fclose(file) != 0) ::abort();
}

}  // namespace vela::fuzz
