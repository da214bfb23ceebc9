// velabackup inspect: what a backup file holds, in words or as one JSON document.
#include <nlohmann/json.hpp>

#include <iostream>

#include "Commands.h"
#include "Login.h"
#include "Terminal.h"
#include "velabackup/BackupInfo.h"
#include "velabackup/Error.h"
#include "velabackup/data/Types.h"

namespace vela::cli {
namespace {

// The version of the JSON document `inspect --json` prints; raised when a key changes its meaning or goes.
constexpr int kInspectFormatVersion = 1;

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

// A column's type in words: the server's own name when the backup keeps it, else the data-access type's.
std::string TypeWords(const BackupColumn& column) {
  if (!column.serverType.empty()) return column.serverType;
  using namespace data;
  const std::string size = column.size && *column.size > 0 ? "(" + std::to_string(*column.size) + ")" : "";
  switch (column.dataType) {
    case adTinyInt:
    case adUnsignedTinyInt:
      return "tinyint";
    case adSmallInt:
      return "smallint";
    case adInteger:
      return "integer";
    case adBigInt:
      return "bigint";
    case adSingle:
      return "real";
    case adDouble:
      return "double";
    case adCurrency:
      return "currency";
    case adBoolean:
      return "boolean";
    case adGUID:
      return "guid";
    case adVariant:
      return "any";
    case adDate:
    case adDBTimeStamp:
      return "datetime";
    case adDBDate:
      return "date";
    case adDBTime:
      return "time";
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      return "decimal" + (column.precision ? "(" + std::to_string(*column.precision) + "," +
                                                 std::to_string(column.scale.value_or(0)) + ")"
                                           : std::string());
    case adLongVarChar:
    case adLongVarWChar:
      return "memo";
    case adLongVarBinary:
      return "long binary";
    case adBinary:
    case adVarBinary:
      return "binary" + size;
    default:
      return IsTextType(column.dataType) ? "text" + size : "type " + std::to_string(column.dataType);
  }
}

std::string TableName(const BackupTable& table) {
  return table.schema.empty() ? table.name : table.schema + "." + table.name;
}

std::string RowsWords(const BackupTable& table) {
  if (!table.dataSaved) return "structure only";
  if (!table.dataPresent) return "no data file";
  if (!table.headerCount) return "rows unreadable";
  return GroupedNumber(*table.headerCount) + (*table.headerCount == 1 ? " row" : " rows");
}

std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return "(" + list + ")";
}

std::string RoleName(const BackupMember& member) {
  std::string words = TextOf(member.role).words;
  return member.role == MemberRole::kTableData ? words + " " + member.table : words;
}

void PrintJson(const std::string& path, const BackupInfo& info, const BackupCodeList& code) {
  using nlohmann::json;
  json document = {
      {"formatVersion", kInspectFormatVersion}, {"file", path}, {"layout", LayoutName(info.layout)}};
  document["origin"] = info.origin ? json{{"database", info.origin->database},
                                          {"engine", info.origin->engine},
                                          {"made", info.origin->made},
                                          {"tool", info.origin->tool}}
                                   : json(nullptr);
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
    entry["schema"] = table.schema.empty() ? json(nullptr) : json(table.schema);
    entry["dataSaved"] = table.dataSaved;
    json& columns = entry["columnList"] = json::array();
    for (const BackupColumn& column : table.columnList)
      columns.push_back({{"name", column.name},
                         {"type", TypeWords(column)},
                         {"dataType", column.dataType},
                         {"nullable", column.nullable},
                         {"autoincrement", column.autoincrement}});
    json& indexes = entry["indexes"] = json::array();
    for (const BackupIndex& index : table.indexes)
      indexes.push_back({{"name", index.name},
                         {"columns", index.columns},
                         {"primaryKey", index.primaryKey},
                         {"unique", index.unique}});
    json& keys = entry["keys"] = json::array();
    for (const BackupKey& key : table.keys)
      keys.push_back({{"name", key.name},
                      {"columns", key.columns},
                      {"relatedTable", key.relatedTable},
                      {"relatedColumns", key.relatedColumns}});
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

// A table's columns, indexes and keys, one to a line under the table's own.
void PrintTableObjects(const BackupTable& table) {
  for (const BackupColumn& column : table.columnList)
    std::cout << "    column " << Printable(column.name) << " " << Printable(TypeWords(column))
              << (column.nullable ? "" : " not null") << (column.autoincrement ? " autoincrement" : "")
              << "\n";
  for (const BackupIndex& index : table.indexes)
    std::cout << "    "
              << (index.primaryKey ? "primary key"
                  : index.unique   ? "unique index"
                                   : "index")
              << " " << Printable(index.name) << " " << Printable(NameList(index.columns)) << "\n";
  for (const BackupKey& key : table.keys)
    std::cout << "    foreign key " << Printable(key.name) << " " << Printable(NameList(key.columns))
              << " references " << Printable(key.relatedTable) << " "
              << Printable(NameList(key.relatedColumns)) << "\n";
}

void PrintText(const std::string& path, const BackupInfo& info) {
  std::cout << "Backup file: " << Printable(path) << "\n";
  if (info.origin) {
    std::cout << "Made: " << Printable(info.origin->made.empty() ? "-" : info.origin->made) << " by "
              << Printable(info.origin->tool.empty() ? "-" : info.origin->tool) << "\n";
    std::cout << "Source database: " << Printable(info.origin->database.empty() ? "-" : info.origin->database)
              << " ("
              << Printable(info.origin->engine.empty() ? "engine version not kept" : info.origin->engine)
              << ")\n";
  }
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
    std::cout << "  " << Printable(TableName(table)) << ": " << table.columns << " columns, "
              << RowsWords(table) << "\n";
    PrintTableObjects(table);
  }
}

// Under --json a failure is a JSON document too, on standard output, so that a script reads one either way.
void PrintJsonError(const std::optional<std::int32_t>& number, const std::string& message) {
  using nlohmann::json;
  json error = {{"message", message}};
  error["number"] = number ? json(FormatErrorNumber(*number)) : json(nullptr);
  json document = {{"formatVersion", kInspectFormatVersion}, {"error", std::move(error)}};
  std::cout << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

int Inspect(const InspectOptions& options) {
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

}  // namespace

int RunInspect(const InspectOptions& options) {
  if (!options.json) return Inspect(options);
  // The exit status stays what it is without --json: 64 for a usage error, 2 for a failure.
  try {
    return Inspect(options);
  } catch (const UsageError& error) {
    PrintJsonError(std::nullopt, error.what());
    return 64;
  } catch (const Error& error) {
    PrintJsonError(error.Number(), error.Description());
    return 2;
  } catch (const std::exception& error) {
    PrintJsonError(std::nullopt, error.what());
    return 2;
  }
}

}  // namespace vela::cli
