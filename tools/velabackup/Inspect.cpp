// velabackup inspect: what a backup file holds, in words or as one JSON document.
#include <nlohmann/json.hpp>

#include <iostream>

#include "Commands.h"
#include "Login.h"
#include "Terminal.h"
#include "velabackup/BackupInfo.h"

namespace vela::cli {
namespace {

const char* LayoutName(BackupLayout layout) {
  switch (layout) {
    case BackupLayout::kCurrent:
      return "current";
    case BackupLayout::kOlder:
      return "older";
    default:
      return "not a backup archive";
  }
}

const char* ModeName(const std::optional<BackupModeEnum>& mode) {
  if (!mode) return "unknown";
  switch (*mode) {
    case bmCompressedTextFile:
      return "compressed text";
    case bmUncompressedTextFile:
      return "uncompressed text";
    default:
      return "direct copy";
  }
}

const char* EngineName(const std::optional<DataProvider>& provider) {
  if (!provider) return "unknown";
  return *provider == dpAccess ? "file database (Microsoft.Jet.OLEDB.4.0)" : "server database (SQLOLEDB.1)";
}

const char* MethodName(std::uint16_t method) {
  return method == 0 ? "stored" : method == 8 ? "deflated" : "other";
}

// A member's role as a key of the JSON document and in words.
struct RoleText {
  const char* key;
  const char* words;
};

RoleText TextOf(MemberRole role) {
  switch (role) {
    case MemberRole::kDocument:
      return {"document", "backup document"};
    case MemberRole::kMode:
      return {"mode", "mode file"};
    case MemberRole::kProvider:
      return {"provider", "provider file"};
    case MemberRole::kTableData:
      return {"tableData", "data of table"};
    case MemberRole::kNativeCopy:
      return {"nativeCopy", "native copy"};
    default:
      return {"additionalFile", "additional file"};
  }
}

std::string RoleName(const BackupMember& member) {
  std::string words = TextOf(member.role).words;
  return member.role == MemberRole::kTableData ? words + " " + member.table : words;
}

void PrintJson(const std::string& path, const BackupInfo& info, const BackupCodeList& code) {
  using nlohmann::json;
  json document = {{"file", path}, {"layout", LayoutName(info.layout)}};
  document["mode"] = info.mode ? json(static_cast<int>(*info.mode)) : json(nullptr);
  document["modeName"] = ModeName(info.mode);
  document["provider"] = info.provider ? json(static_cast<int>(*info.provider)) : json(nullptr);
  document["engine"] = EngineName(info.provider);
  document["encrypted"] = info.encrypted;
  document["locked"] = info.locked;
  json& members = document["members"] = json::array();
  for (const BackupMember& member : info.members) {
    json entry = {{"name", member.name},
                  {"role", TextOf(member.role).key},
                  {"size", member.size},
                  {"packedSize", member.packedSize},
                  {"method", MethodName(member.method)}};
    if (member.role == MemberRole::kTableData) entry["table"] = member.table;
    members.push_back(std::move(entry));
  }
  json& tables = document["tables"] = json::array();
  for (const BackupTable& table : info.tables) {
    json entry = {{"name", table.name},
                  {"file", table.fileName},
                  {"columns", table.columns},
                  {"dataPresent", table.dataPresent}};
    entry["rows"] = table.headerCount ? json(*table.headerCount) : json(nullptr);
    tables.push_back(std::move(entry));
  }
  json& objects = document["code"] = json::array();
  for (const BackupCode& object : code.objects) {
    json entry = {{"kind", object.kind}, {"name", object.name}};
    if (!object.table.empty()) entry["table"] = object.table;
    if (!object.detail.empty()) entry["detail"] = object.detail;
    objects.push_back(std::move(entry));
  }
  document["codeUnlisted"] = code.unlisted.empty() ? json(nullptr) : json(code.unlisted);
  std::cout << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

// What a restore would make that holds code: each object on a line, so that a user can look before
// restoring a backup from elsewhere.
void PrintCode(const BackupCodeList& code) {
  if (code.objects.empty() && code.unlisted.empty()) return;
  std::cout << "Code (made, and run where it is built or filled, by a restore):\n";
  for (const BackupCode& object : code.objects) {
    std::cout << "  " << Printable(object.kind) << " " << Printable(object.name);
    if (!object.table.empty()) std::cout << " on " << Printable(object.table);
    if (!object.detail.empty()) std::cout << " (" << Printable(object.detail) << ")";
    std::cout << "\n";
  }
  if (!code.unlisted.empty()) std::cout << "  not listed: " << Printable(code.unlisted) << "\n";
}

void PrintText(const std::string& path, const BackupInfo& info) {
  std::cout << "Backup file: " << Printable(path) << "\n";
  std::cout << "Layout: " << LayoutName(info.layout) << "\n";
  std::cout << "Mode: " << (info.modeText.empty() ? "-" : Printable(info.modeText)) << " ("
            << ModeName(info.mode) << ")\n";
  std::cout << "Source engine: " << (info.providerText.empty() ? "-" : Printable(info.providerText)) << " ("
            << EngineName(info.provider) << ")\n";
  if (info.encrypted)
    std::cout << "Encrypted: yes (AES-256)"
              << (info.locked ? "; the backup file's password (--archive-password-file) is needed to read it"
                              : "")
              << "\n";
  std::cout << "Members:\n";
  for (const BackupMember& member : info.members)
    std::cout << "  " << Printable(member.name) << "  " << Printable(RoleName(member)) << ", "
              << HumanSize(member.size) << ", " << HumanSize(member.packedSize) << " packed, "
              << MethodName(member.method) << "\n";
  if (info.tables.empty()) return;
  std::cout << "Tables:\n";
  for (const BackupTable& table : info.tables) {
    std::string rows = !table.dataPresent ? "structure only"
                       : table.headerCount
                           ? GroupedNumber(*table.headerCount) + (*table.headerCount == 1 ? " row" : " rows")
                           : "rows unreadable";
    std::cout << "  " << Printable(table.name) << ": " << table.columns << " columns, " << rows << "\n";
  }
}

}  // namespace

int RunInspect(const InspectOptions& options) {
  const std::string password = ArchivePassword(options.archivePasswordFile, options.file, {}, false);
  BackupInfo info = InspectBackup(options.file, password);
  // A locked backup shows its members only: its code is inside what the password opens.
  const BackupCodeList code = info.layout == BackupLayout::kCurrent && !info.locked
                                  ? ListBackupCode(options.file, password)
                                  : BackupCodeList{};
  if (options.json) {
    PrintJson(options.file, info, code);
  } else {
    PrintText(options.file, info);
    PrintCode(code);
  }
  return 0;
}

}  // namespace vela::cli
