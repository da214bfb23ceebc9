// The enumerations of the backup component (32-bit values, as the automation interface defines them).
#pragma once

#include <cstdint>

namespace vela {

// The engine behind a connection string.
enum DataProvider : std::int32_t { dpUnknown = 0, dpAccess = 1, dpSQLServer = 2 };

// Part of the interface; the logic does not use it.
enum TableType : std::int32_t { ttTable = 0, ttView = 1 };

enum BackupModeEnum : std::int32_t {
  bmCompressedTextFile = 0,
  bmUncompressedTextFile = 1,  // the archive stores its members without compression
  bmDirectCopy = 2,            // the archive holds the engine's own copy of the database
};

// Message-box answers and styles used with ShowMessage.
inline constexpr std::int32_t kAnswerOk = 1;
inline constexpr std::int32_t kAnswerCancel = 2;
inline constexpr std::int32_t kAnswerYes = 6;
inline constexpr std::int32_t kAnswerNo = 7;

}  // namespace vela
