// The commands of the command-line host.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vela::cli {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CommonOptions {
  std::string language;
  std::vector<std::string> answers;      // GUID=N
  std::optional<std::string> answerAll;  // N, yes or no
  bool yes = false, no = false;          // every question answered by its affirmative / negative button
  std::int64_t cancelAfter = 0;
  std::string events;
  bool quiet = false;
  std::string passwordFile;
  std::string archivePasswordFile;   // the backup file's password
  std::optional<std::int32_t> jobs;  // tables at once; none: one per core
};

// The tables an operation takes: patterns (* and ?) to take and to leave out, and structure only.
struct TableOptions {
  std::vector<std::string> include, exclude;
  bool schemaOnly = false;
};

struct SaveOptions {
  std::string connection, file, mode = "compressed";
  std::optional<std::int32_t> level;  // -Z: 0 stored, 1..12 libdeflate's level
  std::vector<std::string> noData, addFiles;
  TableOptions tables;
  CommonOptions common;
};

struct RestoreOptions {
  std::string connection, file, ignoreRelations, dbPassword;
  std::string role;  // the role a server restore runs as
  std::optional<std::string> selectFolder;
  bool intelligent = false;
  bool allowPlain = false;  // a protected file may be replaced by a plain one
  TableOptions tables;
  CommonOptions common;
};

struct InspectOptions {
  std::string file, archivePasswordFile;
  bool json = false;
};

struct VerifyOptions {
  std::string file, archivePasswordFile;
  std::vector<std::string> noData;  // tables saved without their rows
  bool quiet = false;
  std::string passwordFile;  // the password of an encrypted direct copy
};

struct SampleOptions {
  std::string connection, passwordFile;
  std::int64_t rows = 1000;
};

int RunSave(const SaveOptions& options);
int RunRestore(const RestoreOptions& options);
int RunInspect(const InspectOptions& options);
int RunVerify(const VerifyOptions& options);
int RunSample(const SampleOptions& options);

}  // namespace vela::cli
