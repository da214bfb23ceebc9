// Backup files of an older layout: not restored into the database, but unpacked into a folder for the user.
#include "component/Messages.h"
#include "component/Procedure.h"
#include "restore/Restore.h"
#include "velabackup/MessageGuids.h"

namespace vela {

void Restorer::HandleObsoleteBackupVersion(const std::string& connectionString,
                                           const std::string& sourceFilePath) {
  Trapped("HandleObsoleteBackupVersion", [&](Procedure& at) {
    std::string destination;
    std::int32_t answer = 0;
    operation_.Refuse(OutcomeReason::kOlderLayout);
    if (m_Provider == dpAccess) {
      at();
      operation_.RaiseShowMessage(GetMessageText(29), 33, kOlderLayoutFileGuid, answer);
      if (answer != kAnswerOk) return;
      at();
      std::string dataSource = utils().KeyValue(connectionString, "Data Source", ";");
      if (dataSource.empty()) return;
      std::string parent = utils().ParentFolder(dataSource);
      destination = parent.empty() ? std::string(".") : parent;
    } else if (m_Provider == dpSQLServer) {
      at();
      operation_.RaiseShowMessage(GetMessageText(30), 33, kOlderLayoutServerGuid, answer);
      if (answer != kAnswerOk) return;
      at();
      std::string folder;
      operation_.RaiseSelectFolder(GetMessageText(32), folder);
      if (folder.empty()) return;
      destination = folder;
    } else {
      return;
    }
    at();
    std::string workFolder = operation_.workFolder().Get();
    std::string copy = utils().JoinPath(destination, utils().NamePart(workFolder));
    utils().CopyFolder(workFolder, copy);
    at();
    std::string name = utils().NamePart(sourceFilePath);
    std::string extension = utils().Extension(sourceFilePath);
    std::string base = extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
    std::string finalPath = utils().AdjustPath(utils().JoinPath(utils().ParentFolder(copy), base));
    at();
    utils().MoveFolder(copy, finalPath);
    operation_.Refuse(OutcomeReason::kOlderLayoutUnpacked);
    std::int32_t notice = kAnswerOk;
    operation_.RaiseShowMessage(GetMessageText(31, finalPath), 64, kOlderLayoutUnpackedGuid, notice);
  });
}

}  // namespace vela
