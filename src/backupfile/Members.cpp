#include "backupfile/Members.h"

#include <charconv>

#include "backupfile/BackupDocument.h"
#include "platform/text/Strings.h"
#include "platform/zip/ArchiveReader.h"
#include "platform/zip/MemberName.h"
#include "velabackup/BackupFile.h"
#include "velabackup/Error.h"

namespace vela::backupfile {

std::optional<std::int32_t> ParseMarker(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  std::int32_t number = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || text.front() == '-' || ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return number;
}

MemberIndex::MemberIndex(const std::vector<std::string>& names, const std::string& archivePath)
    : archivePath_(archivePath) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    std::vector<std::string> parts;
    if (std::string problem = zip::CheckMemberName(name, parts); !problem.empty())
      throw Error(
          kUnsafeMember, kSourceComponent,
          "The backup file " + archivePath_ + " holds the member \"" + name + "\", whose name " + problem);
    exact_.emplace(name, i);
    byUpper_[text::ToUpper(name)].push_back(name);
  }
  for (const char* fixed : {kDocumentMember, kModeMember, kProviderMember, kNativeBackupMember})
    RefuseTwins(fixed);
}

MemberIndex MemberIndex::OfArchive(const std::string& archivePath) {
  zip::ArchiveReader reader(archivePath);
  std::vector<std::string> names;
  names.reserve(reader.Members().size());
  for (const zip::MemberStat& member : reader.Members()) names.push_back(member.name);
  return MemberIndex(names, archivePath);
}

std::optional<std::size_t> MemberIndex::Find(std::string_view name) const {
  auto found = exact_.find(std::string(name));
  if (found == exact_.end()) return std::nullopt;
  return found->second;
}

void MemberIndex::CheckTableFiles(const BackupDocument& document) const {
  for (const auto& group : document.groups)
    for (const TableEntry& entry : group)
      if (entry.IsTable() && entry.fileName) RefuseTwins(*entry.fileName);
}

void MemberIndex::RefuseTwins(std::string_view name) const {
  auto found = byUpper_.find(text::ToUpper(name));
  if (found == byUpper_.end() || found->second.size() < 2) return;
  throw Error(kBadFileFormat, kSourceComponent,
              "The backup file " + archivePath_ + " holds the member " + std::string(name) +
                  " more than once (as \"" + found->second[0] + "\" and \"" + found->second[1] +
                  "\"), equal but for letter case; it is not read");
}

}  // namespace vela::backupfile
