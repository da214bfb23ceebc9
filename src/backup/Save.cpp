// The save driver: the steps of a save, in order, and the events they raise.
#include "backup/Save.h"

#include <algorithm>
#include <memory>
#include <span>
#include <variant>

#include "archive/Archive.h"
#include "backupfile/TableChoice.h"
#include "component/ConnectionStrings.h"
#include "component/Messages.h"
#include "component/OrderedJobs.h"
#include "component/Procedure.h"
#include "platform/zip/ZipControl.h"
#include "velabackup/BackupFile.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

bool Saver::AllowDataSaving(const std::string& tableName, const TableList& doNotSaveDataTables) {
  return Trapped("AllowDataSaving", [&](Procedure& at) {
    at();
    if (m_Tables.schemaOnly) return false;
    if (const auto* names = std::get_if<std::vector<std::string>>(&doNotSaveDataTables))
      return !operation_.utils().IsInArray(tableName, *names);
    if (std::holds_alternative<std::vector<Value>>(doNotSaveDataTables))
      throw Error(kTypeMismatch, kSourceComponent,
                  "Type mismatch: DoNotSaveDataTables must be an array of strings");
    return true;
  });
}

std::vector<std::string> Saver::ChooseTables(std::vector<Catalog::Entry>& entries) const {
  if (!m_Tables.ChoosesTables()) return {};
  std::vector<std::string> tables;
  for (const Catalog::Entry& entry : entries)
    if (entry.type == "TABLE") tables.push_back(entry.name);
  std::vector<std::string> leftOut =
      backupfile::TablesLeftOut(m_Tables, tables, m_Provider == dpSQLServer, "the database");
  std::erase_if(entries, [&](const Catalog::Entry& entry) {
    return entry.type == "TABLE" && std::find(leftOut.begin(), leftOut.end(), entry.name) != leftOut.end();
  });
  return leftOut;
}

void Saver::SaveTable(Procedure& at, const Catalog::Entry& entry, Catalog& catalog, Connection& connection,
                      const std::string& dataFilePath, bool saved, utils::ByteSink* member,
                      std::int32_t progress, backupfile::TableEntry& element) {
  at();
  Table table = catalog.GetTable(entry.name);
  element.element = backupfile::doc::kTable;
  // A table of another server schema than the default one is named in it, with its schema beside.
  element.name = entry.name;
  if (!entry.schema.empty()) {
    element.schema = entry.schema;
    element.name.erase(0, entry.schema.size() + 1);
  }
  at();
  SaveColumns(element, table, connection);
  at();
  SaveIndexes(element, table, connection);
  at();
  SaveKeys(element, table, connection);
  at();
  element.fileName = operation_.utils().NamePart(dataFilePath);
  at();
  if (saved) SaveData(table, connection, dataFilePath, member, progress, element);
  element.dataSaved = saved;
}

bool Saver::Save(Connection& connection, const std::string& destinationFilePath,
                 const TableList& doNotSaveDataTables) {
  return Trapped("Save", [&](Procedure& at) {
    bool result = false;
    const Utils& utils = operation_.utils();
    WorkFolder& work = operation_.workFolder();
    Archive archive(operation_);
    at();
    operation_.ResetCancel();
    m_Provider = CheckConnectionString(operation_, connection.ConnectionString());

    at();
    const bool isArray = std::holds_alternative<std::vector<std::string>>(doNotSaveDataTables) ||
                         std::holds_alternative<std::vector<Value>>(doNotSaveDataTables);
    std::string fileList = archive.GetAdditionalFiles(isArray ? doNotSaveDataTables : TableList{});

    if (m_BackupMode == bmDirectCopy && m_Provider == dpSQLServer) {
      // The server's own tools make the copy from this computer, whatever the server's address.
      at();
      if (std::string missing = archive.NativeToolsMissing(connection.LoginConnectionString(), false);
          !missing.empty()) {
        std::int32_t answer = 0;
        at();
        operation_.RaiseShowMessage(GetMessageText(68, missing), 36, kRemoteDirectCopyGuid, answer);
        if (answer != kAnswerYes) {
          operation_.Refuse(OutcomeReason::kServerNotLocal);
          return false;
        }
        m_BackupMode = bmCompressedTextFile;
      }
    }

    // A text backup of a password-protected file database is encrypted with the database's password when
    // the host gives none.
    auto archivePassword = [&] {
      std::string password = m_ArchivePassword;
      if (password.empty() && m_Provider == dpAccess && m_BackupMode != bmDirectCopy)
        password = utils.KeyValue(connection.LoginConnectionString(), "Jet OLEDB:Database Password", ";");
      return password;
    };
    std::optional<backupfile::BackupDocument> document;
    bool tableListed = false;  // a table entered the document, with or without its rows
    // The backup file being packed while the tables' data files are written into it; none when the
    // destination is on removable media, where the data files go to the work folder and are packed after.
    std::unique_ptr<ArchivePacking> packing;
    std::size_t nextMember = 0;  // the member written next
    at();
    backupfile::CheckChoiceFitsMode(m_Tables, m_BackupMode);
    if (m_BackupMode == bmDirectCopy) {
      at();
      std::string nativePath = utils.JoinPath(work.Get(), kNativeBackupMember);
      if (m_Provider == dpSQLServer) {
        // The server's own backup; one that fails or is stopped ends the save as a cancel does.
        at();
        if (archive.SaveSQLDatabaseToFile(connection.LoginConnectionString(), nativePath))
          fileList += zip::QuoteFileListEntry(nativePath);
        else
          operation_.Cancel();
      } else {
        // The live file may change while it is packed; the engine's own backup gives a consistent copy.
        at();
        connection.SnapshotTo(nativePath);
        fileList += zip::QuoteFileListEntry(nativePath);
      }
    } else {
      at();
      operation_.RaiseUpdateProgress(0, GetMessageText(13));
      // The catalog, every table's rows and the engine objects are read at one moment, so that rows
      // written meanwhile are in all tables or in none.
      at();
      connection.BeginReadSnapshot();
      struct SnapshotEnd {
        Connection& connection;
        ~SnapshotEnd() {
          try {
            connection.EndReadSnapshot();
          } catch (const Error&) {
            // A connection lost at the end has no transaction left to close.
          }
        }
      } snapshotEnd{connection};
      at();
      std::unique_ptr<Catalog> catalog = connection.OpenCatalog();
      document.emplace();
      at();
      // The document never records a password, whatever the provider calls it.
      document->connectionString = data::RemovePasswords(connection.ConnectionString());
      m_DecimalSeparator = utils.LocaleItem(kLocaleDecimalSeparator);
      m_MonetaryDecimalSeparator = utils.LocaleItem(kLocaleMonetaryDecimalSeparator);
      document->decimalSeparator = m_DecimalSeparator;
      document->thousandSeparator = utils.LocaleItem(kLocaleThousandSeparator);
      document->monetaryDecimalSeparator = m_MonetaryDecimalSeparator;
      document->monetaryThousandSeparator = utils.LocaleItem(kLocaleMonetaryThousandSeparator);
      std::vector<backupfile::TableEntry>& tables = document->groups.emplace_back();

      at();
      std::vector<Catalog::Entry> entries = catalog->ListTables();
      const std::vector<std::string> leftOut = ChooseTables(entries);
      // Each table's data file is named, and whether it holds rows decided, before the first is written:
      // the packing takes the members in the order they come.
      std::vector<std::string> dataFilePaths(entries.size());
      std::vector<char> savesRows(entries.size(), 0);
      std::vector<std::string> written;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].type != "TABLE") continue;
        at();
        dataFilePaths[i] = utils.JoinPath(work.Get(), utils.UniqueName(false));
        savesRows[i] = AllowDataSaving(entries[i].name, doNotSaveDataTables);
        if (savesRows[i]) written.push_back(dataFilePaths[i]);
      }
      for (const char* member : {kDocumentMember, kModeMember, kProviderMember})
        written.push_back(utils.JoinPath(work.Get(), member));
      at();
      packing = archive.BeginZip(destinationFilePath, fileList, written, m_BackupMode, archivePassword(),
                                 m_CompressionLevel);

      const auto tableCount = static_cast<std::int64_t>(entries.size());
      // Further jobs read tables on connections of their own, in the same snapshot; without any, this
      // thread reads them all.
      std::vector<std::unique_ptr<Connection>> readers;
      std::vector<std::unique_ptr<Catalog>> readerCatalogs;
      // Each table is an item of the jobs: its entry, and its progress among all entries.
      std::vector<std::size_t> items(entries.size(), 0);  // each table's item
      std::vector<std::size_t> entryOf;
      std::vector<std::int32_t> progressOf;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].type != "TABLE") continue;
        items[i] = entryOf.size();
        entryOf.push_back(i);
        progressOf.push_back(
            static_cast<std::int32_t>(RoundHalfEven(static_cast<std::int64_t>(i + 1) * 100, tableCount)));
      }
      const std::size_t tableItems = entryOf.size();
      at();
      while (packing && tableItems > 1 && readers.size() + 1 < std::min(m_Jobs, tableItems)) {
        std::unique_ptr<Connection> reader = connection.OpenSnapshotReader();
        if (!reader) break;
        readerCatalogs.push_back(reader->OpenCatalog());
        readers.push_back(std::move(reader));
      }
      std::vector<backupfile::TableEntry> elements(readers.empty() ? 0 : tableItems);
      std::optional<OrderedJobs> jobs;
      if (!readers.empty())
        jobs.emplace(operation_, tableItems, readers.size() + 1,
                     [&](std::size_t item, std::size_t job, Operation& jobOperation, utils::ByteSink& bytes) {
                       Saver saver(*this, jobOperation);
                       const std::size_t i = entryOf[item];
                       // The failure is the save's, which names where it was met.
                       Procedure jobAt("Save", 0);
                       saver.SaveTable(jobAt, entries[i], job == 0 ? *catalog : *readerCatalogs[job - 1],
                                       job == 0 ? connection : *readers[job - 1], dataFilePaths[i],
                                       savesRows[i] != 0, &bytes, progressOf[item], elements[item]);
                     });
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const Catalog::Entry& entry = entries[i];
        if (operation_.Cancelled() || entry.type != "TABLE") continue;
        at();
        const std::int32_t progress = progressOf[items[i]];
        operation_.RaiseUpdateProgress(progress, GetMessageText(14, entry.name));

        at();
        const bool saved = savesRows[i] != 0;
        utils::ByteSink* member = saved && packing ? &packing->Member(nextMember) : nullptr;
        backupfile::TableEntry element;
        if (jobs) {
          if (operation_.Cancelled()) continue;
          jobs->Take(items[i], member);
          element = std::move(elements[items[i]]);
        } else {
          SaveTable(at, entry, *catalog, connection, dataFilePaths[i], saved, member, progress, element);
        }
        if (member != nullptr && !operation_.Cancelled()) packing->EndMember(nextMember++);
        if (!operation_.Cancelled()) {
          // A table whose rows are not saved has its file name in the document, but no file to pack.
          if (saved && !packing) fileList += zip::QuoteFileListEntry(dataFilePaths[i]);
          tableListed = true;
          tables.push_back(std::move(element));
        }
      }
      // The connection is this thread's again once every job has ended.
      jobs.reset();
      readerCatalogs.clear();
      readers.clear();
      // Views, triggers and what else the elements above cannot say travel in the engine's own SQL.
      if (!operation_.Cancelled()) {
        at();
        document->engineObjects = {connection.Provider(), catalog->ListEngineObjects(),
                                   catalog->ListEngineSettings(), catalog->ListEngineStates()};
        document->origin = CaptureOrigin(utils, connection, m_Provider);
        backupfile::TellWhatWentWithTables(
            operation_, backupfile::LeaveTablesOut(*document, leftOut, m_Provider == dpSQLServer));
      }
    }

    if (operation_.Cancelled()) {
      at();
      packing.reset();
      operation_.RaiseUpdateProgress(100, GetMessageText(15));
    } else if (!fileList.empty() || tableListed) {
      const std::string mode = std::to_string(static_cast<std::int32_t>(m_BackupMode));
      const std::string provider = std::to_string(static_cast<std::int32_t>(m_Provider));
      if (document) {
        at();
        operation_.RaiseUpdateProgress(0, GetMessageText(16));
      }
      if (packing) {
        // The document, mode and provider files never touch the work folder either.
        auto pack = [&](const std::string& text) {
          packing->Member(nextMember).Write(std::as_bytes(std::span(text.data(), text.size())));
          packing->EndMember(nextMember++);
        };
        at();
        pack(backupfile::BackupDocumentText(*document, m_Provider));
        pack(mode);
        pack(provider);
        at();
        packing->Finish();
      } else {
        if (document) {
          at();
          std::string documentPath = utils.JoinPath(work.Get(), kDocumentMember);
          backupfile::WriteBackupDocument(*document, m_Provider, documentPath);
          fileList += zip::QuoteFileListEntry(documentPath);
        }
        at();
        std::string modePath = utils.JoinPath(work.Get(), kModeMember);
        utils.WriteTextFile(modePath, mode);
        fileList += zip::QuoteFileListEntry(modePath);
        std::string providerPath = utils.JoinPath(work.Get(), kProviderMember);
        utils.WriteTextFile(providerPath, provider);
        fileList += zip::QuoteFileListEntry(providerPath);

        at();
        archive.ZipFiles(destinationFilePath, fileList, m_BackupMode,
                         m_BackupMode == bmDirectCopy && m_Provider == dpSQLServer, archivePassword(),
                         m_CompressionLevel);
      }
      at();
      if (operation_.Cancelled()) {
        operation_.RaiseUpdateProgress(100, GetMessageText(15));
      } else {
        operation_.RaiseUpdateProgress(100, GetMessageText(17));
        result = true;
      }
    }
    at();
    packing.reset();
    work.Remove();
    return result;
  });
}

}  // namespace vela
