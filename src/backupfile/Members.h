// The members of a backup file, and the one rule by which the restore, inspect and verify find them.
//
// A member is found by its exact name. A backup file is refused whole (kBadFileFormat) when a member
// with a fixed name (velabackup/BackupFile.h) or a table data file the document names stands in it twice,
// equal but for letter case: on another system, or through another reader, the other one could be read.
// A name that leaves the folder it is unpacked into is refused with kUnsafeMember. The host's additional
// files may differ only in case, as users' files do.
//
// The mode and provider members hold a decimal number, with white space around it allowed; anything else
// is no number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vela::backupfile {

struct BackupDocument;

// The number a mode or provider member holds, or nullopt when it holds none.
std::optional<std::int32_t> ParseMarker(std::string_view text);

class MemberIndex {
 public:
  // Refuses the archive at `archivePath` (named in the error) for the names of its members, as above.
  MemberIndex(const std::vector<std::string>& names, const std::string& archivePath);
  // The members of the archive at `archivePath`, read from its directory.
  static MemberIndex OfArchive(const std::string& archivePath);

  // The position of the member of exactly that name in the list given, or nullopt.
  std::optional<std::size_t> Find(std::string_view name) const;
  bool Has(std::string_view name) const { return Find(name).has_value(); }

  // Refuses the archive when a data file the document names stands in it twice, equal but for case.
  void CheckTableFiles(const BackupDocument& document) const;

 private:
  void RefuseTwins(std::string_view name) const;

  std::string archivePath_;
  std::unordered_map<std::string, std::size_t> exact_;
  std::unordered_map<std::string, std::vector<std::string>> byUpper_;  // upper-cased name -> names
};

}  // namespace vela::backupfile
