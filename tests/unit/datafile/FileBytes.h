// The raw bytes of the files the table data file tests write and read.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace vela::testing {

using ByteString = std::vector<unsigned char>;

// UTF-16LE bytes of `units`, after the byte-order mark when `bom` is set.
inline ByteString Utf16Le(std::u16string_view units, bool bom = true) {
  ByteString bytes;
  if (bom) bytes = {0xFF, 0xFE};
  for (char16_t u : units) {
    bytes.push_back(static_cast<unsigned char>(u & 0xFF));
    bytes.push_back(static_cast<unsigned char>(u >> 8));
  }
  return bytes;
}

inline void WriteBytes(const std::filesystem::path& path, const ByteString& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline ByteString ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteString(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vela::testing
