// The host's own files, packed with a backup and handed back after a restore.
#include "component/Component.h"
#include "component/Procedure.h"

namespace vela {

std::string Component::GetAdditionalFiles(const TableList& doNotSaveDataTables) {
  return Trapped("GetAdditionalFiles", [&](Procedure& at) {
    at();
    std::optional<std::vector<std::string>> files;
    RaiseRequestAdditionalFiles(files, GetWorkFolder(), doNotSaveDataTables);
    std::string list;
    if (!files) return list;
    for (const std::string& file : *files) list += "\"" + file + "\" ";
    return list;
  });
}

}  // namespace vela
