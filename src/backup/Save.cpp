// The save driver: an open connection into one backup file.
//
// Text modes walk the catalog, write the backup document and one table data file per table into the work
// folder, then pack them with the mode and provider files and the host's additional files. The direct
// copy packs a consistent snapshot of the database instead. An earlier file at the destination is replaced
// only when the new archive is complete: a failed, cancelled or empty save leaves it as it was.
#include <variant>

#include "backup/ColumnCapture.h"
#include "component/Component.h"
#include "component/ConnectionStrings.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/utils/KeyValue.h"
#include "velabackup/CBackup.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

namespace {

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

// The connection string as recorded in the document: never with a password.
std::string Recordable(std::string_view connectionString) {
  std::string text = utils::RemoveKey(connectionString, "Password", ";");
  text = utils::RemoveKey(text, "Pwd", ";");
  return utils::RemoveKey(text, "Jet OLEDB:Database Password", ";");
}

}  // namespace

bool Component::AllowDataSaving(const std::string& tableName, const TableList& doNotSaveDataTables) {
  return Trapped("AllowDataSaving", [&](Procedure& at) {
    at();
    if (const auto* names = std::get_if<std::vector<std::string>>(&doNotSaveDataTables))
      return !utils().IsInArray(tableName, *names);
    if (std::holds_alternative<std::vector<Value>>(doNotSaveDataTables))
      throw Error(kTypeMismatch, "VelaBackup",
                  "Type mismatch: DoNotSaveDataTables must be an array of strings");
    return true;
  });
}

bool Component::Save(Connection& connection, const std::string& destinationFilePath,
                     const TableList& doNotSaveDataTables) {
  return Trapped("Save", [&](Procedure& at) {
    bool result = false;
    at();
    m_Cancel = false;
    m_Provider = GetDBMS(utils(), connection.ConnectionString());

    at();
    const bool isArray = std::holds_alternative<std::vector<std::string>>(doNotSaveDataTables) ||
                         std::holds_alternative<std::vector<Value>>(doNotSaveDataTables);
    std::string fileList = GetAdditionalFiles(isArray ? doNotSaveDataTables : TableList{});

    if (m_BackupMode == bmDirectCopy && m_Provider == dpSQLServer) {
      at();
      ConnectionParts parts = GetConnectionParts(utils(), connection.ConnectionString());
      if (!IsLocalServer(utils(), parts.dataSource)) {
        std::int32_t answer = 0;
        at();
        RaiseShowMessage(GetMessageText(38), 36, "{66685F35-E98D-45C9-A75D-41E896550869}", answer);
        if (answer != kAnswerYes) return false;
        m_BackupMode = bmCompressedTextFile;
      }
    }

    std::optional<xml::Document> document;
    bool tableListed = false;  // a table entered the document, with or without its rows
    if (m_BackupMode == bmDirectCopy) {
      if (m_Provider == dpSQLServer) {
        at();
        throw Error(kNotSupported, "VelaBackup",
                    "A direct copy of a server database is not available in this build");
      }
      // The live file may change while it is packed; the engine's own backup gives a consistent copy.
      at();
      m_AccessFilePath = utils().KeyValue(connection.ConnectionString(), "Data Source", ";");
      std::string snapshot = utils().JoinPath(GetWorkFolder(), kNativeBackupFileName);
      connection.SnapshotTo(snapshot);
      fileList += Quoted(snapshot) + " ";
    } else {
      at();
      RaiseUpdateProgress(0, GetMessageText(13));
      at();
      std::unique_ptr<Catalog> catalog = connection.OpenCatalog();
      document.emplace();
      xml::Element root = document->SetDocumentElement(document->CreateElement("Database"));
      at();
      root.SetAttribute("ConnectionString", Recordable(connection.ConnectionString()));
      root.SetAttribute("DecimalSeparator", utils().LocaleItem(kLocaleDecimalSeparator));
      root.SetAttribute("ThousandSeparator", utils().LocaleItem(kLocaleThousandSeparator));
      root.SetAttribute("MonetaryDecimalSeparator", utils().LocaleItem(kLocaleMonetaryDecimalSeparator));
      root.SetAttribute("MonetaryThousandSeparator", utils().LocaleItem(kLocaleMonetaryThousandSeparator));
      xml::Element tables = root.AppendChild(root.CreateElement("Tables"));

      at();
      const std::vector<Catalog::Entry> entries = catalog->ListTables();
      const auto tableCount = static_cast<std::int64_t>(entries.size());
      std::int64_t tableCounter = 0;
      for (const Catalog::Entry& entry : entries) {
        if (m_Cancel) continue;
        ++tableCounter;
        if (entry.type != "TABLE") continue;
        at();
        const auto progress = static_cast<std::int32_t>(RoundHalfEven(tableCounter * 100, tableCount));
        RaiseUpdateProgress(progress, GetMessageText(14, entry.name));

        at();
        Table table = catalog->GetTable(entry.name);
        xml::Element element = root.CreateElement("Table");
        element.SetAttribute("Name", entry.name);
        at();
        element.AppendChild(SaveColumns(element.CreateElement("Columns"), table, connection));
        at();
        element.AppendChild(SaveIndexes(element.CreateElement("Indexes"), table, connection));
        at();
        element.AppendChild(SaveKeys(element.CreateElement("Keys"), table, connection));

        at();
        std::string dataFilePath = utils().JoinPath(GetWorkFolder(), utils().UniqueName(false));
        element.SetAttribute("FileName", utils().NamePart(dataFilePath));
        at();
        bool saved = AllowDataSaving(entry.name, doNotSaveDataTables);
        if (saved) SaveData(entry.name, connection, dataFilePath, progress);
        if (!m_Cancel) {
          // A table whose rows are not saved has its file name in the document, but no file to pack.
          if (saved) fileList += Quoted(dataFilePath) + " ";
          tableListed = true;
          tables.AppendChild(element);
        }
      }
    }

    if (m_Cancel) {
      at();
      RaiseUpdateProgress(100, GetMessageText(15));
    } else if (!fileList.empty() || tableListed) {
      if (document) {
        at();
        RaiseUpdateProgress(0, GetMessageText(16));
        std::string documentPath = utils().JoinPath(GetWorkFolder(), kDocumentFileName);
        document->Save(documentPath);
        fileList += Quoted(documentPath) + " ";
      }
      at();
      std::string modePath = utils().JoinPath(GetWorkFolder(), kModeFileName);
      utils().WriteTextFile(modePath, std::to_string(static_cast<std::int32_t>(m_BackupMode)));
      fileList += Quoted(modePath) + " ";
      std::string providerPath = utils().JoinPath(GetWorkFolder(), kProviderFileName);
      utils().WriteTextFile(providerPath, std::to_string(static_cast<std::int32_t>(m_Provider)));
      fileList += Quoted(providerPath);

      at();
      ZipFiles(destinationFilePath, fileList);
      at();
      if (m_Cancel) {
        RaiseUpdateProgress(100, GetMessageText(15));
      } else {
        RaiseUpdateProgress(100, GetMessageText(17));
        result = true;
      }
    }
    at();
    if (!WorkFolderPath().empty()) utils().RemoveFolder(WorkFolderPath(), true);
    return result;
  });
}

bool CBackup::Save(data::Connection& connection, const std::string& destinationFilePath,
                   const TableList& doNotSaveDataTables) {
  return component_->Save(connection, destinationFilePath, doNotSaveDataTables);
}

}  // namespace vela
