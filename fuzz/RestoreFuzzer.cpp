// Fuzzes a whole restore: an input is the list of an archive's members, which the target packs into a
// stored zip archive (so the mutations reach the document and the data files, not only the CRCs) and
// restores into a new file database in a fresh folder, removed after each input. A restore that cannot
// use the backup must end in vela::Error or False, never in a crash, a leak or undefined behaviour.
//
// Input: members separated by "\n~~member~~\n", each its name, a line break, and its bytes.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/CBackup.h"
#include "velabackup/Error.h"

namespace {

constexpr std::string_view kSeparator = "\n~~member~~\n";

struct Member {
  std::string_view name, bytes;
};

std::vector<Member> Members(std::string_view input) {
  std::vector<Member> members;
  while (!input.empty()) {
    std::size_t end = input.find(kSeparator);
    std::string_view chunk = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + kSeparator.size());
    std::size_t newline = chunk.find('\n');
    if (newline == std::string_view::npos || newline == 0) continue;
    members.push_back({chunk.substr(0, newline), chunk.substr(newline + 1)});
  }
  return members;
}

// False when libzip refuses the names (the unpacker's own target fuzzes raw archives).
bool Pack(const std::filesystem::path& path, const std::vector<Member>& members) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip == nullptr) std::abort();
  for (const Member& member : members) {
    zip_source_t* source = zip_source_buffer(zip, member.bytes.data(), member.bytes.size(), 0);
    if (source == nullptr) std::abort();
    std::string name(member.name);
    zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(source);
      zip_discard(zip);
      return false;
    }
    zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  }
  if (zip_close(zip) != 0) {
    zip_discard(zip);
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<Member> members = Members(std::string_view(reinterpret_cast<const char*>(data), size));
  if (members.empty() || members.size() > 64) return -1;

  vela::fuzz::ScratchFolder folder;
  const std::filesystem::path archive = folder.path() / "backup.vbk";
  if (!Pack(archive, members)) return -1;
  const std::string target = (folder.path() / "target.db").string();
  try {
    vela::CBackup backup;
    backup.SetLanguageResources(vela::LanguageResources::English());
    (void)backup.Restore(
        "Provider=Microsoft.Jet.OLEDB.4.0;" + vela::utils::FormatKeyValue("Data Source", target),
        archive.string());
  } catch (const vela::Error&) {
  }
  return 0;
}
