// Save and restore of the sample file database: every mode gives back the same schema and the same rows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "Sample.h"
#include "support/TempFolder.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {
namespace {

using namespace data;
using testing::FileDatabase;
using testing::TempFolder;

// Everything observable of one database: schema and rows, as text lines.
std::vector<std::string> Describe(const std::string& connectionString) {
  std::vector<std::string> lines;
  std::unique_ptr<Connection> connection = OpenConnection(connectionString);
  std::unique_ptr<Catalog> catalog = connection->OpenCatalog();
  for (const Catalog::Entry& entry : catalog->ListTables()) {
    if (entry.type != "TABLE") continue;
    Table table = catalog->GetTable(entry.name);
    lines.push_back("table " + table.name);
    for (const Column& c : table.columns) {
      std::string line = "  column " + c.name + " type=" + std::to_string(c.type) +
                         " size=" + std::to_string(c.definedSize) +
                         " precision=" + std::to_string(c.precision) +
                         " scale=" + std::to_string(c.numericScale);
      for (const char* property : {"Autoincrement", "Nullable", "Default"}) {
        if (!c.properties.Has(property)) continue;
        std::string value = c.properties[property].AsText();
        // A Boolean default travels as its value: Yes and -1 are the same default.
        if (c.type == adBoolean && std::string(property) == "Default" && !value.empty())
          value = Value(value.starts_with("=") ? value.substr(1) : value).AsBool() ? "-1" : "0";
        line += std::string(" ") + property + "=" + value;
      }
      lines.push_back(line);
    }
    for (const Index& i : table.indexes) {
      std::string line = "  index " + i.name + " unique=" + std::to_string(i.unique) +
                         " pk=" + std::to_string(i.primaryKey) + " (";
      for (const Column& c : i.columns) line += c.name + ",";
      lines.push_back(line + ")");
    }
    for (const Key& k : table.keys) {
      if (k.type != adKeyForeign) continue;
      std::string line = "  key " + k.relatedTable + " delete=" + std::to_string(k.deleteRule) +
                         " update=" + std::to_string(k.updateRule) + " (";
      for (const Column& c : k.columns) line += c.name + "->" + c.relatedColumn + ",";
      lines.push_back(line + ")");
    }
    std::unique_ptr<Recordset> rows = connection->OpenRecordset(
        "SELECT * FROM [" + table.name + "]", adOpenForwardOnly, adLockReadOnly, adUseServer);
    for (; !rows->Eof(); rows->MoveNext()) {
      std::string line = "  row";
      for (std::size_t i = 0; i < rows->FieldCount(); ++i) {
        const Value& v = rows->GetValue(i);
        line += " | " + std::to_string(static_cast<int>(v.GetKind())) + ":" +
                (v.GetKind() == Value::Kind::Binary ? std::to_string(v.AsBytes().size()) + "b:" + v.AsText()
                                                    : v.AsText());
      }
      lines.push_back(line);
    }
    rows->Close();
  }
  connection->Close();
  return lines;
}

struct Recorder : CBackupEvents {
  void UpdateProgress(std::int32_t value, const std::string& caption) override {
    progress.emplace_back(value, caption);
    if (cancelAt > 0 && static_cast<int>(progress.size()) == cancelAt) backup->Cancel();
  }
  void ShowMessage(const std::string& prompt, std::int32_t, const std::string& guid, std::int32_t&) override {
    messages.push_back(guid + " " + prompt);
  }
  void DatabaseCorruptionFound() override { ++corruption; }
  void RestoreAdditionalFiles(const std::string&, const std::string&, const std::string&) override {
    ++restored;
  }

  CBackup* backup = nullptr;
  int cancelAt = 0;
  std::vector<std::pair<int, std::string>> progress;
  std::vector<std::string> messages;
  int corruption = 0;
  int restored = 0;
};

class RoundTrip : public ::testing::TestWithParam<BackupModeEnum> {
 protected:
  void SetUp() override {
    cli::MakeSampleDatabase(FileDatabase(source_), 250);
    backup_.SetLanguageResources(LanguageResources::English());
    recorder_.backup = &backup_;
    backup_.SetEvents(&recorder_);
  }

  TempFolder folder_;
  std::string source_ = folder_ / "source.db";
  std::string archive_ = folder_ / "backup.vbk";
  std::string target_ = folder_ / "target.db";
  CBackup backup_;
  Recorder recorder_;
};

TEST_P(RoundTrip, RestoresEverySchemaItemAndRow) {
  backup_.SetBackupMode(GetParam());
  {
    std::unique_ptr<Connection> connection = OpenConnection(FileDatabase(source_));
    ASSERT_TRUE(backup_.Save(*connection, archive_));
  }
  EXPECT_EQ(recorder_.progress.back().first, 100);
  // Stored key names are kept, so the restored schema reads exactly like the source.
  ASSERT_TRUE(backup_.Restore(FileDatabase(target_), archive_, true));
  EXPECT_EQ(backup_.BackupMode(), GetParam());
  EXPECT_EQ(recorder_.restored, 1);
  std::vector<std::string> expected = Describe(FileDatabase(source_));
  // A text backup leaves out the row that lets new connections in.
  if (GetParam() != bmDirectCopy)
    std::erase_if(expected, [](const std::string& line) {
      return line.find("AllowNewConnection") != std::string::npos;
    });
  std::vector<std::string> restored = Describe(FileDatabase(target_));
  ASSERT_EQ(restored.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(restored[i], expected[i]);

  // The next autoincrement values lie above what was restored; a direct copy keeps the source's seed (20).
  std::unique_ptr<Connection> target = OpenConnection(FileDatabase(target_));
  target->Execute("INSERT INTO [Customers] ([Name]) VALUES ('New')");
  target->Execute("INSERT INTO [Measurements] ([Label]) VALUES ('New')");
  auto maxOf = [&](const char* sql) {
    auto rows = target->OpenRecordset(sql, adOpenForwardOnly, adLockReadOnly, adUseServer);
    return rows->GetValue(0).AsInt();
  };
  EXPECT_EQ(maxOf("SELECT MAX([CustomerID]) FROM [Customers]"), GetParam() == bmDirectCopy ? 20 : 9);
  EXPECT_EQ(maxOf("SELECT MAX([ID]) FROM [Measurements]"), 251);
}

INSTANTIATE_TEST_SUITE_P(Modes, RoundTrip,
                         ::testing::Values(bmCompressedTextFile, bmUncompressedTextFile, bmDirectCopy),
                         [](const auto& info) {
                           return info.param == bmCompressedTextFile     ? std::string("Compressed")
                                  : info.param == bmUncompressedTextFile ? std::string("Uncompressed")
                                                                         : std::string("DirectCopy");
                         });

}  // namespace
}  // namespace vela
