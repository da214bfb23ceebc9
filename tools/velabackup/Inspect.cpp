// velabackup inspect: what a backup file holds, in words or as one JSON document.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "Host.h"
#include "velabackup/BackupInfo.h"

namespace vela::cli {
namespace {

// Sizes in binary units: "912 bytes", "25.3 MiB".
std::string HumanSize(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

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

std::string RoleName(const BackupMember& member) {
  switch (member.role) {
    case MemberRole::kDocument:
      return "backup document";
    case MemberRole::kMode:
      return "mode file";
    case MemberRole::kProvider:
      return "provider file";
    case MemberRole::kTableData:
      return "data of table " + member.table;
    case MemberRole::kNativeCopy:
      return "native copy";
    default:
      return "additional file";
  }
}

const char* RoleKey(MemberRole role) {
  switch (role) {
    case MemberRole::kDocument:
      return "document";
    case MemberRole::kMode:
      return "mode";
    case MemberRole::kProvider:
      return "provider";
    case MemberRole::kTableData:
      return "tableData";
    case MemberRole::kNativeCopy:
      return "nativeCopy";
    default:
      return "additionalFile";
  }
}

void PrintJson(const std::string& path, const BackupInfo& info) {
  using nlohmann::json;
  json document = {{"file", path}, {"layout", LayoutName(info.layout)}};
  document["mode"] = info.mode ? json(static_cast<int>(*info.mode)) : json(nullptr);
  document["modeName"] = ModeName(info.mode);
  document["provider"] = info.provider ? json(static_cast<int>(*info.provider)) : json(nullptr);
  document["engine"] = EngineName(info.provider);
  json& members = document["members"] = json::array();
  for (const BackupMember& member : info.members) {
    json entry = {{"name", member.name},
                  {"role", RoleKey(member.role)},
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
  std::cout << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

void PrintText(const std::string& path, const BackupInfo& info) {
  std::cout << "Backup file: " << Printable(path) << "\n";
  std::cout << "Layout: " << LayoutName(info.layout) << "\n";
  std::cout << "Mode: " << (info.modeText.empty() ? "-" : Printable(info.modeText)) << " ("
            << ModeName(info.mode) << ")\n";
  std::cout << "Source engine: " << (info.providerText.empty() ? "-" : Printable(info.providerText)) << " ("
            << EngineName(info.provider) << ")\n";
  std::cout << "Members:\n";
  for (const BackupMember& member : info.members)
    std::cout << "  " << Printable(member.name) << "  " << Printable(RoleName(member)) << ", "
              << HumanSize(member.size) << ", " << HumanSize(member.packedSize) << " packed, "
              << MethodName(member.method) << "\n";
  if (info.tables.empty()) return;
  std::cout << "Tables:\n";
  for (const BackupTable& table : info.tables) {
    std::string rows = !table.dataPresent  ? "structure only"
                       : table.headerCount ? std::to_string(*table.headerCount) + " rows"
                                           : "rows unreadable";
    std::cout << "  " << Printable(table.name) << ": " << table.columns << " columns, " << rows << "\n";
  }
}

}  // namespace

int RunInspect(const InspectOptions& options) {
  BackupInfo info = InspectBackup(options.file);
  if (options.json)
    PrintJson(options.file, info);
  else
    PrintText(options.file, info);
  return 0;
}

}  // namespace vela::cli
