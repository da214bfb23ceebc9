// Engine objects: views, triggers, indexes over expressions or part of the rows and table definitions
// with checks, collations or engine options, carried in the source engine's own SQL.
#include "component/Messages.h"
#include "component/Procedure.h"
#include "restore/Restore.h"
#include "velabackup/MessageGuids.h"
#include "velabackup/data/Catalog.h"
#include "velabackup/data/Connection.h"

namespace vela {

namespace {

constexpr std::int32_t kInformationOk = 64;

}  // namespace

void Restorer::RestoreEngineObjects(const backupfile::BackupDocument& document, data::Connection& connection,
                                    data::Catalog& catalog, bool beforeRows) {
  Trapped("RestoreEngineObjects", [&](Procedure& at) {
    if (!document.engineObjects || document.engineObjects->Empty()) return;
    const backupfile::EngineObjectsEntry& entry = *document.engineObjects;
    // Another engine reads none of this SQL: everything is left out, and said so.
    const bool sameEngine = entry.provider == connection.Provider();
    if (beforeRows && !sameEngine) return;
    const auto count = static_cast<std::int64_t>(entry.objects.size());
    std::int64_t index = 0;
    std::string& leftOut = m_ObjectsLeftOut;
    // Whether the target made the object (or took the setting); the target refusing it leaves it out, a
    // disk that fails under it ends the restore, since what it was writing may be gone with the object.
    auto made = [&](const auto& apply) {
      try {
        at();
        apply();
        return true;
      } catch (const Error& error) {
        RecordRefusal(error, "VelaBackup.RestoreEngineObjects", at);
        return false;
      }
    };
    for (const data::EngineObject& object : entry.objects) {
      if (operation_.Cancelled()) return;
      if (object.beforeRows != beforeRows && sameEngine) continue;
      // Tables made by their own statement before their rows, indexes over columns the document made.
      // Another engine loses nothing of a table whose statement says no more than the document.
      if ((object.kind == "table" &&
           (MadeAsWritten(object.name) || (!sameEngine && object.detail.empty()))) ||
          MadeFromDocument(object, document)) {
        ++index;
        continue;
      }
      if (sameEngine) {
        at();
        operation_.RaiseUpdateProgress(static_cast<std::int32_t>(RoundHalfEven(index++ * 100, count)),
                                       GetMessageText(1, object.name));
        if (made([&] { catalog.ApplyEngineObject(object); })) {
          // The table is there with its own definition: the restore gives it only its rows and keys.
          if (beforeRows && object.kind == "table") m_MadeTables.insert(object.name);
          continue;
        }
      }
      leftOut += "\n" + backupfile::DescribeEngineObject(object);
    }
    if (beforeRows) return;
    // The database's own settings are numbers, set through the provider; another engine keeps none.
    for (const data::EngineSetting& setting : entry.settings) {
      if (operation_.Cancelled()) return;
      if (sameEngine && made([&] { catalog.ApplyEngineSetting(setting); })) continue;
      leftOut += "\nsetting " + setting.name + " = " + std::to_string(setting.value);
    }
    // The objects' state last: sequences set after the rows, materialized views filled once all is made.
    for (const data::EngineState& state : entry.states) {
      if (operation_.Cancelled()) return;
      if (sameEngine && made([&] { catalog.ApplyEngineState(state); })) continue;
      // Another engine is told of a sequence's position by the column it numbers (its Seed), and of a
      // materialized view to fill by the view, named above.
      if (!sameEngine && (state.kind == "sequence" || state.kind == "owned" || state.kind == "refresh"))
        continue;
      leftOut += "\n" + backupfile::DescribeEngineState(state);
    }
    if (leftOut.empty()) return;
    at();
    std::int32_t answer = kAnswerOk;
    operation_.RaiseShowMessage(GetMessageText(42, leftOut), kInformationOk, kObjectsLeftOutGuid, answer);
  });
}

}  // namespace vela
