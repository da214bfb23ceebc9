// Reading and writing backup archives member by member, for tests that craft or damage backups.
#pragma once

#include <zip.h>

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
