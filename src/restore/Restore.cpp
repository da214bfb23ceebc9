// The restore driver: the steps of a restore, in order, and the events they raise.
#include "restore/Restore.h"

#include "archive/Archive.h"
#include "backupfile/Members.h"
#include "backupfile/TableChoice.h"
#include "component/ConnectionStrings.h"
#include "component/Messages.h"
#include "component/Procedure.h"
#include "platform/text/Strings.h"
#include "platform/utils/KeyValue.h"
#include "platform/xml/Document.h"
#include "platform/zip/ArchiveReader.h"
#include "velabackup/BackupFile.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

using namespace data;

Restorer::RestorationObjects::RestorationObjects() = default;
Restorer::RestorationObjects::~RestorationObjects() = default;

void Restorer::InitializeRestorationObjects(const std::string& connectionString,
                                            RestorationObjects& objects) {
  Trapped("InitializeRestorationObjects", [&](Procedure& at) {
    at();
    objects.document.emplace();
    at();
    objects.connection = OpenConnection(connectionString);
    objects.connection->SetCommandTimeout(240);
    objects.connection->SetCursorLocation(adUseClient);
    at();
    objects.catalog = objects.connection->OpenCatalog();
  });
}

namespace {

// The decimal number a marker file holds; a file without one counts as 0.
std::int32_t ReadNumberFile(const Utils& utils, const std::string& path) {
  return backupfile::ParseMarker(utils.ReadTextFile(path)).value_or(0);
}

}  // namespace

std::unordered_set<std::string> Restorer::DataMembers(const zip::ArchiveReader& archive) const {
  // The document the restore reads stands in the restore folder: that of the last document or mode member,
  // as the unpacking decides it.
  auto isFixed = [&](const std::string& name, bool all) {
    const std::string part = utils().NamePart(name);
    return text::EqualsNoCase(part, kDocumentMember) || text::EqualsNoCase(part, kModeMember) ||
           (all &&
            (text::EqualsNoCase(part, kProviderMember) || text::EqualsNoCase(part, kNativeBackupMember)));
  };
  std::string folder;
  for (const zip::MemberStat& member : archive.Members())
    if (!member.folder && isFixed(member.name, false))
      folder = member.name.substr(0, member.name.rfind('/') + 1);
  const std::string documentName = folder + kDocumentMember;
  std::unordered_set<std::string> names;
  for (const zip::MemberStat& member : archive.Members()) {
    if (member.name != documentName) continue;
    try {
      std::string text;
      archive.Read(member, [&](const char* data, std::size_t size) { text.append(data, size); });
      const backupfile::BackupDocument document =
          backupfile::ReadBackupDocument(xml::Document::Parse(text, member.name));
      for (const std::vector<backupfile::TableEntry>& group : document.groups)
        for (const backupfile::TableEntry& entry : group)
          if (entry.IsTable() && entry.fileName) names.insert(folder + utils().NamePart(*entry.fileName));
    } catch (const Error&) {
      return {};  // unpacked whole: the restore fails on it as it did
    }
  }
  // The files the unpacking hands over are always written, whatever the document says.
  std::erase_if(names, [&](const std::string& name) { return isFixed(name, true); });
  return names;
}

const zip::MemberStat* Restorer::DataMember(const backupfile::TableEntry& table) const {
  if (!table.fileName) return nullptr;
  const std::string name = m_DataFolder + utils().NamePart(*table.fileName);
  if (m_RowsLeftOut.contains(name)) return nullptr;
  const auto found = m_Members.find(name);
  return found == m_Members.end() ? nullptr : found->second;
}

bool Restorer::Restore(const std::string& connectionString, const std::string& sourceFilePath,
                       bool intelligentTableStructure, const std::string& msAccessIgnoreRelations,
                       const std::string& msAccessDBPassword) {
  return Trapped("Restore", [&](Procedure& at) {
    bool result = false;
    // Whatever ends the restore, a database still aside is removed once the objects holding it are gone.
    struct AsideRemover {
      Restorer& restorer;
      ~AsideRemover() { restorer.DropAside(); }
    } asideRemover{*this};
    // The backup file stays open until the restore ends, however it ends.
    struct ArchiveCloser {
      Restorer& restorer;
      ~ArchiveCloser() {
        restorer.m_Members.clear();
        restorer.m_RowsLeftOut.clear();
        restorer.m_Archive.reset();
      }
    } archiveCloser{*this};
    m_Aside.clear();
    m_Placing = Placing::kAside;
    RestorationObjects objects;
    WorkFolder& work = operation_.workFolder();
    at();
    m_IntelligentTableStructure = intelligentTableStructure;
    operation_.ResetCancel();
    m_Provider = CheckConnectionString(operation_, connectionString);
    m_RestoreFolder.clear();
    m_CorruptionFound = false;
    if (m_Provider == dpUnknown) return false;
    at();
    CheckRole(connectionString);
    if (!MayReplaceTarget(connectionString, msAccessDBPassword)) return false;

    // A work folder left behind by a failed operation holds nothing this restore may read.
    at();
    work.Remove();
    at();
    bool unpacked = false, encrypted = false;
    std::string archivePassword = m_ArchivePassword;
    if (archivePassword.empty() && m_Provider == dpAccess)
      archivePassword = !msAccessDBPassword.empty()
                            ? msAccessDBPassword
                            : utils::KeyValue(connectionString, "Jet OLEDB:Database Password", ";");
    std::unique_ptr<zip::ArchiveReader> archive;
    m_RestoreFolder =
        Archive(operation_)
            .UnzipFiles(
                sourceFilePath, unpacked, archivePassword, encrypted,
                [this](const zip::ArchiveReader& packed) { return DataMembers(packed); }, &archive);
    m_Archive = std::move(archive);
    if (m_Archive) {
      // Of two members of one name, the later one is read, as it was the one unpacked last.
      for (const zip::MemberStat& member : m_Archive->Members())
        m_Members.insert_or_assign(member.name, &member);
      const std::filesystem::path folder =
          std::filesystem::path(m_RestoreFolder).lexically_relative(work.Get());
      m_DataFolder = folder.empty() || folder == "." ? "" : folder.generic_string() + "/";
    }
    if (operation_.Cancelled()) {
      // Cancelled while unpacking: the target has not been touched and stays so.
      at();
      utils().RemoveFolder(work.Get(), true);
      return false;
    }

    if (m_RestoreFolder.empty() && unpacked) {
      at();
      HandleObsoleteBackupVersion(connectionString, sourceFilePath);
    } else if (m_RestoreFolder.empty()) {
      // No zip archive, or one without members: there is nothing to hand over as files either.
      std::int32_t answer = kAnswerOk;
      at();
      operation_.RaiseShowMessage(GetMessageText(46, sourceFilePath), 64, kNotBackupGuid, answer);
      operation_.Refuse(OutcomeReason::kNotBackupFile);
    } else {
      at();
      // Members are read by their exact names; a file holding a fixed member twice is refused here.
      const backupfile::MemberIndex members = backupfile::MemberIndex::OfArchive(sourceFilePath);
      std::string modePath = utils().JoinPath(m_RestoreFolder, kModeMember);
      if (utils().FileExists(modePath))
        m_BackupMode = static_cast<BackupModeEnum>(ReadNumberFile(utils(), modePath));

      // An encrypted text backup makes a protected file; a direct copy is protected as its source was.
      const std::string& dbPassword =
          encrypted && msAccessDBPassword.empty() && m_Provider == dpAccess && m_BackupMode != bmDirectCopy
              ? archivePassword
              : msAccessDBPassword;
      at();
      const bool success =
          m_BackupMode == bmDirectCopy
              ? RestoreDirectCopy(at, connectionString, msAccessDBPassword, objects)
              : RestoreText(at, connectionString, members, msAccessIgnoreRelations, dbPassword, objects);
      result = Conclude(at, success, connectionString, objects);
    }
    at();
    work.Remove();
    return result;
  });
}

bool Restorer::RestoreDirectCopy(Procedure& at, const std::string& connectionString,
                                 const std::string& msAccessDBPassword, RestorationObjects& objects) {
  at();
  backupfile::CheckChoiceFitsMode(m_Tables, m_BackupMode);
  std::string providerPath = utils().JoinPath(m_RestoreFolder, kProviderMember);
  std::int32_t backupProvider = utils().FileExists(providerPath) ? ReadNumberFile(utils(), providerPath) : 0;
  if (backupProvider != m_Provider) {
    std::int32_t answer = kAnswerOk;
    at();
    operation_.RaiseShowMessage(GetMessageText(35), 64, kOtherEngineGuid, answer);
    operation_.Refuse(OutcomeReason::kOtherEngine);
    return false;
  }
  if (m_Provider == dpAccess) {
    at();
    std::string copy = utils().JoinPath(operation_.workFolder().Get(), kNativeBackupMember);
    m_Aside = NewAside(connectionString);
    if (!PlaceDirectCopy(copy, WithDatabasePassword(m_Aside, msAccessDBPassword))) return false;
    at();
    InitializeRestorationObjects(WithDatabasePassword(m_Aside, msAccessDBPassword), objects);
    objects.document.reset();
    objects.catalog.reset();
    return true;
  }
  // The server restores its own backup into a database aside; the target stays until the end.
  at();
  m_Aside = NewAside(connectionString);
  std::string copy = utils().JoinPath(m_RestoreFolder, kNativeBackupMember);
  at();
  if (!Archive(operation_).RestoreSQLBackupFromFile(m_Aside, copy)) {
    m_Aside.clear();  // nothing was made
    return false;
  }
  if (!operation_.Cancelled()) {
    at();
    InitializeRestorationObjects(m_Aside, objects);
    objects.document.reset();
    objects.catalog.reset();
  }
  return true;
}

bool Restorer::RestoreText(Procedure& at, const std::string& connectionString,
                           const backupfile::MemberIndex& members, const std::string& msAccessIgnoreRelations,
                           const std::string& msAccessDBPassword, RestorationObjects& objects) {
  at();
  const std::string providerPath = utils().JoinPath(m_RestoreFolder, kProviderMember);
  const std::int32_t source = utils().FileExists(providerPath) ? ReadNumberFile(utils(), providerPath) : 0;
  m_SameEngine = source == m_Provider;
  at();
  if (!OpenBuild(connectionString, msAccessDBPassword, objects)) return false;
  at();
  operation_.RaiseUpdateProgress(0, GetMessageText(41));
  std::string documentPath = utils().JoinPath(m_RestoreFolder, kDocumentMember);
  std::optional<xml::Document> loaded;
  at();
  if (utils().FileExists(documentPath)) {
    try {
      loaded = xml::Document::Load(documentPath);
    } catch (const Error&) {
      loaded.reset();  // a document that is no XML ends the restore with its final notice
    }
  }
  if (!loaded) {
    at();
    operation_.RaiseUpdateProgress(100, GetMessageText(8));
    operation_.Refuse(OutcomeReason::kUnreadableDocument);
    return false;
  }
  at();
  objects.document = backupfile::ReadBackupDocument(*loaded);
  loaded.reset();
  ChooseTables(*objects.document, source == dpSQLServer);
  // A table of another server schema than the default one is "schema.table" from here on, as the server
  // catalog and a file database name it.
  for (std::vector<backupfile::TableEntry>& group : objects.document->groups)
    for (backupfile::TableEntry& entry : group)
      if (entry.IsTable()) entry.name = entry.QualifiedName();
  if (source == dpAccess && m_Provider == dpSQLServer) WidenFileColumns(*objects.document);
  members.CheckTableFiles(*objects.document);
  at();
  if (!MakeRoom(connectionString, *objects.document, *objects.catalog)) return false;
  at();
  RestoreEngineObjects(*objects.document, *objects.connection, *objects.catalog, true);
  at();
  RestoreTables(*objects.document, *objects.connection, *objects.catalog);
  at();
  // A rejected key ends the restore as a cancel would: final notice, target dropped, False.
  if (!RestoreForeignKeys(*objects.document, *objects.connection, *objects.catalog,
                          msAccessIgnoreRelations)) {
    operation_.Cancel();
  } else {
    at();
    RestoreEngineObjects(*objects.document, *objects.connection, *objects.catalog, false);
  }
  return true;
}

bool Restorer::Conclude(Procedure& at, bool success, const std::string& connectionString,
                        RestorationObjects& objects) {
  auto closeObjects = [&] {
    objects.catalog.reset();
    if (objects.connection) objects.connection->Close();
    objects.connection.reset();
  };
  if (success && !operation_.Cancelled()) {
    // The new database takes the target's place now that nothing can stop it any more.
    at();
    if (m_Placing == Placing::kInPlace) objects.connection->CommitTrans();
    closeObjects();
    if (m_Placing != Placing::kInPlace && !PutInPlace(connectionString))
      return false;  // refused: the target stays as it was
    // Only a database in place has files put beside it and is announced complete. The target is replaced:
    // a cancel from these events comes too late to undo it, and the restore is done.
    at();
    operation_.RaiseRestoreAdditionalFiles(operation_.workFolder().Get(), m_RestoreFolder, connectionString);
    operation_.RaiseUpdateProgress(100, GetMessageText(7));
    return true;
  }
  if (success) operation_.RaiseUpdateProgress(100, GetMessageText(6));
  if (!operation_.Cancelled()) return false;
  // The database built aside goes; the target was never touched, or its transaction is left uncommitted.
  at();
  closeObjects();
  if (!m_Aside.empty()) DropDatabase(m_Aside);
  m_Aside.clear();
  return false;
}

}  // namespace vela
