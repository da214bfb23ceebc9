// The utility services the component relies on for string, path, file, locale and date chores.
//
// Utils implements every service for this platform; each call is virtual so that a test double derives
// from it and overrides the one call it needs to change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velabackup/data/Value.h"

namespace vela {

// Locale items answered by LocaleItem (the numbers of the automation world).
inline constexpr int kLocaleDecimalSeparator = 14;
inline constexpr int kLocaleThousandSeparator = 15;
inline constexpr int kLocaleMonetaryDecimalSeparator = 22;
inline constexpr int kLocaleMonetaryThousandSeparator = 23;

class Utils {
 public:
  virtual ~Utils() = default;

  // The value of `key` in a text of key=value items (see platform/utils/KeyValue.h for the rules).
  virtual std::string KeyValue(std::string_view text, std::string_view key, std::string_view separator) const;
  // The same text with the key's value replaced, or the item appended when the key is absent; the value is
  // quoted where it needs to be, so that KeyValue reads it back unchanged.
  virtual std::string SetKeyValue(std::string_view text, std::string_view key, std::string_view value,
                                  std::string_view separator) const;

  virtual std::string JoinPath(std::string_view folder, std::string_view name) const;
  virtual std::string NamePart(std::string_view path) const;
  virtual std::string ParentFolder(std::string_view path) const;
  virtual std::string Extension(std::string_view path) const;

  // A fresh name for a file or folder, unique across processes ("{GUID}").
  virtual std::string UniqueName(bool reserved = false) const;
  virtual std::string TempFolder() const;

  // Creates the folder (and missing parents); the folder itself gets mode 0700.
  virtual void CreateFolder(std::string_view path) const;
  virtual void RemoveFolder(std::string_view path, bool withContents) const;
  virtual bool FileExists(std::string_view path) const;
  virtual bool FolderExists(std::string_view path) const;
  // Deleting a file that does not exist is no error.
  virtual void DeleteFile(std::string_view path) const;
  virtual bool CopyFile(std::string_view source, std::string_view destination) const;
  virtual void CopyFolder(std::string_view source, std::string_view destination) const;
  virtual bool MoveFolder(std::string_view source, std::string_view destination) const;
  // A path that does not exist yet: the path itself, or the path with " (2)", " (3)", ... appended to
  // its name.
  virtual std::string AdjustPath(std::string_view path) const;

  virtual void WriteTextFile(std::string_view path, std::string_view text) const;
  virtual std::string ReadTextFile(std::string_view path) const;

  // Membership without regard to letter case.
  virtual bool IsInArray(std::string_view text, const std::vector<std::string>& array) const;

  // The current user's locale item (decimal and thousands separators, plain and monetary).
  virtual std::string LocaleItem(int item) const;
  virtual std::string ComputerName() const;
  // A date as locale-independent text "YYYY-MM-DD HH:MM:SS" (a fraction only when present).
  virtual std::string DateToText(const data::Value& date, bool withTime) const;

  // Keeps a record of a failure the component passed over; the host reads it through the log sink.
  virtual void RecordError(std::int32_t number, std::string_view source, std::string_view description,
                           std::int32_t line, std::int32_t reserved) const;

  using LogSink = std::function<void(const std::string& line)>;
  void SetLogSink(LogSink sink) { logSink_ = std::move(sink); }

 protected:
  LogSink logSink_;
};

}  // namespace vela
