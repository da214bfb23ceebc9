// The one error type of VelaBackup.
//
// A failure carries an automation error number (an HRESULT), the source that raised it and a description;
// one an engine reported also carries the engine's own code and the statement that failed.
// As the failure passes up through the component's procedures each one appends its failure suffix (see
// Procedure.h), so the host receives the innermost description first, followed by one suffix per procedure.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace vela {

// Every error number of the library, in one place.
inline constexpr std::int32_t kComponentError = static_cast<std::int32_t>(0x80040001u);  // object-defined + 1
inline constexpr std::int32_t kGeneralFailure = static_cast<std::int32_t>(0x80004005u);  // E_FAIL
inline constexpr std::int32_t kOutOfMemory = static_cast<std::int32_t>(0x8007000Eu);     // E_OUTOFMEMORY
inline constexpr std::int32_t kInvalidArgument = static_cast<std::int32_t>(0x80070057u);  // E_INVALIDARG
inline constexpr std::int32_t kObjectRequired =
    static_cast<std::int32_t>(0x800A01A8u);  // call on Nothing (424)
inline constexpr std::int32_t kTypeMismatch =
    static_cast<std::int32_t>(0x800A000Du);  // conversion failed (13)
inline constexpr std::int32_t kFileNotFound = static_cast<std::int32_t>(0x800A0035u);  // file not found (53)
inline constexpr std::int32_t kDiskFull = static_cast<std::int32_t>(0x800A003Du);      // disk full (61)
inline constexpr std::int32_t kPathAccess = static_cast<std::int32_t>(0x800A004Bu);  // path/file access (75)
inline constexpr std::int32_t kBadFileFormat =
    static_cast<std::int32_t>(0x800A0141u);  // invalid file format (321)
inline constexpr std::int32_t kDamagedArchive =
    static_cast<std::int32_t>(0x80070570u);  // a zip archive, but corrupt
inline constexpr std::int32_t kArchivePassword =
    static_cast<std::int32_t>(0x8007052Bu);  // an encrypted archive: no password, or a wrong one
inline constexpr std::int32_t kUnsafeMember =
    static_cast<std::int32_t>(0x8007007Bu);  // an archive member name that may not be unpacked
inline constexpr std::int32_t kServerGone = static_cast<std::int32_t>(0x80040064u);    // server unreachable
inline constexpr std::int32_t kCommandError = static_cast<std::int32_t>(0x80040E14u);  // DB_E_ERRORSINCOMMAND
inline constexpr std::int32_t kIntegrityViolation = static_cast<std::int32_t>(0x80040E2Fu);  // constraint
inline constexpr std::int32_t kAuthenticationFailed = static_cast<std::int32_t>(0x80040E4Du);
inline constexpr std::int32_t kNoSuchTable = static_cast<std::int32_t>(0x80040E37u);  // DB_E_NOTABLE
inline constexpr std::int32_t kItemNotFound =
    static_cast<std::int32_t>(0x800A0CC1u);  // item not in collection
inline constexpr std::int32_t kNotSupported = static_cast<std::int32_t>(0x80040E53u);  // DB_E_NOTSUPPORTED

// Every error source of the library: the layer that raised the error.
inline constexpr const char* kSourceComponent = "VelaBackup";
inline constexpr const char* kSourceGetDBMS = "CBackup::GetDBMS";
inline constexpr const char* kSourceLanguage = "VelaBackup.LanguageResources";
inline constexpr const char* kSourceData = "VelaBackup.Data";
inline constexpr const char* kSourceXml = "VelaBackup.XML";
inline constexpr const char* kSourceZip = "VelaBackup.Zip";
inline constexpr const char* kSourceUnzip = "VelaBackup.Unzip";
inline constexpr const char* kSourceUtils = "VelaBackup.Utils";
inline constexpr const char* kSourceFileProvider = "Microsoft.Jet.OLEDB.4.0 (SQLite)";
inline constexpr const char* kSourceServerProvider = "SQLOLEDB.1 (PostgreSQL)";
inline constexpr const char* kSourceHost = "velabackup";

class Error : public std::exception {
 public:
  Error(std::int32_t number, std::string source, std::string description)
      : number_(number), source_(std::move(source)), description_(std::move(description)) {}
  // An error an engine reported: its own code (a SQLite extended result code as decimal text, an SQLSTATE)
  // and the statement that failed (empty when none did).
  Error(std::int32_t number, std::string source, std::string description, std::string engineCode,
        std::string statement)
      : number_(number),
        source_(std::move(source)),
        description_(std::move(description)),
        engineCode_(std::move(engineCode)),
        statement_(std::move(statement)) {}

  std::int32_t Number() const noexcept { return number_; }
  const std::string& Source() const noexcept { return source_; }
  const std::string& Description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }
  // The engine's own code for the failure; empty for failures no engine reported.
  const std::string& EngineCode() const noexcept { return engineCode_; }
  const std::string& Statement() const noexcept { return statement_; }

  // Extends the description; used by the failure convention as the error passes up.
  void AppendToDescription(std::string_view text) { description_.append(text); }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
  std::string engineCode_;
  std::string statement_;
};

// "0x80040001": the form the host and the logs show an error number in.
std::string FormatErrorNumber(std::int32_t number);

}  // namespace vela
