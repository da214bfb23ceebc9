// The reference backups under tests/reference, written by earlier versions of the component: each one must
// restore for ever and give back what its ".expected" file lists. That file names the targets to restore
// into ("restore into file", "restore into server") and the password of a protected file ("password ..."),
// then lists the database as read back: each table, for a file target its columns, indexes and keys, and
// its rows in one canonical text per value that both engines share; "file NAME TEXT" lines are host files
// the backup holds, restored beside the database.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/utils/KeyValue.h"
#include "support/Describe.h"
#include "support/ServerDatabases.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

namespace fs = std::filesystem;
using data::Value;

const fs::path kReferences = fs::path(VELA_SOURCE_DIR) / "tests" / "reference";

// A value as the expected files write it: NULL; Booleans True / False; integers and reals in their text
// form, exact numbers without trailing zeros; dates between "#"; texts as JSON strings; bytes as 0x and hex.
std::string Canonical(const Value& value) {
  switch (value.GetKind()) {
    case Value::Kind::Empty:
    case Value::Kind::Null:
      return "NULL";
    case Value::Kind::Boolean:
      return value.AsBool() ? "True" : "False";
    case Value::Kind::Text:
      return nlohmann::json(value.TextRef()).dump();
    case Value::Kind::Date:
      return "#" + value.TextRef() + "#";
    case Value::Kind::Binary: {
      std::string hex = "0x";
      for (std::uint8_t byte : value.AsBytes())
        hex += "0123456789ABCDEF"[byte >> 4], hex += "0123456789ABCDEF"[byte & 15];
      return hex;
    }
    case Value::Kind::Decimal: {
      std::string text = value.TextRef();
      if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
      }
      return text == "-0" ? "0" : text;
    }
    default:
      return value.AsText();
  }
}

// What a restored database gives back: the schema facts Describe reads (a file target only) and each
// table's rows in canonical form, sorted, as the expected files list them.
std::vector<std::string> ReadBack(const std::string& connectionString, bool schema) {
  std::vector<std::string> lines;
  std::unique_ptr<data::Connection> connection = data::OpenConnection(connectionString);
  std::string table;
  auto addRows = [&] {
    if (table.empty()) return;
    std::vector<std::string> rows;
    auto records =
        connection->OpenRecordset("SELECT * FROM " + data::BracketName(table), data::adOpenForwardOnly,
                                  data::adLockReadOnly, data::adUseServer);
    for (; !records->Eof(); records->MoveNext()) {
      std::string row = "  row";
      for (std::size_t i = 0; i < records->FieldCount(); ++i) row += " | " + Canonical(records->GetValue(i));
      rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    lines.insert(lines.end(), rows.begin(), rows.end());
  };
  for (const std::string& line : testing::Describe(connectionString)) {
    if (line.starts_with("table ")) {
      addRows();
      table = line.substr(6);
      lines.push_back(line);
    } else if (schema && !line.starts_with("  row")) {
      lines.push_back(line);
    }
  }
  addRows();
  return lines;
}

struct Expected {
  std::vector<std::string> targets;  // "file", "server"
  std::string password;
  std::vector<std::string> lines;
  std::vector<std::string> files;  // the names of the host files
};

Expected ReadExpected(const fs::path& path) {
  Expected expected;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("restore into ")) {
      expected.targets.push_back(line.substr(13));
    } else if (line.starts_with("password ")) {
      expected.password = line.substr(9);
    } else {
      if (line.starts_with("file ")) expected.files.push_back(nlohmann::json::parse(line.substr(5)).at(0));
      expected.lines.push_back(line);
    }
  }
  return expected;
}

// A host that puts the backup's own files beside the restored database, as the expected file names them.
struct HostFiles : CBackupEvents {
  void RestoreAdditionalFiles(const std::string&, const std::string& unpacked, const std::string&) override {
    for (const std::string& name : names)
      if (fs::exists(fs::path(unpacked) / name)) fs::copy_file(fs::path(unpacked) / name, beside / name);
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const std::string& name : names) {
      if (!fs::exists(beside / name)) continue;
      std::stringstream text;
      text << std::ifstream(beside / name, std::ios::binary).rdbuf();
      lines.push_back("file " + nlohmann::json::array({name, text.str()}).dump());
    }
    return lines;
  }
  std::vector<std::string> names;
  fs::path beside;
};

// Restores every reference backup that names `target` into a new database that `newTarget` gives for the
// backup's folder, and compares what comes back with the expected lines (schema facts only for files).
template <typename NewTarget>
void RestoreEvery(const std::string& target, NewTarget newTarget) {
  std::vector<fs::path> backups;
  for (const fs::directory_entry& entry : fs::directory_iterator(kReferences))
    if (entry.path().extension() == ".vbk") backups.push_back(entry.path());
  std::sort(backups.begin(), backups.end());
  ASSERT_GE(backups.size(), 10u);
  for (const fs::path& backup : backups) {
    SCOPED_TRACE(backup.filename().string());
    Expected expected = ReadExpected(fs::path(backup).replace_extension(".expected"));
    ASSERT_FALSE(expected.targets.empty()) << "no expected file, or no target in it";
    if (std::find(expected.targets.begin(), expected.targets.end(), target) == expected.targets.end())
      continue;
    testing::TempFolder folder;
    std::string connectionString = newTarget(folder);
    if (!expected.password.empty())
      connectionString += ";" + utils::FormatKeyValue("Jet OLEDB:Database Password", expected.password);
    HostFiles host;
    host.names = expected.files;
    host.beside = folder.path();
    CBackup restore;
    restore.SetLanguageResources(LanguageResources::English());
    restore.SetEvents(&host);
    if (!restore.Restore(connectionString, backup.string(), true, {}, expected.password)) {
      ADD_FAILURE() << "the restore returned False";
      continue;
    }

    const bool file = target == "file";
    std::vector<std::string> actual = ReadBack(connectionString, file);
    for (const std::string& line : host.Lines()) actual.push_back(line);
    std::vector<std::string> wanted;
    for (const std::string& line : expected.lines)
      if (file || line.starts_with("table ") || line.starts_with("  row") || line.starts_with("file "))
        wanted.push_back(line);
    std::string all;
    for (const std::string& line : actual) all += line + "\n";
    EXPECT_EQ(testing::DescriptionDifference(wanted, actual), "") << "read back:\n" << all;
  }
}

TEST(ReferenceBackups, EveryOneRestoresIntoAFileDatabaseWithItsRowsAndSchema) {
  RestoreEvery("file", [](const testing::TempFolder& folder) {
    return testing::FileDatabase(folder / "restored.db");
  });
}

TEST(ReferenceBackups, EveryOneRestoresIntoTheServerWithItsRows) {
  VELA_REQUIRE_SERVER();
  // The server's own restore works in its backup folder, which goes under the test's folder.
  testing::TempFolder state;
  const char* previous = std::getenv("XDG_STATE_HOME");
  const std::string before = previous ? previous : "";
  ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
  testing::ServerDatabaseGuard databases;
  RestoreEvery("server", [&](const testing::TempFolder&) { return databases.Add("reference"); });
  if (previous)
    ::setenv("XDG_STATE_HOME", before.c_str(), 1);
  else
    ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace vela
