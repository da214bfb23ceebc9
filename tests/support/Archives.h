// Reading and writing backup archives member by member, for tests that craft or damage backups.
#pragma once

#include <zip.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

namespace vela::testing {

using Members = std::map<std::string, std::string>;  // name -> bytes

inline Members ReadArchive(const std::string& path) {
  Members members;
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  if (archive == nullptr) throw std::runtime_error("cannot open " + path);
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t stat;
    zip_stat_index(archive, i, 0, &stat);
    std::string bytes(stat.size, '\0');
    zip_file_t* file = zip_fopen_index(archive, i, 0);
    zip_fread(file, bytes.data(), stat.size);
    zip_fclose(file);
    members[stat.name] = std::move(bytes);
  }
  zip_discard(archive);
  return members;
}

inline void WriteArchive(const std::string& path, const Members& members) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("cannot create " + path);
  for (const auto& [name, bytes] : members) {
    zip_source_t* source = zip_source_buffer(archive, bytes.data(), bytes.size(), 0);
    zip_file_add(archive, name.c_str(), source, ZIP_FL_OVERWRITE);
  }
  if (zip_close(archive) != 0) throw std::runtime_error("cannot write " + path);
}

// Rewrites a 32-bit field of a member's local header and its central directory entry alike, so that the
// archive stays consistent and only what the member claims changes: what a hostile tool would write.
enum class HeaderField { kCrc, kSize };  // CRC-32; uncompressed size

inline void PatchMember(const std::string& path, const std::string& name, HeaderField field,
                        std::uint32_t value) {
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
  };
  auto put = [&](std::size_t at) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  };
  const bool crc = field == HeaderField::kCrc;
  int patched = 0;
  for (std::size_t at = 0; at + 46 <= bytes.size(); ++at) {
    if (bytes.compare(at, 4, "PK\3\4") == 0 && bytes.compare(at + 30, u16(at + 26), name) == 0 &&
        u16(at + 26) == name.size()) {
      put(at + (crc ? 14 : 22));
      ++patched;
    } else if (bytes.compare(at, 4, "PK\1\2") == 0 && bytes.compare(at + 46, u16(at + 28), name) == 0 &&
               u16(at + 28) == name.size()) {
      put(at + (crc ? 16 : 24));
      ++patched;
    }
  }
  if (patched != 2) throw std::runtime_error("no member " + name + " to patch in " + path);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// UTF-16LE with byte-order mark, for hand-made table data files (ASCII text only).
inline std::string Utf16File(const std::string& ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

}  // namespace vela::testing
