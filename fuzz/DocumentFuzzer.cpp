// Fuzzes the backup document reader: an input is the document's text. It is loaded as the restore loads
// it and read into the backup document; every attribute a restore step may require is then required, and
// every engine object goes through the check verify gives it. A malformed document must fail with
// vela::Error and nothing else. A document that reads is written again and must read back with as many
// tables.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "backupfile/BackupDocument.h"
#include "platform/xml/Document.h"
#include "velabackup/Error.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace {

template <class T>
void Touch(const vela::backupfile::Attribute<T>& attribute) {
  try {
    (void)attribute.Require();
  } catch (const vela::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path path = vela::fuzz::RunFolder() / "document.xml";
  vela::fuzz::WriteFile(path, data, size);
  try {
    vela::xml::Document xml = vela::xml::Document::Load(path.string());
    vela::backupfile::BackupDocument document = vela::backupfile::ReadBackupDocument(xml);
    for (const auto& group : document.groups)
      for (const auto& table : group) {
        if (!table.IsTable()) continue;
        for (const auto& column : table.columns) {
          Touch(column.defineSize);
          Touch(column.precision);
          Touch(column.numericScale);
          Touch(column.nullable);
          Touch(column.autoincrement);
          (void)table.FindColumn(column.name);
        }
        for (const auto& index : table.indexes) {
          Touch(index.clustered);
          Touch(index.unique);
          Touch(index.primaryKey);
          Touch(index.indexNulls);
          for (const auto& name : index.columns) (void)table.FindColumn(name);
        }
        for (const auto& key : table.keys) {
          Touch(key.deleteRule);
          Touch(key.updateRule);
        }
        (void)vela::backupfile::IsRowGUID(table.name);
      }
    // Each engine object goes through the check verify gives it (fuzz_engineobject fuzzes the SQL itself).
    if (document.engineObjects)
      for (const auto& object : document.engineObjects->objects)
        (void)vela::data::CheckEngineObject(document.engineObjects->provider, object);
    const std::filesystem::path again = vela::fuzz::RunFolder() / "again.xml";
    vela::backupfile::WriteBackupDocument(document, vela::dpAccess, again.string());
    vela::backupfile::BackupDocument reread =
        vela::backupfile::ReadBackupDocument(vela::xml::Document::Load(again.string()));
    std::size_t before = 0, after = 0;
    for (const auto& group : document.groups)
      for (const auto& table : group) before += table.IsTable();
    for (const auto& group : reread.groups)
      for (const auto& table : group) after += table.IsTable();
    if (before != after) __builtin_trap();
  } catch (const vela::Error&) {
  }
  return 0;
}
