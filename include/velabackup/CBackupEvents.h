// The events of the backup component, raised synchronously on the caller's thread while Save or Restore
// runs. A host derives from CBackupEvents and overrides the events it handles; an event it does not
// override leaves the by-reference arguments as the component preset them (ShowMessage keeps its preset
// Result, RequestAdditionalFiles adds no files, SelectFolder keeps the folder).
//
// The automation names of the interface and its event interface begin with underscores, which C++
// reserves; the class and its sink are called CBackup and CBackupEvents here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vela {

// The events speak of values only in passing; the data-access layer stays out of this header.
namespace data {
class Value;
}

// The optional DoNotSaveDataTables argument of Save: missing, a single value (which has no effect), a
// typed array of strings, or an array of another element type (which fails the save).
using TableList =
    std::variant<std::monostate, std::string, std::vector<std::string>, std::vector<data::Value>>;

class CBackupEvents {
 public:
  virtual ~CBackupEvents() = default;

  // 1: progress in percent (0 to 100) with a localised caption.
  virtual void UpdateProgress(std::int32_t /*value*/, const std::string& /*caption*/) {}
  // 2: a question or notice; `buttons` is a message-box style (4 Yes/No, 32 question icon, ...), the
  // GUID names the question; the component reads `result` (6 Yes, 7 No, 1 OK, 2 Cancel) afterwards.
  virtual void ShowMessage(const std::string& /*prompt*/, std::int32_t /*buttons*/,
                           const std::string& /*messageGuid*/, std::int32_t& /*result*/) {}
  // 3: rows that looked corrupted were found.
  virtual void DatabaseCorruptionFound() {}
  // 4: the host may set `files` to the paths of its own files to pack with the backup.
  virtual void RequestAdditionalFiles(std::optional<std::vector<std::string>>& /*files*/,
                                      const std::string& /*tempPath*/,
                                      const TableList& /*doNotSaveDataTables*/) {}
  // 5: the host's own files were unpacked into `previousTempPath`.
  virtual void RestoreAdditionalFiles(const std::string& /*sourcePath*/,
                                      const std::string& /*previousTempPath*/,
                                      const std::string& /*connectionString*/) {}
  // 6: the host may choose a folder.
  virtual void SelectFolder(const std::string& /*caption*/, std::string& /*folder*/) {}

  // An addition to the six events above, for hosts that show more than a percentage: the rows of one
  // table saved into the backup or restored from it so far, out of `rowsTotal` (the table's row count
  // when its capture began, or the count its data file declares). Raised alongside UpdateProgress, once
  // when a table's rows begin, every 100 rows and once when they are done; a table without rows is raised
  // once, as 0 of 0. A host may ignore it: it carries nothing the other events need.
  virtual void TableProgress(const std::string& /*table*/, std::int64_t /*rowsDone*/,
                             std::int64_t /*rowsTotal*/) {}
};

}  // namespace vela
